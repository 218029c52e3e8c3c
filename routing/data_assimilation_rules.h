// The rules of data assimilation ([data_assimilation]): the rule blocks of the section, their
// keys, the list files of dated records they apply, and the division of an assimilated snow
// value into liquid and solid storage.
//
// A grid rule ("grid { grid-ID = ...; listfilename = ...; options { ... } }") replaces a grid by
// the grid files its list names; a reservoir rule ("reservoir { lake-ID = ...; listfilename =
// ...; options { format = velorn|bafu; skiprows = n; } }") sets a lake's level from a series.
// Dates are compared by the model's time key (core/model_date.h): no C library time, no time
// zone.
//
// Callers: the data-assimilation model (routing/data_assimilation.h). Text and file readers
// only; failures are FATAL entries with the section's codes.
// Settled here: a block may begin with white space or empty lines; a block that is neither a
// grid nor a reservoir rule is FATAL naming its first line; the braces of a block's first line
// count, so "grid { ... }" on one line is one rule; a record that no step reaches (its date
// falls between two steps, or before the start) is passed over with a WARNING naming it, so the
// rule goes on with the next one.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "core/control_file_reader.h"
#include "core/diagnostic_stream.h"
#include "core/model_date.h"

namespace velorn {

inline constexpr int kAssimilationListOpenCode = 1200;
inline constexpr int kAssimilationDateCode = 1205;
inline constexpr int kAssimilationReservoirCode = 1220;
inline constexpr int kAssimilationCoverageCode = 1213;
inline constexpr int kAssimilationValueCode = 1217;
inline constexpr int kAssimilationLevelCode = 1221;
inline constexpr int kAssimilationRuleCode = 1299;

enum class AssimilationKind { kGrid, kReservoir };

// `count` rule blocks from the line under the cursor of `file`: a block runs until the braces
// of its lines (each line counting one "{" and one "}" at most) are closed.
std::vector<std::string> ReadAssimilationBlocks(ControlFileReader& file, int32_t count,
                                                DiagnosticStream& diag);
// The kind of a block by its first word; any other word is FATAL (code 17) naming the line.
AssimilationKind AssimilationKindOf(const std::string& block, DiagnosticStream& diag);

struct GridRuleSettings {
  std::string grid_id;
  std::string list_file;
  bool split = false;              // "split-into-liquid-and-solid"
  bool weigh = false;              // "weighing-by-glacierized-fraction"
  double liquid_percentage = 0.0;  // "default-liquid-percentage", read with the split
};
struct ReservoirRuleSettings {
  int lake_id = 0;
  double average_water_table = 0.0;  // kept, not used
  std::string list_file;
  bool bafu = false;  // "format": "bafu", else "velorn"
  int skiprows = 0;
};
GridRuleSettings ReadGridRule(std::string block, DiagnosticStream& diag);
// An unknown format is FATAL 1220.
ReservoirRuleSettings ReadReservoirRule(std::string block, DiagnosticStream& diag);

// One dated record of a list file: a grid file name (grid rules) or a water level.
struct AssimilationRecord {
  ModelDate date;
  std::string file;
  double level = 0.0;
};

// A list file read record by record. "velorn": the first line and a header of 20 words are
// skipped, then records of year month day hour value as words; "bafu" (levels only): three header
// lines, then one record per line with the date and level at fixed columns.
class AssimilationList {
 public:
  // Opens and reads the header; false when the file cannot be opened.
  bool Open(const std::string& name, bool bafu, bool grid);
  // The next record; false at the end of the file (or a record that cannot be read, a date
  // outside the calendar among them).
  bool Next(AssimilationRecord& record);
  // Discards the rest of the current line (velorn: the first call ends the record's line).
  void SkipRestOfLine();
  const std::string& name() const { return name_; }

 private:
  bool Word(std::string& word);
  std::ifstream in_;
  std::string name_;
  std::string line_;
  std::size_t pos_ = 0;
  bool line_open_ = false;  // a line is being read word by word
  bool bafu_ = false, grid_ = false;
};

// Moves `record` to the first record dated at or after `now` (model time keys): every record
// dated before is passed over with a WARNING naming it and the list file. True when the record
// reached is dated `now`. `valid` is false once the list has ended.
bool AdvanceToStep(AssimilationList& list, AssimilationRecord& record, bool& valid,
                   const ModelDate& now, DiagnosticStream& diag);

// A new snow value g divided into liquid and solid storage: by the default liquid percentage p
// when the solid storage is 0 or less, else by the cell's own liquid fraction L / (L + S).
struct SnowShares {
  double liquid = 0, solid = 0;
};
SnowShares SplitSnowValue(double g, double liquid, double solid, double liquid_percentage);

// The snow storages of one cell after a new value g with the split on: the ordinary storages
// divided by SplitSnowValue; with the weighing also the glacier storages (their own fraction)
// and the glacier total g, then a fully glacierized cell (share >= 1) keeps only the glacier
// storages and a cell without glacier (share <= 0) only the ordinary ones.
struct SnowCell {
  double liquid = 0, solid = 0;
  double glacier_liquid = 0, glacier_solid = 0, glacier_total = 0;
};
void AssimilateSnowCell(SnowCell& cell, double g, double liquid_percentage, bool weigh,
                        double glacierized);

}  // namespace velorn
