// defaultini: [model_time] with its normalisation, [radiation_correction], the global maximum
// of a registered grid and the standard-grid output of each time step.
#include <mpi.h>

#include <algorithm>
#include <array>
#include <tuple>

#include "setup/defaultini.h"

namespace velorn {
namespace {

// Years written with at most three digits are read as years after 1900.
int64_t FullYear(int64_t year) {
  return year <= 999 ? year + 1900 : year;
}

int64_t ClampDay(int64_t day, int64_t year, int64_t month) {
  return std::clamp<int64_t>(day, 1, DaysInMonth(year, month));
}

}  // namespace

void NormaliseModelTime(ModelDate& start, ModelDate& end) {
  start.year = FullYear(start.year);
  end.year = FullYear(end.year);
  start.month = std::clamp<int64_t>(start.month, 1, 12);
  end.month = std::clamp<int64_t>(end.month, 1, 12);
  // Each date is clamped in its own year, so a start on 29 February of a leap year is kept
  // whatever the end year is, and a start on 29 February of a common year becomes the 28th.
  end.day = ClampDay(end.day, end.year, end.month);
  start.day = ClampDay(start.day, start.year, start.month);
}

EntryRange StandardGridOutputRange(int32_t grid_counter, int32_t first_variable_entry) {
  EntryRange range;
  range.first = 2;
  range.last = first_variable_entry > 0 ? first_variable_entry - 1 : grid_counter + 2;
  return range;
}

void defaultini::WriteStandardGrids(int64_t hour, int64_t day, int64_t month, int64_t year) {
  step_date = ModelDate{year, month, day, hour};
  const EntryRange range = StandardGridOutputRange(registered_grid_count, first_variable_entry);
  const int last = std::min(range.last, kLastGridIndex);
  for (int entry = range.first; entry <= last; ++entry) WriteGridOutput(entry, 1, false);
}

void defaultini::ReadModelTime() {
  FindSection("[model_time]", 1);
  static const std::array<const char*, 8> kDescriptions = {
      "starting hour in ", "starting day in ", "starting month in ", "starting year in ",
      "end hour in ",      "and day in ",      "end month in ",      "end year in "};
  std::array<long, 8> values{};
  for (std::size_t i = 0; i < values.size(); ++i) {
    ReadValue(*control_file, values[i], kDescriptions[i]);
  }
  ModelDate start{values[3], values[2], values[1], values[0]};
  ModelDate end{values[7], values[6], values[5], values[4]};
  const ModelDate start_given = start, end_given = end;
  NormaliseModelTime(start, end);
  // A month or day outside the calendar (30 February, month 13) is moved into it, as the run
  // has always done; the user learns which date the run takes.
  for (const auto& [given, taken, which] :
       {std::tuple{start_given, start, "start"}, std::tuple{end_given, end, "end"}}) {
    if (given.month == taken.month && given.day == taken.day) continue;
    Diag() << "WARNING: the " << which << " date of [model_time], " << given.day << "."
           << given.month << "." << taken.year << ", is no date of the calendar: the run takes "
           << taken.day << "." << taken.month << "." << taken.year << "[end-entry]";
  }
  if (ModelTimeKey(end) < ModelTimeKey(start))
    ThrowFatal(Diag(), kControlFileErrorCode,
               "FATAL: error in control file, the end of the model "
               "time in [model_time] (",
               end.hour, " h, ", end.day, ".", end.month, ".", end.year,
               ") lies before its start (", start.hour, " h, ", start.day, ".", start.month, ".",
               start.year, ")");
  start_date = start;
  end_date = end;
  // No month-length table is set from these dates: one February for every year of the run is
  // wrong in all but its own year, so every date takes DaysInMonth(its year, its month).
}

int defaultini::ReadRadiationCorrectionSwitch() {
  FindSection("[radiation_correction]", 1);
  int value = 0;
  if (!control_file->Read(value)) return 0;
  radiation_correction_switch = value;
  return 1;
}

double defaultini::GlobalGridMaximum(int entry) {
  const GridEntry* grid_entry =
      registry != nullptr && entry >= 1 && entry <= kLastGridIndex ? &(*registry)[entry] : nullptr;
  double** grid = grid_entry != nullptr ? grid_entry->grid : nullptr;
  // Without the grid or the zone ranking (the column ranges of the zone cells) there is no
  // maximum to take; every process learns whether any process lacks them, so all fail together
  // instead of returning nodata as if the grid held no value.
  int missing = grid == nullptr ? 1 : column_ranges == nullptr ? 2 : 0;
  int worst = missing;
  MPI_Allreduce(&missing, &worst, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
  if (worst != 0)
    ThrowFatal(Diag(), kGridMissingCode, "FATAL: cannot take the maximum of grid entry ", entry,
               worst == 1
                   ? ": the grid is not registered on every process"
                   : ": the zone ranking (column ranges of the zone cells) is not built yet");
  double local = nodata;
  const int64_t first = std::max<int64_t>(first_local_row, grid_entry->first_row);
  const int64_t last = std::min<int64_t>(last_local_row, grid_entry->last_row);
  for (int64_t row = first; row <= last; ++row) {
    if (grid[row] == nullptr) continue;
    const int32_t first_col = std::max<int32_t>(column_ranges[row].first, 1);
    const int32_t last_col = std::min<int32_t>(column_ranges[row].last, ncols);
    for (int32_t col = first_col; col <= last_col; ++col) {
      if (grid[row][col] > local) local = grid[row][col];
    }
  }
  double global = local;
  MPI_Allreduce(&local, &global, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
  return global;
}

}  // namespace velorn
