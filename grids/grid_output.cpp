// Output of registered grids by write code: calendar, names, and modelobject::WriteGridOutput.
#include "grids/grid_output.h"

#include <algorithm>

#include "core/grid_registry.h"
#include "core/modelobject.h"
#include "core/nodata.h"
#include "core/string_helpers.h"
#include "grids/grid_row_stream.h"
#include "grids/mpi_exchange.h"
#include "grids/mpi_layout.h"

namespace velorn {
namespace {

int StemLength(const OutputNameParts& parts) {
  return static_cast<int>(parts.stem.size());
}

// "<dir>" in front of a name built from the stem ("%.*s%s").
std::string WithDirectory(const OutputNameParts& parts, const std::string& name) {
  return FormatText("%.*s%s", static_cast<int>(parts.directory.size()), parts.directory.c_str(),
                    name.c_str());
}

}  // namespace

OutputCalendar OutputCalendarOf(const ModelDate& date, int64_t end_key, double time_shift_hours) {
  OutputCalendar calendar;
  calendar.run_end = end_key > 0 && ModelTimeKey(date) >= end_key;
  calendar.day_end = static_cast<int64_t>(time_shift_hours) + date.hour == 24;
  calendar.month_end = calendar.day_end && date.day == DaysInMonth(date.year, date.month);
  calendar.year_end = calendar.day_end && date.day == 31 && date.month == 12;
  return calendar;
}

bool GridDue(int units_digit, const OutputCalendar& calendar) {
  switch (units_digit) {
    case 1:
    case 2:
    case 8:
      return true;
    case 3:
      return calendar.run_end;
    case 4:
    case 5:
      return calendar.day_end;
    case 6:
      return calendar.month_end;
    case 7:
      return calendar.year_end;
    default:
      return false;
  }
}

bool GridRewrittenAtRunEnd(int units_digit) {
  return units_digit == 2 || (units_digit >= 5 && units_digit <= 8);
}

GridNameKind GridNameKindOf(int units_digit) {
  if (units_digit == 8) return GridNameKind::kFilledName;
  if (units_digit == 2 || (units_digit >= 5 && units_digit <= 7)) return GridNameKind::kDatedName;
  return GridNameKind::kOutputName;
}

bool StackDue(int units_digit, const OutputCalendar& calendar) {
  switch (units_digit) {
    case 1:
    case 2:
      return true;
    case 3:
      return calendar.run_end;
    case 4:
    case 5:
      return calendar.day_end;
    default:
      return false;
  }
}

bool StackDated(int units_digit) {
  return units_digit == 2 || units_digit == 5;
}

bool PeriodDue(int tens_digit, const OutputCalendar& calendar) {
  switch (tens_digit) {
    case 1:
    case 5:
      return calendar.run_end;
    case 2:
    case 6:
      return calendar.year_end;
    case 3:
    case 7:
      return calendar.month_end;
    case 4:
    case 8:
      return calendar.day_end;
    default:
      return false;
  }
}

bool PeriodIsMean(int tens_digit) {
  return tens_digit >= 5 && tens_digit <= 8;
}

bool PeriodIsRun(int tens_digit) {
  return tens_digit == 1 || tens_digit == 5;
}

OutputNameParts SplitOutputName(const std::string& name, std::size_t stem_limit) {
  OutputNameParts parts;
  const std::size_t slash = name.rfind('/');
  std::string base = name;
  if (slash != std::string::npos) {
    parts.directory = name.substr(0, slash + 1);
    base = name.substr(slash + 1);
  }
  const std::size_t dot = base.find('.');
  parts.stem = base.substr(0, dot);  // a base without '.' is all stem
  if (parts.stem.size() > stem_limit) parts.stem.resize(stem_limit);
  return parts;
}

std::string DatedOutputName(const OutputNameParts& parts, const ModelDate& date, int64_t counter) {
  const auto year = static_cast<long>(date.year);
  const auto month = static_cast<long>(date.month);
  const auto day = static_cast<long>(date.day);
  const auto hour = static_cast<long>(date.hour);
  const std::string name = counter > 0 ? FormatText("%.*s_%04ld%02ld%02ld.%03ld_%.03ld",
                                                    StemLength(parts), parts.stem.c_str(), year,
                                                    month, day, hour, static_cast<long>(counter))
                                       : FormatText("%.*s_%04ld%02ld%02ld.%03ld", StemLength(parts),
                                                    parts.stem.c_str(), year, month, day, hour);
  return WithDirectory(parts, name);
}

int64_t NextSameDateCounter(GridEntry& entry, const ModelDate& date) {
  if (entry.last_output_date == date)
    ++entry.same_date_counter;
  else
    entry.same_date_counter = 0;
  entry.last_output_date = date;
  return entry.same_date_counter;
}

std::string PeriodOutputName(const std::string& companion_name, int tens_digit,
                             const ModelDate& date) {
  const OutputNameParts parts = SplitOutputName(companion_name);
  const int n = StemLength(parts);
  const char* stem = parts.stem.c_str();
  const auto year = static_cast<long>(date.year);
  const auto year2 = static_cast<long>(date.year % 100);
  const auto month = static_cast<long>(date.month);
  const auto day = static_cast<long>(date.day);
  std::string name;
  switch (tens_digit) {
    case 1:
      name = FormatText("%.*s.sum", n, stem);
      break;
    case 5:
      name = FormatText("%.*s.mit", n, stem);
      break;
    case 2:
      name = FormatText("%.*s_%02ld00.sum", n, stem, year2);
      break;
    case 6:
      name = FormatText("%.*s_%02ld00.mit", n, stem, year2);
      break;
    case 3:
      name = FormatText("%.*s_%04ld%02ld.sum", n, stem, year, month);
      break;
    case 7:
      name = FormatText("%.*s_%04ld%02ld.mit", n, stem, year, month);
      break;
    case 4:
      name = FormatText("%.*s_%02ld%02ld.%02lds", n, stem, year2, month, day);
      break;
    case 8:
      name = FormatText("%.*s_%02ld%02ld.%02ldm", n, stem, year2, month, day);
      break;
    default:
      return {};
  }
  return WithDirectory(parts, name);
}

std::string MinimumOutputName(const std::string& companion_name) {
  const OutputNameParts parts = SplitOutputName(companion_name);
  return WithDirectory(parts, FormatText("%.*s.min", StemLength(parts), parts.stem.c_str()));
}

std::string MaximumOutputName(const std::string& companion_name) {
  const OutputNameParts parts = SplitOutputName(companion_name);
  return WithDirectory(parts, FormatText("%.*s.max", StemLength(parts), parts.stem.c_str()));
}

std::string VegetationOutputName(const std::string& companion_name, int thousands_digit,
                                 int64_t year) {
  const OutputNameParts parts = SplitOutputName(companion_name);
  const auto year2 = static_cast<long>(year % 100);
  const std::string name =
      thousands_digit == 2
          ? FormatText("%.*s_%04ld_vegper.mit", StemLength(parts), parts.stem.c_str(), year2)
          : FormatText("%.*s_%04ld_vegper.sum", StemLength(parts), parts.stem.c_str(), year2);
  return WithDirectory(parts, name);
}

std::string FilledOutputName(const std::string& output_name) {
  return FormatText("%s.filled", output_name.c_str());
}

std::string VegetationGridSuffix(const std::string& output_name) {
  static constexpr const char kLayer[] = "_Layer_";
  const std::size_t at = output_name.find(kLayer);
  if (at == std::string::npos) return "1";
  const std::size_t start = at + sizeof kLayer - 1;
  const std::size_t dot = output_name.find('.', start);
  return output_name.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
}

namespace {

// The name under which an entry writes dated outputs, and whether it is a stack's.
struct DatedOutput {
  const std::string* name = nullptr;
  bool stack = false;
};

// Entries that write dated names: grids with units 2, 5, 6, 7 (under their output name) and
// stacks with units 2 and 5 (under their file name).
DatedOutput DatedOutputOf(const GridEntry& entry) {
  if (entry.stack != nullptr) {
    if (StackDated(entry.units_digit) && entry.file_name) return {&*entry.file_name, true};
    return {};
  }
  if (entry.grid != nullptr && GridNameKindOf(entry.units_digit) == GridNameKind::kDatedName) {
    if (entry.first_file_name) return {&*entry.first_file_name, false};
  }
  return {};
}

}  // namespace

std::size_t StackStemLimit(const GridRegistry& registry, int index) {
  const GridEntry& own = registry[index];
  if (!own.file_name) return kStackStemLength;
  const OutputNameParts whole = SplitOutputName(*own.file_name);
  if (whole.stem.size() <= kStackStemLength) return kStackStemLength;
  const OutputNameParts cut = SplitOutputName(*own.file_name, kStackStemLength);
  for (int i = 1; i <= kLastGridIndex; ++i) {
    if (i == index) continue;
    const GridEntry& other = registry[i];
    if (other.IsFree()) break;
    const DatedOutput dated = DatedOutputOf(other);
    if (dated.name == nullptr) continue;
    const OutputNameParts other_cut =
        SplitOutputName(*dated.name, dated.stack ? kStackStemLength : std::string::npos);
    if (other_cut.directory != cut.directory || other_cut.stem != cut.stem) continue;
    // Same dated name; only a different output (another whole stem) is a collision.
    if (!dated.stack || SplitOutputName(*dated.name).stem != whole.stem) return std::string::npos;
  }
  return kStackStemLength;
}

double** DecompositionOwnerGrid(modelobject& object) {
  if (object.owner_grid == nullptr && object.registry != nullptr) {
    if (const int regions = object.FindGrid("MPIRegions", 1); regions > 0) {
      object.owner_grid = (*object.registry)[regions].grid;
      object.strip_table = (*object.registry)[object.RequireGrid("MPIHelper")].grid;
    }
  }
  if (object.owner_grid != nullptr) return object.owner_grid;
  if (object.mpi != nullptr && object.mpi->regions) return object.mpi->regions.get();
  return nullptr;
}

// ---- modelobject::WriteGridOutput ------------------------------------------------------------

namespace {

// One output call on one entry: the cells it may touch and how its grids are written.
struct EntryOutput {
  modelobject& object;
  GridEntry& entry;
  double** reference;  // grid of entry 1; a cell whose value is not above nodata is no domain
  double** owner;      // owner grid in mpiMode (cells of other processes are skipped), or null
  bool gather;         // mpiMode with two or more processes: grids go to process 0 first
  OutputCalendar calendar;
  int32_t block_rows;  // rows per gathered block (0: the stream's default)

