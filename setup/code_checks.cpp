// Code grids: check of the codes against their tables, replacement by entry indexes, the
// multilayer land-use layer codes and the land-use layer grids.
#include "setup/code_checks.h"

#include <mpi.h>

#include <cmath>
#include <string>
#include <unordered_map>

#include "core/error_code.h"
#include "core/mpi_operations.h"
#include "core/nodata.h"
#include "core/row_loop.h"
#include "core/string_helpers.h"
#include "grids/grid_output.h"
#include "setup/defaultini.h"
#include "setup/zone_ranking.h"

namespace velorn {
namespace {

const std::string kRule(71, '-');

// Integer code of a cell value; false when the value is not finite or beyond int32.
bool CodeOfValue(double value, int32_t& code) {
  if (!std::isfinite(value)) return false;
  const double whole = std::trunc(value);
  if (whole < INT32_MIN || whole > INT32_MAX) return false;
  code = static_cast<int32_t>(whole);
  return true;
}

std::unordered_map<int32_t, int32_t> IndexByCode(const std::vector<int32_t>& codes) {
  std::unordered_map<int32_t, int32_t> index;
  for (std::size_t i = 1; i < codes.size(); ++i) index[codes[i]] = static_cast<int32_t>(i);
  return index;
}

struct TableTexts {
  const char* checking;
  const char* replacing;
  const char* table_name;
};

TableTexts TextsOf(CodeTable table) {
  switch (table) {
    case CodeTable::kSoil:
      return {"1.: checking soil type codes", "2.:replacing soil type codes ", "soil table"};
    case CodeTable::kIrrigation:
      return {"1.: checking codes in irrigation grid", "2.:replacing codes in irrigation grid ",
              "irrigation table"};
    case CodeTable::kLanduse:
      return {"1.: checking codes in land use grid", "2.:replacing codes in land use grid ",
              "land use table"};
    case CodeTable::kMultilayerLanduse:
      break;
  }
  return {"1.: checking codes in land use grid", "2.:replacing codes in land use grid ",
          "multilayer-landuse-table"};
}

int UnknownCodeError(CodeTable table) {
  if (table == CodeTable::kSoil) return kUnknownSoilCode;
  return table == CodeTable::kMultilayerLanduse ? kUnknownMultilayerCode : kUnknownLanduseCode;
}

}  // namespace

UnknownCode FindUnknownCode(double** grid, double** zone, int32_t ncols, int32_t nrows,
                            double nodata, const std::vector<int32_t>& codes, bool positive_only) {
  return FindUnknownCode(grid, zone, ncols, 1, nrows, nodata, codes, positive_only);
}

UnknownCode FindUnknownCode(double** grid, double** zone, int32_t ncols, int32_t first_row,
                            int32_t last_row, double nodata, const std::vector<int32_t>& codes,
                            bool positive_only) {
  const auto index = IndexByCode(codes);
  for (int32_t r = first_row; r <= last_row; ++r)
    for (int32_t c = 1; c <= ncols; ++c) {
      if (!IsNotNodata(zone[r][c], nodata)) continue;
      const double value = grid[r][c];
      if (positive_only && !(value > 0)) continue;
      int32_t code = 0;
      if (!CodeOfValue(value, code) || index.count(code) == 0)
        return UnknownCode{true, r, c, value};
    }
  return UnknownCode{};
}

void ReplaceCodesByIndexes(double** grid, int32_t ncols, int32_t nrows,
                           const std::vector<int32_t>& codes, bool positive_only) {
  ReplaceCodesByIndexes(grid, ncols, 1, nrows, codes, positive_only);
}

void ReplaceCodesByIndexes(double** grid, int32_t ncols, int32_t first_row, int32_t last_row,
                           const std::vector<int32_t>& codes, bool positive_only) {
  const auto index = IndexByCode(codes);
  for (int32_t r = first_row; r <= last_row; ++r)
    for (int32_t c = 1; c <= ncols; ++c) {
      double& value = grid[r][c];
      if (positive_only && !(value > 0)) continue;
      int32_t code = 0;
      if (!CodeOfValue(value, code)) continue;
      const auto found = index.find(code);
      if (found != index.end()) value = found->second;
    }
}

std::vector<std::pair<int32_t, int32_t>> DuplicateCodes(const std::vector<int32_t>& codes) {
  std::vector<std::pair<int32_t, int32_t>> pairs;
  std::unordered_map<int32_t, int32_t> first;
  for (std::size_t i = 1; i < codes.size(); ++i) {
    const auto [at, inserted] = first.emplace(codes[i], static_cast<int32_t>(i));
    if (!inserted) pairs.emplace_back(at->second, static_cast<int32_t>(i));
  }
  return pairs;
}

int32_t IndexOfCode(const std::vector<int32_t>& codes, int32_t code) {
  for (std::size_t i = codes.size(); i-- > 1;)
    if (codes[i] == code) return static_cast<int32_t>(i);
  return 0;
}

// ---- defaultini ------------------------------------------------------------------------------

namespace {

// Codes of a table's entries 1..count (record 0 holds the count and is no entry).
int32_t CodeOfRecord(const LanduseRecord& record) {
  return record.GetCode();
}
template <class Record>
int32_t CodeOfRecord(const Record& record) {
  return record.code;
}

template <class Record>
std::vector<int32_t> EntryCodes(const std::vector<Record>& records) {
  std::vector<int32_t> codes{0};
  for (std::size_t i = 1; i < records.size(); ++i) codes.push_back(CodeOfRecord(records[i]));
  return codes;
}

}  // namespace

std::vector<int32_t> defaultini::TableCodes(CodeTable table) const {
  switch (table) {
    case CodeTable::kSoil:
      return EntryCodes(soil_records);
    case CodeTable::kLanduse:
      return EntryCodes(landuse_records);
    case CodeTable::kMultilayerLanduse:
      return EntryCodes(multilayer_landuse_records);
    case CodeTable::kIrrigation:
      break;
  }
  std::vector<int32_t> codes{0};
  if (irrigation_table)
    for (int32_t i = 1; i <= irrigation_table->count; ++i)
      codes.push_back(irrigation_table->records[static_cast<std::size_t>(i)].code);
  return codes;
}

void defaultini::CheckIrrigationCodes(int entry) {
  check_irrig_Codes(entry);
}

void defaultini::check_irrig_Codes(int entry) {
  CheckCodeGrid(entry, CodeTable::kIrrigation);
}

void defaultini::check_SOIL_Codes(int entry) {
  CheckCodeGrid(entry, CodeTable::kSoil);
}

void defaultini::CheckLanduseCodes(int entry) {
  if (entry == 0) return;
  landuse_entry = entry;
  const bool multilayer = multilayer_landuse_records.size() >= 2;
  CheckCodeGrid(entry, multilayer ? CodeTable::kMultilayerLanduse : CodeTable::kLanduse);
}

void defaultini::RecheckCodeGrid(int entry) {
  for (const CodeGridCheck& check : code_grid_checks)
    if (check.entry == entry) {
      CheckCodeGrid(entry, check.table);
      return;
    }
}

// Process 0 checks and replaces on its whole grid; its verdict is shared before the grid is
// distributed, so a bad code ends every process with the same code. The layer codes of the
// multilayer entries are checked and replaced once, at the first check of the land-use grid.
void defaultini::CheckCodeGrid(int entry, CodeTable table) {
  if (entry == 0) return;
  bool known = false;
  for (const CodeGridCheck& check : code_grid_checks) known = known || check.entry == entry;
  const bool layers = !known && table == CodeTable::kMultilayerLanduse;
  const GridEntry& grid_entry = (*registry)[entry];
  if (known && set_up_grids_trimmed) {
    CheckCodeGridOnHeldRows(grid_entry, table);
    MPIExchangeGridHalo(entry, nullptr);
    return;
  }
  int failure = 0;
  if (rank == 0) {
    failure = CodeOf([&] {
      CheckAndReplaceOnRoot(grid_entry, table, TableCodes(table));
      if (layers) ReplaceLayerCodes(TableCodes(CodeTable::kLanduse));
    });
  }
  if (size > 1) MPI_Bcast(&failure, 1, MPI_INT, 0, MPI_COMM_WORLD);
  if (failure != 0) throw ErrorCode{failure};
  if (layers) BroadcastLayerCodes();
  MPIScatterGrid(entry, nullptr);
  MPIExchangeGridHalo(entry, nullptr);
  if (known) return;
  code_grid_checks.push_back(CodeGridCheck{entry, table});
  // The set-up values that a grid that is not persistent returns to are the indexes.
  GridEntry& checked = (*registry)[entry];
  if (checked.saved_copy) checked.saved_copy = CopyHeldRows(checked.grid, LocalRowRange());
}

void defaultini::CheckAndReplaceOnRoot(const GridEntry& grid_entry, CodeTable table,
                                       const std::vector<int32_t>& codes) {
  const bool positive_only = table == CodeTable::kIrrigation;
  Diag() << TextsOf(table).checking << "[end-entry]";
  const UnknownCode unknown = FindUnknownCode(grid_entry.grid, (*registry)[1].grid, ncols, nrows,
                                              nodata, codes, positive_only);
  if (unknown.found) ReportUnknownCode(grid_entry, table, unknown.value);
  WarnAboutFractionalCodes(grid_entry, table, positive_only);
  ReportCodeReplacement(grid_entry, table, codes);
  ReplaceCodesByIndexes(grid_entry.grid, ncols, nrows, codes, positive_only);
}

// A code grid re-read in the run after the trim: every process checks and replaces its held
// rows. The first unknown code in row order over all processes is reported by process 0 (the
// strips do not lie in rank order, and a halo row is held by two processes).
void defaultini::CheckCodeGridOnHeldRows(const GridEntry& grid_entry, CodeTable table) {
  const std::vector<int32_t> codes = TableCodes(table);
  const bool positive_only = table == CodeTable::kIrrigation;
  const auto first = static_cast<int32_t>(grid_entry.first_row);
  const auto last = static_cast<int32_t>(grid_entry.last_row);
  if (rank == 0) Diag() << TextsOf(table).checking << "[end-entry]";
  const UnknownCode unknown = FindUnknownCode(grid_entry.grid, (*registry)[1].grid, ncols, first,
                                              last, nodata, codes, positive_only);
  // The cell's place in row order, negated for the maximum; "none" below every cell.
  const double none = -static_cast<double>(nrows + 1) * (ncols + 1);
  const double place =
      unknown.found ? -(static_cast<double>(unknown.row) * (ncols + 1) + unknown.col) : none;
  std::vector<double> first_place{place};
  AllReduceMaximum(first_place);
  if (first_place[0] > none) {
    // One of the processes that found that cell gives its value.
    std::vector<double> giver{place == first_place[0] ? -static_cast<double>(rank)
                                                      : -static_cast<double>(size)};
    AllReduceMaximum(giver);
    std::vector<double> value{rank == static_cast<int>(-giver[0]) ? unknown.value : 0.0};
    AllReduceSum(value);
    int failure = UnknownCodeError(table);
    if (rank == 0) failure = CodeOf([&] { ReportUnknownCode(grid_entry, table, value[0]); });
    if (size > 1) MPI_Bcast(&failure, 1, MPI_INT, 0, MPI_COMM_WORLD);
    throw ErrorCode{failure};
  }
  if (rank == 0) ReportCodeReplacement(grid_entry, table, codes);
  ReplaceCodesByIndexes(grid_entry.grid, ncols, first, last, codes, positive_only);
}

void defaultini::ReportUnknownCode(const GridEntry& grid_entry, CodeTable table, double value) {
  const TableTexts texts = TextsOf(table);
  const std::string file_name = grid_entry.file_name.value_or("");
  const std::string identifier = grid_entry.identifier.value_or("");
  // A grid of another cell size was resampled onto the zone grid: its blended or missing codes
  // are no fault of the table, which a second line says, naming both cell sizes.
  const GridFileHeader read = ReadGridFileHeader(file_name);
  std::string sizes;
  if (read.code == 0 && read.header[4] != cellsize)
    sizes = "the cell size of grid " + file_name + " (" + identifier + ") is " +
            FormatText("%g", read.header[4]) + ", that of the zone grid " +
            (*registry)[1].file_name.value_or("") + " is " + FormatText("%g", cellsize) +
            ": its codes were resampled; give it the zone grid's cell size\n";
  if (table == CodeTable::kSoil)
    ThrowFatal(Diag(), kUnknownSoilCode, "FATAL: \n", kRule, "\n", "soil type ", value, " in grid ",
               file_name, " (", identifier, ")\n", "is not present in the control file \n", kRule,
               "\n\n", sizes);
  ThrowFatal(Diag(), UnknownCodeError(table), "FATAL: \n", kRule, "\n",
             table == CodeTable::kIrrigation ? "irrigation type " : "land use ", value, " in grid ",
             file_name, " (", identifier, ")\nis not present in the ", texts.table_name,
             " in the control file \n", kRule, "\n\n", sizes);
}

// A code that is no whole number (a grid resampled or exported as floating point) is taken by
// its integer part, as codes always are; the user learns of it.
void defaultini::WarnAboutFractionalCodes(const GridEntry& grid_entry, CodeTable table,
                                          bool positive_only) {
  double** grid = grid_entry.grid;
  double** zone = (*registry)[1].grid;
  long count = 0;
  int32_t row = 0, col = 0;
  for (int32_t r = 1; r <= nrows; ++r)
    for (int32_t c = 1; c <= ncols; ++c) {
      const double value = grid[r][c];
      if (!IsNotNodata(zone[r][c], nodata) || (positive_only && !(value > 0)) ||
          value == std::trunc(value))
        continue;
      if (count++ == 0) row = r, col = c;
    }
  if (count == 0) return;
  const double value = grid[row][col];
  Diag() << "WARNING: "
         << (table == CodeTable::kSoil         ? "soil type "
             : table == CodeTable::kIrrigation ? "irrigation type "
                                               : "land use ")
         << FormatText("%g", value) << " in grid " << grid_entry.file_name.value_or("") << " ("
         << grid_entry.identifier.value_or("") << ") at row " << row << ", column " << col
         << " is no whole number: its integer part " << FormatText("%g", std::trunc(value))
         << " is taken as the code ("
         << (count == 1 ? std::string("1 cell of the basin holds such a value")
                        : std::to_string(count) + " cells of the basin hold such values")
         << ")[end-entry]";
}

void defaultini::ReportCodeReplacement(const GridEntry& grid_entry, CodeTable table,
                                       const std::vector<int32_t>& codes) {
  const TableTexts texts = TextsOf(table);
  Diag() << texts.replacing << grid_entry.file_name.value_or("") << "[end-entry]";
  for (const auto& [first, later] : DuplicateCodes(codes))
    Diag() << "WARNING: code " << codes[static_cast<std::size_t>(first)] << " stands at entries "
           << first << " and " << later << " of the " << texts.table_name << "; cells with it get "
           << later << "[end-entry]";
  for (std::size_t i = 1; i < codes.size(); ++i)
    if (codes[i] != static_cast<int32_t>(i))
      Diag() << codes[i] << " replaced by " << static_cast<long>(i) << " ..."
             << "[end-entry]";
}

// Layer codes of the multilayer entries: each must be a land-use code (layer 1 always, later
// layers when above nodata) and becomes that land-use entry's index; the replacement looks at
// the codes the entry was read with, so one replacement never hits a code set by another.
void defaultini::ReplaceLayerCodes(const std::vector<int32_t>& landuse_codes) {
  for (std::size_t j = 1; j < multilayer_landuse_records.size(); ++j) {
    const MultilayerLanduseRecord& entry = multilayer_landuse_records[j];
    for (int k = 1; k <= entry.LayerCount; ++k) {
      const int32_t code = entry.LayerCodes[static_cast<std::size_t>(k)];
      if (code > nodata && IndexOfCode(landuse_codes, code) == 0)
        ThrowFatal(Diag(), kBadLayerCode, "FATAL: \n", kRule, "\n",
                   "Error: not all layer codes from landuse ", entry.code,
                   " from MultiLayer_Landuse-Table\nare present in the landuse-table in the "
                   "control file: Here, code ",
                   code, " is missing.\n", kRule, "\n\n");
      if (code <= nodata && k == 1)
        ThrowFatal(Diag(), kBadLayerCode, "FATAL: \n\n", kRule, "\n",
                   "Error: the first Layer code of each MultiLayer-Landuse Entry \nmust be a "
                   "valid entry (not 9999 or larger):\nHere, line ",
                   static_cast<long>(j), " contains ", code, " as first layer code.\n", kRule,
                   "\n\n");
    }
  }
  for (std::size_t j = 1; j < multilayer_landuse_records.size(); ++j) {
    MultilayerLanduseRecord& entry = multilayer_landuse_records[j];
    const std::vector<int>& original = entry.LayerCodesCopy.size() == entry.LayerCodes.size()
                                           ? entry.LayerCodesCopy
                                           : entry.LayerCodes;
    std::vector<int> replaced = entry.LayerCodes;
    for (std::size_t i = 1; i < landuse_codes.size(); ++i) {
      if (landuse_codes[i] == static_cast<int32_t>(i)) continue;
      for (int k = 1; k <= entry.LayerCount; ++k)
        if (original[static_cast<std::size_t>(k)] == landuse_codes[i]) {
          Diag() << "Code replacement in MultiLayer-Landuse " << static_cast<long>(j)
                 << ": changed Layer-Code #" << k << " from " << landuse_codes[i] << " to "
                 << static_cast<long>(i) << "[end-entry]";
          replaced[static_cast<std::size_t>(k)] = static_cast<int>(i);
        }
    }
    entry.LayerCodes = std::move(replaced);
  }
}

// Every process read the same table, so the layer arrays have the same length everywhere.
void defaultini::BroadcastLayerCodes() {
  if (size < 2) return;
  for (std::size_t j = 1; j < multilayer_landuse_records.size(); ++j) {
    std::vector<int>& layers = multilayer_landuse_records[j].LayerCodes;
    MPI_Bcast(layers.data(), static_cast<int>(layers.size()), MPI_INT, 0, MPI_COMM_WORLD);
  }
}

void defaultini::CreateLanduseLayerGrids() {
  if (multilayer_landuse_records.size() < 2) return;
  const int32_t layers = multilayer_landuse_records[1].LayerCount;
  const HeldRows held = LocalRowRange();
  landuse_layers.assign(1, landuse_entry > 0 ? (*registry)[landuse_entry].grid : nullptr);
  for (int32_t k = 1; k <= layers; ++k) {
    const int index = registry->FirstFreeIndex();
    if (index >= kRefusedGridIndex)
      ThrowFatal(Diag(), kRegistryFullCode, "FATAL: no free grid found in memory (at position ",
                 kRefusedGridIndex, ")\n");
    const std::string name = FormatText("landuse%d", k);
    GridMatrix grid(Diag(), held.first, held.last, ncols, nrows);
    landuse_layers.push_back(grid.get());
    RegisterGrid(index, name, grid.release(), nullptr, 0, name, 0, held.first, held.last);
    ++registered_grid_count;
  }
  landuse_layer_count = layers;
  FillLanduseLayerGrids();
}

// Each own zone cell gets layer k's land-use index of the multilayer entry named by the cell's
// land-use value (-9999 when that entry has fewer layers); every other cell nodata.
void defaultini::FillLanduseLayerGrids() {
  const HeldRows held = LocalRowRange();
  double** zone = (*registry)[1].grid;
  double** landuse = landuse_layers.empty() ? nullptr : landuse_layers[0];
  if (landuse == nullptr) return;
  double** owner = DecompositionOwnerGrid(*this);
  const auto entries = static_cast<int32_t>(multilayer_landuse_records.size());
  for (int32_t k = 1; k <= landuse_layer_count; ++k) {
    double** layer = landuse_layers[static_cast<std::size_t>(k)];
    ForEachRow(held.first, held.last, [&](long r) {
      for (int32_t c = 1; c <= ncols; ++c) {
        const bool own = owner == nullptr || owner[r][c] == rank;
        int32_t index = 0;
        if (!IsAboveNodata(zone[r][c], nodata) || !own || !CodeOfValue(landuse[r][c], index) ||
            index < 1 || index >= entries) {
          layer[r][c] = nodata;
          continue;
        }
        const MultilayerLanduseRecord& entry =
            multilayer_landuse_records[static_cast<std::size_t>(index)];
        layer[r][c] =
            k <= entry.LayerCount ? entry.LayerCodes[static_cast<std::size_t>(k)] : kNodata;
      }
    });
    const int layer_entry = FindGrid(FormatText("landuse%d", k), 0);
    if (layer_entry > 0) MPIExchangeGridHalo(layer_entry, nullptr);
  }
}

}  // namespace velorn
