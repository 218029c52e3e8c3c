// Rule blocks, list files and the snow split of data assimilation (see
// data_assimilation_rules.h).
#include "routing/data_assimilation_rules.h"

#include <cmath>
#include <cstdlib>

#include "core/brace_block_readers.h"
#include "core/error_code.h"
#include "core/number_reader.h"
#include "core/string_helpers.h"
#include "meteo/station_files.h"

namespace velorn {
namespace {

constexpr const char* kRuleRule =
    "\n-----------------------------------------------------------------------\n";
constexpr const char* kRuleHead =
    "FATAL: \n---------------------- error in data assimilation model ------------------- \n";
// Words of the "velorn" header after its first line: three groups of four words and a number,
// one group of four words and one more word.
constexpr int kVelornHeaderWords = 3 * 5 + 5;

std::string FirstLine(const std::string& text) {
  const std::size_t start = text.find_first_not_of(" \t\r\n");
  if (start == std::string::npos) return {};
  return text.substr(start, text.find('\n', start) - start);
}

bool StartsWithWord(const std::string& text, const char* word) {
  const std::size_t start = text.find_first_not_of(" \t\r\n");
  return start != std::string::npos && text.compare(start, std::string(word).size(), word) == 0;
}

// The number that fills a fixed column range of a "bafu" line, blanks around it allowed.
template <class T>
bool Columns(const std::string& line, std::size_t from, std::size_t count, T& value) {
  if (line.size() < from + 1) return false;
  std::string_view text = std::string_view(line).substr(from, count);
  const std::size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return false;
  text = text.substr(first, text.find_last_not_of(" \t\r") + 1 - first);
  return ReadNumber(text, value);
}

}  // namespace

std::vector<std::string> ReadAssimilationBlocks(ControlFileReader& file, int32_t count,
                                                DiagnosticStream& diag) {
  std::vector<std::string> blocks;
  for (int32_t n = 1; n <= count; ++n) {
    std::string text;
    int depth = 0;
    bool opened = false;
    while (!opened || depth > 0) {
      if (file.AtEnd())
        ThrowFatal(diag, kControlFileErrorCode, "FATAL: [data_assimilation]: rule ", n, " of ",
                   count, " ends with the file, its braces are not closed");
      const std::string line = file.RestOfLine();
      if (line.find('{') != std::string::npos) {
        ++depth;
        opened = true;
      }
      if (line.find('}') != std::string::npos) --depth;
      text += line + "\n";
      if (!opened && text.find('}') != std::string::npos) break;
    }
    blocks.push_back(text);
  }
  return blocks;
}

AssimilationKind AssimilationKindOf(const std::string& block, DiagnosticStream& diag) {
  if (StartsWithWord(block, "grid")) return AssimilationKind::kGrid;
  if (StartsWithWord(block, "reservoir")) return AssimilationKind::kReservoir;
  ThrowFatal(diag, kControlFileErrorCode,
             "FATAL: [data_assimilation]: a rule must begin with \"grid\" or \"reservoir\", not: ",
             FirstLine(block));
}

GridRuleSettings ReadGridRule(std::string block, DiagnosticStream& diag) {
  const std::string body = ExtractBracedBlock(diag, block);
  KeyUse use;
  GridRuleSettings g;
  ParseStringValue(diag, body, "grid-ID", g.grid_id);
  ParseStringValue(diag, body, "listfilename", g.list_file);
  std::string flag;
  if (ParseStringValue(diag, body, "split-into-liquid-and-solid", flag)) g.split = flag == "true";
  flag.clear();
  if (ParseStringValue(diag, body, "weighing-by-glacierized-fraction", flag))
    g.weigh = flag == "true";
  if (g.split) ParseDoubleValue(diag, body, "default-liquid-percentage", g.liquid_percentage);
  // A share of the water equivalent in percent: above 100 the solid share turns negative.
  if (!(g.liquid_percentage >= 0 && g.liquid_percentage <= 100))
    ThrowFatal(diag, kControlFileErrorCode, "FATAL: [data_assimilation]: rule of grid ", g.grid_id,
               ": default-liquid-percentage is ", g.liquid_percentage,
               ", it must lie within 0 to 100");
  use.WarnAboutUnreadKeys(diag, body, "[data_assimilation], rule of grid " + g.grid_id);
  return g;
}

ReservoirRuleSettings ReadReservoirRule(std::string block, DiagnosticStream& diag) {
  const std::string body = ExtractBracedBlock(diag, block);
  KeyUse use;
  ReservoirRuleSettings r;
  ParseIntValue(diag, body, "lake-ID", r.lake_id);
  ParseDoubleValue(diag, body, "AverageWaterTable", r.average_water_table);
  ParseStringValue(diag, body, "listfilename", r.list_file);
  ParseIntValue(diag, body, "skiprows", r.skiprows);
  std::string format;
  if (FindKeyValueText(body, "format", format)) {
    r.bafu = format.find("bafu") != std::string::npos;
    if (!r.bafu && format.find("velorn") == std::string::npos)
      ThrowFatal(diag, kAssimilationReservoirCode, kRuleHead, "for reservoir ", r.lake_id,
                 ": format ", format, "not defined ", kRuleRule);
  }
  use.WarnAboutUnreadKeys(diag, body,
                          FormatText("[data_assimilation], rule of reservoir %d", r.lake_id));
  return r;
}

bool AssimilationList::Open(const std::string& name, bool bafu, bool grid) {
  name_ = name;
  bafu_ = bafu;
  grid_ = grid;
  in_.open(name);
  if (!in_) return false;
  line_open_ = false;
  if (bafu_) {
    for (int n = 0; n < 3; ++n) std::getline(in_, line_);
    return true;
  }
  std::getline(in_, line_);  // the first line
  std::string word;
  for (int n = 0; n < kVelornHeaderWords && Word(word); ++n) {
  }
  return true;
}

bool AssimilationList::Word(std::string& word) {
  while (true) {
    if (line_open_) {
      const std::size_t start = line_.find_first_not_of(" \t\r", pos_);
      if (start != std::string::npos) {
        const std::size_t end = line_.find_first_of(" \t\r", start);
        word = line_.substr(start, end == std::string::npos ? std::string::npos : end - start);
        pos_ = end == std::string::npos ? line_.size() : end;
        return true;
      }
      line_open_ = false;
    }
    if (!std::getline(in_, line_)) return false;
    pos_ = 0;
    line_open_ = true;
  }
}

bool AssimilationList::Next(AssimilationRecord& record) {
  if (bafu_) {
    if (!std::getline(in_, line_)) return false;
    line_open_ = false;
    int64_t y = 0, m = 0, d = 0, h = 0;
    if (line_.size() < 35 || !Columns(line_, 22, 4, y) || !Columns(line_, 27, 2, m) ||
        !Columns(line_, 30, 2, d) || !Columns(line_, 33, 2, h) || line_.size() <= 39)
      return false;
    record.date = ModelDate{y, m, d, h};
    if (!IsWrittenDate(record.date)) return false;
    return Columns(line_, 39, 10, record.level);
  }
  std::string words[5];
  for (std::string& w : words)
    if (!Word(w)) return false;
  int64_t values[4];
  for (int k = 0; k < 4; ++k) {
    long long read = 0;
    if (!ReadNumber(words[k], read)) return false;
    values[k] = read;
  }
  record.date = ModelDate{values[0], values[1], values[2], values[3]};
  // A date outside the calendar would overflow the time key: the record cannot be read.
  if (!IsWrittenDate(record.date)) return false;
  if (grid_) {
    record.file = words[4];
    return true;
  }
  if (ReadNumber(words[4], record.level)) return true;
  // "nan" stands for a level not measured, which the step skips.
  if (words[4] != "nan" && words[4] != "NaN" && words[4] != "-nan") return false;
  record.level = std::nan("");
  return true;
}

void AssimilationList::SkipRestOfLine() {
  if (line_open_) {
    line_open_ = false;
    return;
  }
  std::getline(in_, line_);
}

bool AdvanceToStep(AssimilationList& list, AssimilationRecord& record, bool& valid,
                   const ModelDate& now, DiagnosticStream& diag) {
  const int64_t key = ModelTimeKey(now);
  while (valid && ModelTimeKey(record.date) < key) {
    diag << "WARNING: data assimilation: the record of " << record.date.day << "."
         << record.date.month << "." << record.date.year << " " << record.date.hour << "h in "
         << list.name() << " falls on no time step and is passed over"
         << "[end-entry]";
    valid = list.Next(record);
  }
  return valid && ModelTimeKey(record.date) == key;
}

SnowShares SplitSnowValue(double g, double liquid, double solid, double liquid_percentage) {
  if (solid <= 0.0) return {liquid_percentage / 100.0 * g, (100.0 - liquid_percentage) / 100.0 * g};
  const double f = liquid / (solid + liquid);
  return {f * g, (1.0 - f) * g};
}

void AssimilateSnowCell(SnowCell& c, double g, double liquid_percentage, bool weigh,
                        double glacierized) {
  const SnowShares own = SplitSnowValue(g, c.liquid, c.solid, liquid_percentage);
  c.liquid = own.liquid;
  c.solid = own.solid;
  if (!weigh) return;
  const SnowShares ice = SplitSnowValue(g, c.glacier_liquid, c.glacier_solid, liquid_percentage);
  c.glacier_liquid = ice.liquid;
  c.glacier_solid = ice.solid;
  c.glacier_total = g;
  if (glacierized >= 1.0) c.liquid = c.solid = 0.0;
  if (glacierized <= 0.0) c.glacier_liquid = c.glacier_solid = c.glacier_total = 0.0;
}

}  // namespace velorn