  // Calls fn(row, col, valid) for every cell within the column ranges of the entry's rows.
  template <class Fn>
  void ForEachCell(Fn&& fn) const {
    for (int64_t row = std::max<int64_t>(entry.first_row, 1);
         row <= std::min<int64_t>(entry.last_row, object.nrows); ++row) {
      if (entry.grid[row] == nullptr) continue;
      int64_t first = 1;
      int64_t last = object.ncols;
      if (object.column_ranges != nullptr) {
        first = object.column_ranges[row].first;
        last = object.column_ranges[row].last;
      }
      const double* ref = reference != nullptr ? reference[row] : nullptr;
      const double* own = owner != nullptr ? owner[row] : nullptr;
      for (int64_t col = std::max<int64_t>(first, 1); col <= last; ++col) {
        bool valid = reference == nullptr || (ref != nullptr && ref[col] > object.nodata);
        if (owner != nullptr) valid = valid && own != nullptr && own[col] == object.rank;
        fn(row, col, valid);
      }
    }
  }

  // How process 0 gets the rows it writes: gathered from all processes, or on a single process
  // copied with nodata outside its region (unless the grid holds nodata there already), so that
  // no file depends on the number of processes; else the grid as it is.
  GridRowStream::Form FormOf(double** grid) const {
    if (gather) return GridRowStream::Form::kGathered;
    if (owner == nullptr || object.size > 1 || NodataOutsideRegion(grid))
      return GridRowStream::Form::kAsItIs;
    return GridRowStream::Form::kOwnCells;
  }
  bool Own(double** grid, int64_t row, int64_t col) const {
    return grid[row] != nullptr && owner[row] != nullptr && owner[row][col] == object.rank;
  }
  bool NodataOutsideRegion(double** grid) const {
    for (int64_t row = 1; row <= object.nrows; ++row)
      for (int64_t col = 1; col <= object.ncols; ++col)
        if (!Own(grid, row, col) && (grid[row] == nullptr || grid[row][col] != object.nodata))
          return false;
    return true;
  }

