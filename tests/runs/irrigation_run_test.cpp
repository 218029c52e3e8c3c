// Whole runs of the example's irrigation variant (examples/front-range/front-range-irrigation.ctl:
// meadows irrigated from the rivers, discharge routing on), July with two tracers: the outputs
// are the same on 1, 2 and 3 processes. A malformed [irrigation] section and irrigation without
// routing end in their FATAL entry and code.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/support/test_files.h"
#include "tests/support/velorn_runner.h"
#include "tests/support/water_balance_table.h"

namespace velorn::test {
namespace {

namespace fs = std::filesystem;

const char* const kControlFile = "front-range-irrigation.ctl";
const std::string kStart = "0          # start: hour, day, month, year\n1\n1\n2019\n";
const std::string kEnd =
    "0          # end: hour, day, month, year (the last daily step, 31 December 2019)\n31\n12\n";

RunResult RunVariant(const TempDir& dir, int processes,
                     const std::vector<std::pair<std::string, std::string>>& edits) {
  CopyExample(dir.path());
  for (const char* file : {kControlFile, "irrigation.asc"})
    fs::copy_file(ExampleDir() / file, dir / file, fs::copy_options::overwrite_existing);
  WriteFile(dir / "MpiSpeedFactor.dat", "1.0\n");
  const std::string path = dir / kControlFile;
  std::string text = ReadFile(path);
  for (const auto& [from, to] : edits) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << "no \"" << from << "\" in " << kControlFile;
    if (at != std::string::npos) text.replace(at, from.size(), to);
  }
  WriteFile(path, text);
  RunOptions options;
  options.processes = processes;
  options.directory = dir.path().string();
  options.environment = {processes == 1 ? "OMP_NUM_THREADS=2" : "OMP_NUM_THREADS=1"};
  return RunVelorn(options, {kControlFile});
}

// July, with two tracers: "con" at 10 in the rain, "eva" at 10 in the soil water (the river
// water the meadows get carries both; on 3 processes the snow cover's "con" came out as -7.9e-19
// for 0 while the runoff's sums depended on the split of the cells).
const std::string kTracer =
    " non_radioactive min_conc = 0 max_conc = 1000 mg/l statcode = 2001 gridcode = 3 "
    "path = ./ statext = sta gridext = asc";
const std::vector<std::pair<std::string, std::string>> kSummer = {
    {kStart, "0          # start\n1\n7\n2019\n"},
    {kEnd, "0\n31\n7\n"},
    {"[variable_grids]\n0",
     "[variable_grids]\n2\ncin concflux_tracer_1_input 0 10\n0\n0\n"
     "ein concflux_tracer_2_input 0 0\n0\n0"},
    {"0          # no solute tracers", "2\ncon non_evaporating soilini = 0 gwini = 0" + kTracer +
                                           "\neva evaporating soilini = 10 gwini = 10" + kTracer}};

TEST(IrrigationRun, JulyIsTheSameOnOneTwoAndThreeProcesses) {
  std::map<std::string, std::string> first;
  for (const int processes : {1, 2, 3}) {
    SCOPED_TRACE("processes " + std::to_string(processes));
    TempDir dir;
    const RunResult result = RunVariant(dir, processes, kSummer);
    ASSERT_EQ(result.exit_status, 0) << result.Describe();
    const auto outputs = OutputFiles(dir.path() / "output");
    ASSERT_TRUE(outputs.count("irr_sw.stat") && outputs.count("ditch.txt") &&
                outputs.count("consnow_.sta"));
    if (processes == 1) {
      first = outputs;
      // The account closes with the irrigation water, which reaches the cells with the
      // precipitation.
      ASSERT_TRUE(outputs.count("water_balance.txt"));
      for (const AccountRow& row : ReadAccount(outputs.at("water_balance.txt")))
        EXPECT_TRUE(Closes(row.residual, row.precipitation)) << row.subbasin << " " << row.residual;
      continue;
    }
    // Files of one process each (the decomposition, the soil zone's storage content) differ.
    auto per_process = [](const std::string& name) {
      return name.rfind("MPIRegions", 0) == 0 || name.rfind("soilstorage_", 0) == 0;
    };
    for (const auto& [name, text] : first) {
      if (!per_process(name)) {
        EXPECT_TRUE(outputs.count(name) && text == outputs.at(name)) << name;
      }
    }
  }
  // The meadows dry out twice in July: some subbasin is irrigated on some day (rows after the
  // three header lines; a value other than 0.0000).
  const std::string& table = first.at("irr_sw.stat");
  const std::size_t rows = table.find('\n', table.find('\n', table.find('\n') + 1) + 1);
  EXPECT_NE(table.find_first_of("123456789", rows), std::string::npos) << table;
}

TEST(IrrigationRun, MalformedSectionOrNoRoutingEndInTheirFatal) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> edits;
    int code;
    const char* text;
  } cases[] = {
      {"statistics line without its code",
       {{"irr_gw.stat 2001   # amounts", "irr_gw.stat"}},
       17,
       "Name des GWSTANDstatfiles fuer"},
      {"routing off",
       {{"[routing_model]\n1          # on", "[routing_model]\n0          # off"}},
       60,
       "(Adress of array maxirrig[] is NULL"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const RunResult result = RunVariant(dir, 1, c.edits);
    EXPECT_EQ(result.exit_status, c.code & 0xff) << result.Describe();
    EXPECT_NE(result.diag.find(c.text), std::string::npos) << result.diag;
  }
}

}  // namespace
}  // namespace velorn::test
