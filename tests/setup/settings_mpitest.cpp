// The settings of one control file read on every process: the same settings whatever the
// number of processes, and the collective grid maximum over the processes' own rows.
#include <gtest/gtest.h>
#include <mpi.h>

#include <cstdio>
#include <sstream>

#include "setup/defaultini.h"
#include "setup/tracer_definitions.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

const char* const kControlFile =
    "# a run with every global section of the settings object\n"
    "$set $dir = /data/run/\n"
    "$set $start_year = 2003\n"
    "[output_interval]\n"
    "24 output control\n"
    "1 no-station warning\n"
    "0 third value\n"
    "1440 min_to_int_end\n"
    "WriteAsciiGrids = 1\n"
    "WriteNetcdfGrids = 1\n"
    "InitialStateDirectory = $dir//state/\n"
    "DefaultOutputDirectory = $dir//out/\n"
    "\n"
    "[output_list]\n2\n11\n12\n"
    "[coordinates]\n47.5\n8.25\n15\n1\n"
    "[meteo_data_count]\n2\n"
    "[meteo_names]\ntemperature\nprecipitation\n"
    "[soil_surface_groundwater_substeps]\n3\n"
    "[model_time]\n24\n29\n2\n$start_year\n24\n29\n2\n2004\n"
    "[radiation_correction]\n1\n"
    "[irrigation]\n1\n"
    "[irrigation_table]\n2\n"
    "1 maize 2 2 20 5 starting from 5 1 with 10 mm to 5 21 with 20 mm every 10 days\n"
    "2 grass 4 1 0.7\n"
    "[substance_transport]\n2 tracers\n"
    "NO3 non_radioactive evaporating min_conc = 0 max_conc = 50 mg/l soilini = 1 gwini = 2 "
    "statcode = 5 gridcode = 1 path = $dir statext = .sta gridext = .grd\n"
    "H3 radioactive half_time = 4500 d non_evaporating min_conc = 0 max_conc = 1 kg/kg soilini = 0 "
    "gwini = 0 statcode = 6 gridcode = 2 path = $dir statext = .s gridext = .g\n";