  // Writes a grid (or, masked, a companion) on process 0; gathered or copied rows are streamed
  // to the writer by blocks of rows, a grid written as it is goes to WriteGrid(Masked).
  void Write(const std::string& name, double** grid, bool masked) const {
    const GridRowStream::Form form = FormOf(grid);
    if (form == GridRowStream::Form::kAsItIs) {
      if (object.rank != 0) return;
      if (masked)
        object.WriteGridMasked(name, grid, object.write_ascii, object.write_double,
                               object.write_netcdf);
      else
        object.WriteGrid(name, grid, object.write_ascii, object.write_double, object.write_netcdf);
      return;
    }
    GridRowStream rows(*object.diag, form, object.mpi, grid, owner, object.rank, object.nrows,
                       object.ncols, object.nodata, block_rows);
    if (object.rank != 0) return;
    object.WriteGridRows(
        name, [&rows](int32_t row) { return rows.Row(row); }, grid, object.write_ascii,
        object.write_double, object.write_netcdf, masked);
    rows.Finish();
  }
};

// Level 1 of a stack entry refreshes its grid.
void TakeStackLevel(const EntryOutput& out) {
  GridEntry& e = out.entry;
  if (e.stack == nullptr || e.stack_flag != 0 || e.level_count < 1) return;
  out.ForEachCell([&](int64_t row, int64_t col, bool valid) {
    if (valid && e.stack[row] != nullptr) e.grid[row][col] = e.stack[row][col][1];
  });
}

// Period sum: a cell whose grid holds nodata in any call of the period has no sum for it.
void AccumulatePeriod(const EntryOutput& out) {
  GridEntry& e = out.entry;
  const double nodata = out.object.nodata;
  out.ForEachCell([&](int64_t row, int64_t col, bool valid) {
    double& sum = e.period_grid[row][col];
    const double value = e.grid[row][col];
    if (!valid || IsNodata(value, nodata) || IsNodata(sum, nodata))
      sum = nodata;
    else
      sum += value;
  });
}

// Minimum and maximum over the calls; nodata values of the grid are left out.
void UpdateExtremes(const EntryOutput& out) {
  GridEntry& e = out.entry;
  const double nodata = out.object.nodata;
  const bool first = e.extremes_initialised == 0;
  auto update = [&](GridMatrix& companion, bool minimum) {
    out.ForEachCell([&](int64_t row, int64_t col, bool valid) {
      double& extreme = companion[row][col];
      const double value = e.grid[row][col];
      if (first) {
        extreme = valid ? value : nodata;
      } else if (valid && !IsNodata(value, nodata)) {
        if (IsNodata(extreme, nodata) || (minimum ? value < extreme : value > extreme))
          extreme = value;
      }
    });
  };
  if (e.minimum_flag != 0) update(e.minimum_grid, true);
  if (e.maximum_flag != 0) update(e.maximum_grid, false);
  e.extremes_initialised = 1;
}

// Vegetation-period sum or mean: accumulated on the days of the period, written and restarted
// when the land-use parameters flag it.
void UpdateVegetationPeriod(const EntryOutput& out) {
  GridEntry& e = out.entry;
  modelobject& object = out.object;
  const double nodata = object.nodata;
  if (!e.vegetation_grids_found) {
    const std::string suffix = VegetationGridSuffix(e.first_file_name.value_or(""));
    e.vegetation_start = (*object.registry)[object.RequireGrid("VegetationStart" + suffix)].grid;
    e.vegetation_stop = (*object.registry)[object.RequireGrid("VegetationStop" + suffix)].grid;
    e.vegetation_duration =
        (*object.registry)[object.RequireGrid("VegetationDuration" + suffix)].grid;
    e.vegetation_grids_found = true;
  }
  out.ForEachCell([&](int64_t row, int64_t col, bool valid) {
    if (!valid || e.vegetation_start[row] == nullptr || e.vegetation_stop[row] == nullptr) return;
    const double value = e.grid[row][col];
    if (e.vegetation_start[row][col] >= 0 && e.vegetation_stop[row][col] <= 0 &&
        !IsNodata(value, nodata))
      e.vegetation_grid[row][col] += value;
  });
  if (e.vegetation_period_end == 1) {
    e.vegetation_period_end = 0;
    if (e.thousands_digit == 2) {
      out.ForEachCell([&](int64_t row, int64_t col, bool valid) {
        if (!valid || e.vegetation_duration[row] == nullptr) return;
        const double days = e.vegetation_duration[row][col];
        double& value = e.vegetation_grid[row][col];
        value = days > 0 ? value / days : nodata;  // no period, no mean
      });
    }
    out.Write(
        VegetationOutputName(e.vegetation_file_name, e.thousands_digit, object.step_date.year),
        e.vegetation_grid.get(), true);
  }
  if (e.vegetation_period_restart == 1) {
    out.ForEachCell([&](int64_t row, int64_t col, bool valid) {
      e.vegetation_grid[row][col] = valid ? 0.0 : nodata;
    });
    e.vegetation_period_restart = 0;
  }
}

// The grid itself, by the units digit.
void WriteEntryGrid(const EntryOutput& out) {
  GridEntry& e = out.entry;
  const ModelDate& date = out.object.step_date;
  const bool due = GridDue(e.units_digit, out.calendar);
  const bool again = GridRewrittenAtRunEnd(e.units_digit) && out.calendar.run_end;
  if (!due && !again) return;
  const std::string output_name = e.first_file_name.value_or(e.file_name.value_or(""));
  std::string name = output_name;
  if (due) {
    switch (GridNameKindOf(e.units_digit)) {
      case GridNameKind::kFilledName:
        name = FilledOutputName(output_name);
        break;
      case GridNameKind::kDatedName:
        name = DatedOutputName(SplitOutputName(output_name), date, NextSameDateCounter(e, date));
        break;
      case GridNameKind::kOutputName:
        break;
    }
  }
  // Written twice at the end of the run: the rows are streamed (and gathered) once per file.
  if (due) out.Write(name, e.grid, false);
  if (again) out.Write(output_name, e.grid, false);
}

// Minimum and maximum at the end of the run.
void WriteExtremes(const EntryOutput& out) {
  GridEntry& e = out.entry;
  if (!out.calendar.run_end) return;
  if (e.minimum_flag != 0)
    out.Write(MinimumOutputName(e.minimum_file_name), e.minimum_grid.get(), true);
  if (e.maximum_flag != 0)
    out.Write(MaximumOutputName(e.maximum_file_name), e.maximum_grid.get(), true);
}

void RestartPeriod(const EntryOutput& out) {
  GridEntry& e = out.entry;
  out.ForEachCell([&](int64_t row, int64_t col, bool valid) {
    if (valid) e.period_grid[row][col] = 0.0;
  });
}

// The period companion at the end of its period, then restarted. The whole-run companion is
// written by the first call that reaches the end of the run only: a later call in the same last
// step would otherwise replace the run's sum by that one call's value.
void WritePeriod(const EntryOutput& out) {
  GridEntry& e = out.entry;
  if (!PeriodDue(e.tens_digit, out.calendar)) return;
  const bool run = PeriodIsRun(e.tens_digit);
  if (run && e.run_period_written) return;
  const double nodata = out.object.nodata;
  if (PeriodIsMean(e.tens_digit)) {
    out.ForEachCell([&](int64_t row, int64_t col, bool valid) {
      double& value = e.period_grid[row][col];
      if (valid && !IsNodata(value, nodata)) value /= e.call_counter;
    });
  }
  out.Write(PeriodOutputName(e.period_file_name, e.tens_digit, out.object.step_date),
            e.period_grid.get(), true);
  e.call_counter = 0;
  RestartPeriod(out);
  if (run) e.run_period_written = true;
}

}  // namespace

void modelobject::WriteGridOutput(int index, int mpiMode, bool gridOnly) {
  if (index < 1 || index > kRefusedGridIndex || registry == nullptr) return;
  GridEntry& entry = (*registry)[index];
  if (entry.units_digit == 0 && entry.tens_digit == 0 && entry.minimum_flag == 0 &&
      entry.maximum_flag == 0 && entry.thousands_digit == 0)
    return;
  if (entry.grid == nullptr) return;
  double** owner = DecompositionOwnerGrid(*this);
  const EntryOutput out{*this,
                        entry,
                        (*registry)[1].grid,
                        mpiMode != 0 ? owner : nullptr,
                        mpiMode != 0 && size >= 2,
                        OutputCalendarOf(step_date, end_key, GetTimeShiftHours()),
                        output_block_rows};

  // Calls after the run's sum or mean was written belong to no period that is ever written; a
  // new pass over the time range (spin-up) starts that sum afresh.
  const bool new_pass = !out.calendar.run_end && entry.run_period_written;
  if (new_pass) {
    entry.run_period_written = false;
    if (PeriodIsRun(entry.tens_digit)) {
      entry.call_counter = 0;
      RestartPeriod(out);
    }
  }
  entry.call_counter += 1;

  TakeStackLevel(out);
  if (entry.tens_digit != 0) AccumulatePeriod(out);
  if (entry.minimum_flag != 0 || entry.maximum_flag != 0) UpdateExtremes(out);
  if (entry.thousands_digit != 0) UpdateVegetationPeriod(out);
  WriteEntryGrid(out);
  if (gridOnly) return;
  WriteExtremes(out);
  WritePeriod(out);
}

}  // namespace velorn
