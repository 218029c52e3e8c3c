// Output of registered grids and stacks by write code: the calendar of output periods and the
// names of every output file.
//
// modelobject::WriteGridOutput (grids/grid_output.cpp) and modelobject::WriteStackOutput
// (grids/stack_files.cpp) decide with these functions whether a grid, a stack or one of the
// companions of a GridEntry (period sum or mean, minimum, maximum, vegetation-period sum or
// mean) is due at the date of the step, and under which name it is written. Everything here is
// a pure function of its arguments (no registry access except the stack-name check, no MPI, no
// files), so the calendar and the names can be checked for any sequence of dates.
//
// Write code digits (see GridEntry): units say when and under which name the grid is written,
// tens a period companion (1/5 run, 2/6 year, 3/7 month, 4/8 day; sum / mean; 9 sum never
// written), hundreds minimum and maximum, thousands a vegetation-period sum (1) or mean (2).
//
// Calendar: a day ends when the integer part of the time shift (hours from the data hour to the
// end of the step) plus the hour is 24; a month ends at the end of its last day in the real
// calendar of that year (February has 29 days in every Gregorian leap year); a year ends at the
// end of 31 December; the run ends when the step's ModelTimeKey has reached the end key (an end
// key of 0, i.e. no end date set yet, is never reached).
//
// modelobject::WriteGridOutput keeps the companions of an entry: a period sum or mean of a cell
// is nodata for a period in which the grid held nodata there (an incomplete period has no sum),
// minimum and maximum leave nodata values out, and the whole-run sum or mean is written once,
// by the first call that reaches the end of the run (a later pass over the time range, as in a
// spin-up, starts it afresh). Grids go to process 0 with nodata outside the domain whatever the
// number of processes, so the files do not depend on it.
//
// Names keep the forms users' scripts rely on, e.g. for the output name "out/prec.asc":
// dated "out/prec_20190301.024" (again for the same date: "out/prec_20190301.024_001"),
// "out/prec.sum", "out/prec_1900.mit" (year files carry the year modulo 100 followed by "00"),
// "out/prec_201903.sum", "out/prec_1903.01s", "out/prec.min", "out/prec_0019_vegper.sum".
#pragma once

#include <cstdint>
#include <string>

#include "core/model_date.h"

namespace velorn {

class GridRegistry;
struct GridEntry;
class modelobject;

// Which output periods end with the step of a date.
struct OutputCalendar {
  bool run_end = false;
  bool day_end = false;
  bool month_end = false;
  bool year_end = false;
};

OutputCalendar OutputCalendarOf(const ModelDate& date, int64_t end_key, double time_shift_hours);

// ---- When things are due ---------------------------------------------------------------------

// Units digit 1..8 of a grid: the grid is written in this step (under its dated, ".filled" or
// output name, see GridNameKind).
bool GridDue(int units_digit, const OutputCalendar& calendar);
// Units 2, 5, 6, 7 and 8: at the end of the run the grid is also written under its output name.
bool GridRewrittenAtRunEnd(int units_digit);
enum class GridNameKind { kOutputName, kDatedName, kFilledName };
GridNameKind GridNameKindOf(int units_digit);

// Units digit of a stack: 1 and 2 every call, 3 at the end of the run, 4 and 5 at the end of a
// day; every other digit never. Units 2 and 5 use dated names and are also written under the
// file name at the end of the run.
bool StackDue(int units_digit, const OutputCalendar& calendar);
bool StackDated(int units_digit);

// Tens digit: the period companion is written (and restarted) in this step.
bool PeriodDue(int tens_digit, const OutputCalendar& calendar);
// Tens 5..8: the companion is a mean (the sum divided by the number of calls).
bool PeriodIsMean(int tens_digit);
// Tens 1 and 5: the companion covers the whole run.
bool PeriodIsRun(int tens_digit);

// ---- Names -----------------------------------------------------------------------------------

// The parts of an output name that the derived names are built from: the directory part (up to
// and including the last '/', empty when none) and the stem (the base name before its first
// '.', at most `stem_limit` characters).
struct OutputNameParts {
  std::string directory;
  std::string stem;
};
OutputNameParts SplitOutputName(const std::string& name,
                                std::size_t stem_limit = std::string::npos);

// Dated name "<dir><stem>_YYYYMMDD.HHH", or "<dir><stem>_YYYYMMDD.HHH_NNN" when `counter` is
// above 0 (the same date written again).
std::string DatedOutputName(const OutputNameParts& parts, const ModelDate& date, int64_t counter);
// Advances the same-date bookkeeping of an entry for a dated write at `date` and returns the
// counter to put into the name: 0 for a new date, 1, 2, ... when the date equals the last one.
int64_t NextSameDateCounter(GridEntry& entry, const ModelDate& date);

// Name of a period companion (tens digit 1..8) written at `date`, from the companion's name.
std::string PeriodOutputName(const std::string& companion_name, int tens_digit,
                             const ModelDate& date);
// "<dir><stem>.min" / "<dir><stem>.max".
std::string MinimumOutputName(const std::string& companion_name);
std::string MaximumOutputName(const std::string& companion_name);
// "<dir><stem>_00YY_vegper.mit" (thousands 2) or ".sum" (otherwise), YY = year modulo 100.
std::string VegetationOutputName(const std::string& companion_name, int thousands_digit,
                                 int64_t year);
// "<output name>.filled" (units 8).
std::string FilledOutputName(const std::string& output_name);

// Identifier suffix of the vegetation grids of an output name: the text after "_Layer_" up to
// the first '.', or "1" when the name holds no "_Layer_".
std::string VegetationGridSuffix(const std::string& output_name);

// Stacks' dated names keep the first four characters of the stem. When that name would be the
// one of another registered dated output in the same directory (a stack whose four-letter stem
// is the same but whose whole stem differs, or a dated grid whose stem is those four letters),
// the stack keeps its whole stem instead, so no output overwrites another's.
inline constexpr std::size_t kStackStemLength = 4;
std::size_t StackStemLimit(const GridRegistry& registry, int index);

// ---- Decomposition ---------------------------------------------------------------------------

// The owner grid ("MPIRegions": owner rank of every cell, nodata outside the domain) that the
// grid and stack output use: looked up once in the registry (with "MPIHelper", which must then
// exist: FATAL 33) and kept in the object, else the layout's, else null (no decomposition).
double** DecompositionOwnerGrid(modelobject& object);

}  // namespace velorn
