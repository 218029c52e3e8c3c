// Regional superposition: the section, the entity blocks, the weighted sums and their output.
#include "meteo/superposition.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "core/error_code.h"
#include "core/nodata.h"
#include "core/number_reader.h"
#include "core/row_loop.h"
#include "core/string_helpers.h"

namespace velorn {
namespace {

constexpr const char* kListSeparators = "\n\t ;,\r";
constexpr const char* kWordSeparators = " \t\n\r";

// The text between the first "=" and the first ";" that follow `key` at or after `from`;
// `end` is set behind that ";". False when the key, its "=" or its ";" is missing.
bool FindValue(const std::string& body, const std::string& key, std::size_t from,
               std::string& value, std::size_t& end) {
  const std::size_t at = body.find(key, from);
  if (at == std::string::npos) return false;
  const std::size_t equals = body.find('=', at + key.size());
  if (equals == std::string::npos) return false;
  const std::size_t semicolon = body.find(';', equals + 1);
  if (semicolon == std::string::npos) return false;
  value = body.substr(equals + 1, semicolon - equals - 1);
  end = semicolon + 1;
  return true;
}

std::string FirstWord(const std::string& text) {
  std::vector<std::string> words;
  Tokenize(text, kWordSeparators, words);
  return words.empty() ? std::string() : words.front();
}

// Whole-token base-10 conversions; false for anything else (empty, trailing letters, range).
bool ToInt(const std::string& token, int32_t& value) {
  return ReadNumber(token, value);
}

bool ToDouble(const std::string& token, double& value) {
  return ReadNumber(token, value);
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> tokens;
  Tokenize(text, kListSeparators, tokens);
  return tokens;
}

}  // namespace

// ---- RegionalSuperposition ------------------------------------------------------------------

RegionalSuperposition::RegionalSuperposition(const SubModelSetup& setup,
                                             ZoneStatisticsRecord* statistics_registry_arg,
                                             int32_t statistics_capacity_arg,
                                             int32_t region_count_arg,
                                             const int32_t* region_ranking_arg,
                                             int32_t highest_region_code_arg)
    : teilmodellklasse(setup, "RegionalSuperposition"),
      statistics_registry(statistics_registry_arg),
      statistics_capacity(statistics_capacity_arg),
      region_count(region_ranking_arg != nullptr ? region_count_arg : 0),
      region_ranking(region_ranking_arg),
      highest_region_code(highest_region_code_arg) {
  if (GetFlowControl() == 0) return;
  if (const int regions = FindGrid("MPIRegions", 0)) owner_grid = (*registry)[regions].grid;
  ReadEntityCount();
  for (int32_t number = 1; number <= entity_count; ++number) {
    const std::string text = ReadBlock(number);
    entities.push_back(std::make_unique<cSuperposition>(this, text));
  }
  control_file->Close();
}

void RegionalSuperposition::ReadEntityCount() {
  const std::string line = control_file->RestOfLine();
  const std::size_t equals = line.find('=');
  const std::size_t semicolon = line.find(';', equals == std::string::npos ? 0 : equals);
  int32_t count = 0;
  if (line.find("NumberOfEntities") == std::string::npos || equals == std::string::npos ||
      semicolon == std::string::npos ||
      !ToInt(FirstWord(line.substr(equals + 1, semicolon - equals - 1)), count)) {
    ThrowFatal(Diag(), kSuperpositionKeyCode,
               "FATAL: could not read \"NumberOfEntities\" keyword in section [", module_name,
               "]\n\n");
  }
  entity_count = count < 1 ? 0 : count;
}

std::string RegionalSuperposition::ReadBlock(int32_t number) {
  std::string text;
  for (;;) {
    if (control_file->AtEnd()) {
      ThrowFatal(Diag(), kSuperpositionRegionCode, "FATAL: the control file ends inside entity ",
                 number, " of ", entity_count, " in section [", module_name,
                 "] (no closing \"}\")\n");
    }
    const std::string line = control_file->RestOfLine();
    text += line;
    text += '\n';
    if (line.find('}') != std::string::npos) return text;
  }
}

int32_t RegionalSuperposition::RankOf(int64_t code) const {
  if (region_ranking == nullptr || code < 0 || code > highest_region_code) return 0;
  return region_ranking[code];
}

bool RegionalSuperposition::MakesGrid(const std::string& identifier) {
  if (GetFlowControl() == 0) return false;
  for (const auto& entity : entities)
    if (entity->Name() == identifier) return true;
  return false;
}

void RegionalSuperposition::RunStep(int64_t hour, int64_t day, int64_t month, int64_t year) {
  teilmodellklasse::RunStep(hour, day, month, year);
  if (GetFlowControl() == 0) return;
  for (auto& entity : entities) entity->RunStep(hour, day, month, year);
}

void RegionalSuperposition::WriteOutput() {
  if (GetFlowControl() == 0) return;
  for (auto& entity : entities) entity->WriteOutput();
}

void RegionalSuperposition::FlushBuffers() {
  if (GetFlowControl() == 0) return;
  for (auto& entity : entities) entity->FlushBuffers();
}

void RegionalSuperposition::ReleaseMemory() {
  if (GetFlowControl() != 0) {
    for (auto& entity : entities) entity->ReleaseMemory();
    entities.clear();
  }
  modelobject::ReleaseMemory();
}

// ---- cSuperposition -------------------------------------------------------------------------

cSuperposition::cSuperposition(RegionalSuperposition* owner, const std::string& text)
    : owner_(owner), text_(text), region_count_(owner->region_count) {
  const std::size_t start = text.find_first_not_of(" \t");
  const std::size_t brace = text.find('{');
  if (start == std::string::npos || brace == std::string::npos || brace < start) {
    ThrowFatal(*owner_->diag, kSuperpositionKeyCode, "FATAL: could not read \"{\" of an entity",
               " in section [", owner_->module_name, "]\n", text_);
  }
  name_ = FirstWord(text.substr(start, brace - start));
  const std::string body = text.substr(brace + 1);
  std::size_t position = 0;
  ReadInputs(body, position);
  ReadOutputKeys(body, position);
  RegisterOutput();
  CreateTable();
  pairs_ = std::min(region_count_, kRegionPairs);
  static const char* const kRegionNames[kRegionPairs] = {
      "regression_regions", "regression_regions2", "regression_regions3"};
  static const char* const kWeightNames[kRegionPairs] = {
      "regression_weights1", "regression_weights2", "regression_weights3"};
  for (int32_t j = 0; j < pairs_; ++j) {
    region_index_[j] = owner_->RequireGrid(kRegionNames[j]);
    weight_index_[j] = owner_->RequireGrid(kWeightNames[j]);
  }
}

void cSuperposition::ReadInputs(const std::string& body, std::size_t& position) {
  std::string value;
  std::size_t end = 0;
  while (FindValue(body, "entityinputgrid", position, value, end)) {
    SuperpositionInput input;
    input.identifier = FirstWord(value);
    input.index = owner_->RequireGrid(input.identifier);
    position = end;
    if (!FindValue(body, "regions", position, value, end)) {
      ThrowFatal(*owner_->diag, kSuperpositionKeyCode, "FATAL: could not read \"regions\" of ",
                 owner_->module_name, " entity: ", name_, ", inputgrid ", input.identifier, "\n");
    }
    position = end;
    for (const std::string& token : SplitList(value)) {
      int32_t code = 0;
      if (!ToInt(token, code)) {
        ThrowFatal(*owner_->diag, kSuperpositionRegionCode, "\nerror reading regions in ",
                   owner_->module_name, " entity: ", name_, ", inputgrid ", input.identifier,
                   "\n\"", token, "\" is no region code\n");
      }
      input.regions.push_back(code);
    }
    CheckRegions(input);
    if (!FindValue(body, "weights", position, value, end)) {
      ThrowFatal(*owner_->diag, kSuperpositionKeyCode, "FATAL: could not read \"weights\" of ",
                 owner_->module_name, " entity: ", name_, ", inputgrid ", input.identifier, "\n");
    }
    position = end;
    const std::vector<std::string> tokens = SplitList(value);
    for (const std::string& token : tokens) {
      double weight = 0;
      if (!ToDouble(token, weight)) {
        ThrowFatal(*owner_->diag, kSuperpositionWeightCode,
                   "\nerror reading weights for regions in ", owner_->module_name,
                   " entity: ", name_, ", inputgrid ", input.identifier, "\n\"", token,
                   "\" is no number\n");
      }
      input.weights.push_back(weight);
    }
    if (static_cast<int64_t>(input.weights.size()) != region_count_) {
      ThrowFatal(*owner_->diag, kSuperpositionWeightCode, "\nerror reading weights for regions in ",
                 owner_->module_name, " entity: ", name_, ", inputgrid ", input.identifier,
                 "\nThe number of regions (", region_count_,
                 ") does not equal the number of weights (", input.weights.size(), ")\n");
    }
    inputs_.push_back(std::move(input));
  }
}

void cSuperposition::CheckRegions(const SuperpositionInput& input) const {
  DiagnosticStream& diag = *owner_->diag;
  const std::string& module = owner_->module_name;
  if (static_cast<int64_t>(input.regions.size()) != region_count_) {
    ThrowFatal(
        diag, kSuperpositionRegionCode, "\nerror reading regions in ", module, " entity: ", name_,
        ", inputgrid ", input.identifier, "\nThe number of regions here (", input.regions.size(),
        ") does not equal the number of", "\nregions in the regiongrid (", region_count_, ")\n");
  }
  for (int32_t k = 1; k <= region_count_; ++k) {
    const int32_t code = input.regions[k - 1];
    const int32_t rank = owner_->RankOf(code);
    if (rank == k) continue;
    if (rank == 0) {
      ThrowFatal(
          diag, kSuperpositionRegionCode, "\nerror reading regions in ", module, " entity: ", name_,
          ", inputgrid ", input.identifier, "\nregion on position ", k, " was read as ", code,
          "\nThere is now region with this code in the region grid\n",
          "\nOnly the region codes from the region grid must be listet in ascending order here\n",
          "regardless of their actual weight for this superposition instance\n");
    }
    // The code that belongs at position k: the one whose rank is k.
    int32_t expected = 0;
    for (int32_t c = 0; c <= owner_->highest_region_code; ++c)
      if (owner_->RankOf(c) == k) expected = c;
    ThrowFatal(diag, kSuperpositionRegionCode, "\nerror reading regions in ", module,
               " entity: ", name_, ", inputgrid ", input.identifier, "\nregion on position ", k,
               " in the region list should have value ", expected, "\nbut was read as ", code,
               "\nAll regions must be listet in ascending order here\n",
               "regardless of their actual weight for this superposition instance\n");
  }
}

void cSuperposition::ReadOutputKeys(const std::string& body, std::size_t position) {
  std::string value;
  std::size_t end = 0;
  const auto require = [&](const char* key) {
    if (!FindValue(body, key, position, value, end) || FirstWord(value).empty()) {
      ThrowFatal(*owner_->diag, kSuperpositionKeyCode, "FATAL: could not read \"", key,
                 "\" keyword in section [", owner_->module_name, "] entity: ", name_, "\n");
    }
  };
  const auto require_int = [&](const char* key, int32_t& target) {
    require(key);
    if (!ToInt(FirstWord(value), target)) {
      ThrowFatal(*owner_->diag, kSuperpositionKeyCode, "FATAL: could not read \"", key,
                 "\" keyword in section [", owner_->module_name, "] entity: ", name_,
                 "\nthe value \"", value, "\" is no integer\n");
    }
  };
  require("outputgrid");
  output_file_name_ = FirstWord(value);
  require_int("writecode", write_code_);
  require("outputtable");
  table_file_name_ = FirstWord(value);
  require_int("statcode", stat_code_);
}

void cSuperposition::RegisterOutput() {
  GridRegistry& registry = *owner_->registry;
  output_index_ = registry.FirstFreeIndex();
  if (output_index_ >= kRefusedGridIndex) {
    ThrowFatal(*owner_->diag, kRegistryFullCode,
               "no free grid anymore, allowed number of grids is ", kRefusedGridIndex, "!");
  }
  const int32_t first = owner_->first_local_row;
  const int32_t last = owner_->last_local_row;
  output_ = GridMatrix(*owner_->diag, first, last, owner_->ncols, owner_->nrows);
  owner_->RegisterGrid(output_index_, output_file_name_, output_.get(), nullptr, 0, name_,
                       write_code_, first, last);
  double** zone = owner_->zone_grid;
  for (int32_t r = first; r <= last; ++r)
    for (int32_t c = 1; c <= owner_->ncols; ++c)
      output_[r][c] = IsNodata(zone[r][c], owner_->nodata) ? owner_->nodata : 0.0;
}

void cSuperposition::CreateTable() {
  zone_records_.assign(static_cast<std::size_t>(owner_->zone_count) + 1, ZoneRecord{});
  for (int32_t z = 0; z <= owner_->zone_count; ++z)
    for (int f = 2; f < 5; ++f) zone_records_[z][f] = owner_->zone_table[z][f];
  int error = 0;
  table_ = std::make_unique<zonalstatistic>(
      error, owner_->diag, owner_->relative_cell_area, owner_->nrows, owner_->ncols,
      zone_records_.data(), owner_->zone_count, stat_code_, 4, table_file_name_,
      owner_->output_directory, owner_->output_list_count, owner_->output_list_codes);
  if (error != 0) throw ErrorCode{error};
  table_->WriteHeader(name_, owner_->module_name, owner_->statistics_registry,
                      owner_->statistics_capacity);
}

bool cSuperposition::OwnCell(long row, long column) const {
  if (IsNodata(owner_->zone_grid[row][column], owner_->nodata)) return false;
  return owner_->owner_grid == nullptr ||
         owner_->owner_grid[row][column] == static_cast<double>(owner_->rank);
}

void cSuperposition::FetchGrids() {
  GridRegistry& registry = *owner_->registry;
  for (SuperpositionInput& input : inputs_) {
    // A grid re-registered during the run (freed and registered again) is looked up anew.
    if (!registry[input.index].HasIdentifier(input.identifier))
      input.index = owner_->RequireGrid(input.identifier);
    input.grid = registry[input.index].grid;
    if (input.grid == nullptr) {
      ThrowFatal(*owner_->diag, kGridMissingCode, "FATAL: ", owner_->module_name,
                 " entity: ", name_, ": input grid ", input.identifier, " holds no grid data\n");
    }
  }
  for (int32_t j = 0; j < pairs_; ++j) {
    region_grid_[j] = registry[region_index_[j]].grid;
    weight_grid_[j] = registry[weight_index_[j]].grid;
  }
}

int32_t cSuperposition::RankOfCell(double code, long row, long column) const {
  const int32_t rank =
      std::fabs(code) < 2147483647.0 ? owner_->RankOf(static_cast<int64_t>(code)) : 0;
  if (rank < 1 || rank > region_count_) {
    ThrowFatal(*owner_->diag, kSuperpositionRegionCode, "FATAL: ", owner_->module_name,
               " entity: ", name_, ": the region code ", code, " of cell (row ", row, ", column ",
               column, ") has no region of the region grid\n");
  }
  return rank;
}

void cSuperposition::RunStep(int64_t hour, int64_t day, int64_t month, int64_t year) {
  year_ = year;
  month_ = month;
  day_ = day;
  hour_ = hour;
  table_->ResetZoneSums();
  FetchGrids();
  SuperposeRows();
}

void cSuperposition::SuperposeRows() {
  const ColumnRange* ranges = owner_->column_ranges;
  ForEachRow(owner_->first_local_row, owner_->last_local_row, [&](long r) {
    for (long c = ranges[r].first; c <= ranges[r].last; ++c) {
      if (!OwnCell(r, c)) continue;
      double sum = 0.0;
      for (int32_t j = 0; j < pairs_; ++j) {
        const double code = region_grid_[j][r][c];
        if (j > 0 && (inputs_.empty() || static_cast<int64_t>(code) < 1)) continue;
        const int32_t k = RankOfCell(code, r, c);
        const double pair_weight = weight_grid_[j][r][c];
        for (const SuperpositionInput& input : inputs_)
          sum += input.grid[r][c] * input.weights[k - 1] * pair_weight;
      }
      output_[r][c] = sum;
    }
  });
}

void cSuperposition::WriteOutput() {
  owner_->WriteGridOutput(output_index_, 1, false);
  const ColumnRange* ranges = owner_->column_ranges;
  for (int32_t r = owner_->first_local_row; r <= owner_->last_local_row; ++r)
    for (int32_t c = ranges[r].first; c <= ranges[r].last; ++c) {
      if (!OwnCell(r, c)) continue;
      const int32_t zone = owner_->zone_code_index[static_cast<int32_t>(owner_->zone_grid[r][c])];
      table_->AddValue(r, c, zone, output_[r][c], 1.0);
    }
  table_->CollectStep(year_, month_, day_, hour_, 1);
}

void cSuperposition::FlushBuffers() {
  if (table_) table_->FlushBuffers();
}

void cSuperposition::ReleaseMemory() {
  if (output_index_ != 0) owner_->UnregisterGrid(output_index_);
  output_index_ = 0;
  output_ = GridMatrix();
  if (table_) table_->ReleaseMemory();
  table_.reset();
  zone_records_.clear();
}

}  // namespace velorn