std::string Number(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

std::string Describe(const ModelDate& date) {
  return std::to_string(date.year) + "-" + std::to_string(date.month) + "-" +
         std::to_string(date.day) + " " + std::to_string(date.hour);
}

// Every value of the hand-out, the irrigation table and the tracers as one text.
std::string Describe(const ModelSettings& s, int32_t substeps, int32_t radiation,
                     int32_t tracer_count, const TracerDefinition* tracers) {
  std::ostringstream out;
  out << s.compiled_control_file_name << '|' << s.output_control << '|' << s.no_station_warning
      << '|' << s.third_output_value << '|' << Number(s.min_to_int_end) << '|' << s.meteo_count
      << '|' << Number(s.latitude) << '|' << Number(s.longitude) << '|'
      << Number(s.reference_meridian) << '|' << Number(s.time_shift) << '|';
  for (const std::string& name : s.meteo_names) out << name << ',';
  out << '|' << s.output_list_count << ':';
  for (int i = 1; i <= s.output_list_count; ++i) out << s.output_list_codes[i] << ',';
  out << '|' << Describe(s.start_date) << '|' << Describe(s.end_date) << '|' << s.write_ascii
      << s.write_double << s.write_netcdf << '|' << s.initial_state_directory << '|'
      << s.default_output_directory << '|' << substeps << '|' << radiation << '|';
  if (s.irrigation_table != nullptr) {
    for (const IrrigationRecord& r : s.irrigation_table->records) {
      out << r.code << ' ' << r.name << ' ' << r.method << ' ' << r.origin << ' '
          << Number(r.psi_dry) << ' ' << Number(r.psi_wet) << ' ' << Number(r.min_etr_etp);
      for (int32_t i = 1; i <= r.table_count; ++i)
        out << ' ' << r.months[i] << '/' << r.days[i] << '=' << Number(r.amounts[i]);
      out << ';';
    }
  }
  out << '|' << tracer_count << ':';
  for (int32_t i = 1; i <= tracer_count; ++i) {
    const TracerDefinition& t = tracers[i];
    out << t.name << ' ' << t.radioactive << ' ' << t.evaporating << ' ' << Number(t.min_conc)
        << ' ' << Number(t.max_conc) << ' ' << Number(t.half_time) << ' ' << Number(t.gwini) << ' '
        << Number(t.soilini) << ' ' << t.path << ' ' << t.statext << ' ' << t.gridext << ' '
        << t.statcode << ' ' << t.gridcode << ';';
  }
  return out.str();
}

TEST(SettingsOnEveryProcess, OneControlFileGivesTheSameSettings) {
  test::CapturedDiag d(test::TempDir::Shared());
  const int rank = test::Rank();
  const std::string control = d.dir / "run.ctl";
  if (rank == 0) test::WriteFile(control, kControlFile);
  MPI_Barrier(MPI_COMM_WORLD);

  GridRegistry registry;
  GridRegistry* registry_pointer = &registry;
  int32_t error = -1;
  defaultini settings(error, &d.diag, control, nullptr, 200, 2, &registry_pointer);
  ASSERT_EQ(error, 0);

  std::string compiled;
  settings.CompileControlFileSymbols(control, compiled);
  settings.ReadOutputSettings(compiled);
  settings.control_file = std::make_unique<ControlFileReader>();
  ASSERT_TRUE(settings.control_file->Open(compiled));
  settings.ReadModelTime();
  settings.ReadIrrigationSections(settings.model_variant);
  settings.ReadRadiationCorrectionSwitch();
  settings.control_file.reset();
  const int32_t substeps = settings.ReadSoilSurfaceGroundwaterSubsteps();

  int32_t tracer_count = 0;
  TracerDefinition* tracers = nullptr;
  tracer_ini_class tracer_reader(error, &d.diag, compiled, 0, tracer_count, tracers, false, false,
                                 false, "", "", nullptr, 0, nullptr);
  EXPECT_EQ(error, 0) << d.screen.str();  // no ASSERT: the comparison below is collective

  ModelSettings handed;
  settings.GetModelSettings(handed);
  const std::string mine =
      Describe(handed, substeps, settings.radiation_correction_switch, tracer_count, tracers);
  EXPECT_EQ(mine, test::BroadcastString(mine));

  // The values themselves, on every process.
  EXPECT_EQ(handed.compiled_control_file_name, control + ".$$$");
  EXPECT_EQ(handed.output_control, 24);
  EXPECT_EQ(handed.no_station_warning, 1);
  EXPECT_DOUBLE_EQ(handed.min_to_int_end, 1440);
  EXPECT_TRUE(handed.write_ascii);
  EXPECT_TRUE(handed.write_netcdf);
  EXPECT_EQ(handed.initial_state_directory, "/data/run/state/");
  EXPECT_EQ(handed.default_output_directory, "/data/run/out/");
  EXPECT_EQ(handed.output_list_count, 2);
  EXPECT_EQ(handed.output_list_codes[2], 12);
  EXPECT_EQ(handed.meteo_names, (std::vector<std::string>{"", "temperature", "precipitation"}));
  EXPECT_DOUBLE_EQ(handed.reference_meridian, 15);
  // 29 February: kept in the leap end year, the 28th in the common start year.
  EXPECT_EQ(handed.start_date, (ModelDate{2003, 2, 28, 24}));
  EXPECT_EQ(handed.end_date, (ModelDate{2004, 2, 29, 24}));
  EXPECT_EQ(substeps, 3);
  EXPECT_EQ(settings.radiation_correction_switch, 1);
  ASSERT_NE(handed.irrigation_table, nullptr);
  const IrrigationRecord& maize = handed.irrigation_table->records[1];
  EXPECT_EQ(maize.table_count, 3);
  EXPECT_EQ(maize.days[3], 21);
  EXPECT_DOUBLE_EQ(maize.amounts[2], 15);
  EXPECT_DOUBLE_EQ(handed.irrigation_table->records[2].min_etr_etp, 0.7);
  ASSERT_EQ(tracer_count, 2);
  EXPECT_EQ(tracers[2].name, "h3_");
  EXPECT_DOUBLE_EQ(tracers[2].half_time, 4500);
  EXPECT_EQ(tracers[1].path, "/data/run/");

  tracer_reader.ReleaseMemory();
  settings.ReleaseMemory();
}

// Own rows of `rank` when `nrows` rows are split into blocks over `size` processes.
std::pair<int32_t, int32_t> OwnRows(int rank, int size, int32_t nrows) {
  return {static_cast<int32_t>(rank * nrows / size + 1),
          static_cast<int32_t>((rank + 1) * nrows / size)};
}

TEST(SettingsOnEveryProcess, GridMaximumOverAllProcesses) {
  const int rank = test::Rank();
  const int size = test::Size();
  test::CapturedDiag d;
  GridRegistry registry;
  GridRegistry* registry_pointer = &registry;
  int32_t error = -1;
  defaultini settings(error, &d.diag, "run.ctl", nullptr, 200, 2, &registry_pointer);
  ASSERT_EQ(error, 0);

  const int32_t nrows = 7;
  const int32_t ncols = 5;
  settings.ncols = ncols;
  settings.nrows = nrows;
  settings.nodata = -9999;
  const auto [first, last] = OwnRows(rank, size, nrows);
  settings.first_local_row = first;
  settings.last_local_row = last;
  // Zone cells in columns 2..4 of every row; the last row holds the greatest zone value.
  std::vector<ColumnRange> ranges(nrows + 1);
  for (int32_t row = 1; row <= nrows; ++row) ranges[row] = {2, 4};
  settings.column_ranges = ranges.data();
  const int32_t held_first = first > 1 ? first - 1 : first;
  const int32_t held_last = last < nrows ? last + 1 : last;
  GridMatrix grid(d.diag, held_first, held_last, ncols, nrows);
  for (int32_t row = held_first; row <= held_last; ++row) {
    for (int32_t col = 1; col <= ncols; ++col) grid[row][col] = row * 10.0 + col;
    grid[row][1] = 1000;  // outside the zone cells
  }
  settings.RegisterGrid(2, "dem.asc", grid.get(), nullptr, 0, "[elevation_model]", 0, held_first,
                        held_last);
  EXPECT_DOUBLE_EQ(settings.GlobalGridMaximum(2), 74);

  for (int32_t row = held_first; row <= held_last; ++row)
    for (int32_t col = 1; col <= ncols; ++col) grid[row][col] = -9999;
  EXPECT_DOUBLE_EQ(settings.GlobalGridMaximum(2), -9999);
  settings.UnregisterGrid(2);
}

}  // namespace
}  // namespace velorn
