// Variable grids of [variable_grids]: read from a file or preset with a default value in the
// zone cells, registered after the standard grids and handed to the grid output every step.
#include <algorithm>
#include <string>

#include "core/control_file_reader.h"
#include "core/nodata.h"
#include "core/row_loop.h"
#include "core/string_helpers.h"
#include "setup/defaultini.h"

namespace velorn {

int32_t defaultini::ReadVariableGrids() {
  ControlFileReader file;
  if (!file.Open(control_file_name, &Diag()))
    ThrowFatal(Diag(), kControlFileOpenCode, "FATAL: error opening ", control_file_name);
  if (!file.FindHeader("[variable_grids]")) ReportControlFileError("[variable_grids]", "(EOF)");
  int count = 0;
  ReadValue(file, count, " number of variable grids ");
  if (count < 1) return 0;

  const int first_free = registry->FirstFreeIndex();
  if (first_free + count - 1 > kLastGridIndex)
    ThrowFatal(Diag(), kRegistryFullCode, "FATAL: no free grid found in memory (an Position ",
               kRefusedGridIndex, ")\n");
  first_variable_entry = first_free;
  variable_read_codes.assign(static_cast<std::size_t>(count) + 1, 0);
  const HeldRows held = LocalRowRange();
  for (int k = 1; k <= count; ++k) {
    std::string file_name;
    std::string identifier;
    int fill_code = 0;
    double default_value = 0;
    const bool complete = file.Read(file_name) && file.Read(identifier) && file.Read(fill_code) &&
                          file.Read(default_value);
    if (!complete)
      ReportControlFileError(
          FormatText("\nfile for vargrid %d or the identifier or the fillcode or the "
                     "defaultvalue (which is new in version 7.7) in ",
                     k),
          module_name);
    file.SkipRestOfLine();
    int write_code = 0;
    int read_code = 0;
    ReadValue(file, write_code, "Writegrid for a variable grid ");
    ReadValue(file, read_code, "Readgrid for a variable grid ");
    variable_read_codes[static_cast<std::size_t>(k)] = read_code;

    // The entries follow the grids registered so far without a gap, so the first free entry
    // and the grid counter name the same place.
    const int index = first_free + k - 1;
    double** grid = nullptr;
    if (read_code == 1) {
      ReadGrid(file_name, grid, fill_code, true, true, false, 1, false, true, default_value);
    } else {
      GridMatrix preset(Diag(), held.first, held.last, ncols, nrows);
      double** zone = (*registry)[1].grid;
      ForEachRow(held.first, held.last, [&](long r) {
        for (int32_t c = 1; c <= ncols; ++c)
          preset[r][c] = IsAboveNodata(zone[r][c], nodata) ? default_value : nodata;
      });
      grid = preset.release();
    }
    RegisterGrid(index, file_name, grid, nullptr, 0, identifier, write_code, held.first, held.last);
    if (identifier == "soil_storage") soil_storage_grid = grid;
  }
  file.Close();
  registered_grid_count = std::max(registered_grid_count + count, first_free + count - 3);
  return count;
}

void defaultini::WriteVariableGrids(int64_t hour, int64_t day, int64_t month, int64_t year) {
  step_date = ModelDate{year, month, day, hour};
  if (first_variable_entry <= 0) return;
  const int last = std::min<int>(
      first_variable_entry + static_cast<int>(variable_read_codes.size()) - 2, kLastGridIndex);
  for (int entry = first_variable_entry; entry <= last; ++entry) WriteGridOutput(entry, 1, false);
}

}  // namespace velorn
