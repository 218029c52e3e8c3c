// Whole runs of the shipped example basin (examples/front-range/) as scripts/run-example runs
// it: the year as shipped (degree-day snow) and three variants of January to March (Hamon
// instead of Penman-Monteith, snow by its energy balance, interception before snow) on
// 1 process with 2 threads and on 2 and 3 processes. Every output file must be the same on every
// process count and equal to the reviewed files in tests/runs/expected/front-range/<variant>/
// (MPIRegions_0, which describes the decomposition itself, is left out). VELORN_UPDATE_EXPECTED=1
// writes the outputs of one process there instead, for a deliberate change of the results, to be
// reviewed. A malformed copy of each kind of input (a control-file section, a grid, a station
// table) must end in its FATAL entry and code, with a valid diagnostics file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "tests/support/test_files.h"
#include "tests/support/velorn_runner.h"

namespace velorn::test {
namespace {

namespace fs = std::filesystem;

// Replaces `from` by `to` in an input file of the example copy; the text must be there, so a
// change of the example shows up here instead of a variant that silently runs the original.
struct Edit {
  const char* file;
  std::string from;
  std::string to;
};

void ApplyEdits(const fs::path& dir, const std::vector<Edit>& edits) {
  for (const Edit& edit : edits) {
    const std::string path = (dir / edit.file).string();
    std::string text = ReadFile(path);
    const std::size_t at = text.find(edit.from);
    ASSERT_NE(at, std::string::npos) << edit.file << " holds no \"" << edit.from << "\"";
    text.replace(at, edit.from.size(), edit.to);
    WriteFile(path, text);
  }
}

RunResult RunExample(const TempDir& dir, int processes, const std::vector<Edit>& edits) {
  CopyExample(dir.path());
  WriteFile(dir / "MpiSpeedFactor.dat", "1.0\n");
  ApplyEdits(dir.path(), edits);
  RunOptions options;
  options.processes = processes;
  options.directory = dir.path().string();
  // Two threads on one process; one thread per process otherwise: threads that spin-wait
  // beside busy-polling MPI processes make a run many times slower on a shared machine.
  options.environment = {processes == 1 ? "OMP_NUM_THREADS=2" : "OMP_NUM_THREADS=1"};
  return RunVelorn(options, {"front-range.ctl"});
}

std::vector<std::string> Names(const std::map<std::string, std::string>& files) {
  std::vector<std::string> names;
  for (const auto& [name, text] : files) names.push_back(name);
  return names;
}

const std::string kModelEnd =
    "0          # end: hour, day, month, year (the last daily step, 31 December 2019)\n31\n12\n";
const std::string kDegreeDay = "1          # method 1: degree-day (temperature index)";
const std::string kColdStart =
    "0          # the pack starts empty (1: read from the storage grids above)\n";
// The lines of the energy-balance methods after the storage switch.
const std::string kEnergyBalanceLines =
    "snowtemp.asc\n0\nsnowtemp.stat 2001\nsurftemp.asc\n0\nsurftemp.stat 2001\n"
    "inputmass.asc\n0\ninputmass.stat 0\nmobilemass.asc\n0\nmobilemass.stat 0\n"
    "deposition.asc\n0\ndeposition.stat 0\n55\n1\n30\n0.01\n1\n1\n1.0\n";
const std::string kInterceptionMethod =
    "2          # method: evaporation at the potential interception evaporation, the potential\n"
    "           # transpiration reduced by the same amount";
const std::string kPenmanMonteith =
    "1          # method 1: Penman-Monteith per vegetation layer, day and night apart";

TEST(ExampleRun, OutputsAreTheSameOnOneTwoAndThreeProcessesAndAsReviewed) {
  struct Variant {
    const char* name;
    std::vector<Edit> edits;
  };
  const Variant variants[] = {
      {"year", {}},
      {"hamon-quarter",
       {{"front-range.ctl", kModelEnd, "0\n31\n3\n"},
        {"front-range.ctl", kPenmanMonteith, "2          # method 2: Hamon"}}},
      // Snow by its energy balance, January to March.
      {"energy-balance-quarter",
       {{"front-range.ctl", kModelEnd, "0\n31\n3\n"},
        {"front-range.ctl", kDegreeDay, "5"},
        {"front-range.ctl", kColdStart, kColdStart + kEnergyBalanceLines}}},
      // Interception before snow (method 12): the snow model takes the throughfall.
      {"interception-before-snow-quarter",
       {{"front-range.ctl", kModelEnd, "0\n31\n3\n"},
        {"front-range.ctl", kInterceptionMethod, "12"}}},
  };
  const bool update = std::getenv("VELORN_UPDATE_EXPECTED") != nullptr;
  for (const Variant& variant : variants) {
    SCOPED_TRACE(variant.name);
    const fs::path expected_dir =
        ExampleDir().parent_path().parent_path() / "tests/runs/expected/front-range" / variant.name;
    std::map<std::string, std::string> first;
    for (const int processes : {1, 2, 3}) {
      SCOPED_TRACE("processes " + std::to_string(processes));
      TempDir dir;
      const RunResult result = RunExample(dir, processes, variant.edits);
      ASSERT_EQ(result.exit_status, 0) << result.Describe();
      ASSERT_NE(result.diag.find(DiagnosticsLine(4, "reached end of simulation sucessfully")),
                std::string::npos);
      const auto outputs = OutputFiles(dir.path() / "output");
      if (processes == 1) {
        first = outputs;
        continue;
      }
      ASSERT_EQ(Names(outputs), Names(first));
      for (const auto& [name, text] : outputs) EXPECT_TRUE(text == first.at(name)) << name;
    }
    if (update) {
      fs::remove_all(expected_dir);
      fs::create_directories(expected_dir);
      for (const auto& [name, text] : first) WriteFile((expected_dir / name).string(), text);
      std::cout << "wrote " << expected_dir.string() << "\n";
      continue;
    }
    const auto expected = OutputFiles(expected_dir);
    ASSERT_EQ(Names(first), Names(expected));
    for (const auto& [name, text] : first) {
      EXPECT_TRUE(text == expected.at(name)) << name << " differs from " << expected_dir.string();
    }
  }
}

TEST(ExampleRun, MalformedInputsEndInTheirFatalEntryAndCode) {
  struct Case {
    const char* name;
    Edit edit;
    const char* entry;  // description of the FATAL entry in the diagnostics file
    int code;
  };
  const Case cases[] = {
      {"control-file section short of values",
       {"front-range.ctl", "1.10       # KS: snow factor at calm\n", ""},
       "error in control file, Anstieg Schnee fuer ; precipitation_correctionnot found!",
       17},
      {"grid header with more rows than the file",
       {"dem.asc", "nrows\t49", "nrows\t60"},
       "error reading ascii grid dem.asc in ASCII-Format in row 50, col 1",
       22},
      {"station table without the x coordinates",
       {"stations/temperature.txt", "station x in m 7999.0", "station x in m"},
       "station file ./stations/temperature.txt of temperature: lines 2 to 4 must hold 4 "
       "leading columns and the altitude, x and y of every station",
       1051},
      {"station record short of a value",
       {"stations/precipitation.txt", "2019 01 26 00 4.1", "2019 01 26 00"},
       "record 2019 1 26 0 in ./stations/precipitation.txt holds fewer than 1 station values",
       1051},
  };
  const auto schema = RefData("pi-diag-schema/pi_diag.xsd");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const RunResult result = RunExample(dir, 2, {c.edit});
    EXPECT_EQ(result.exit_status, c.code & 0xff) << result.Describe();
    EXPECT_NE(result.diag.find(DiagnosticsLine(0, c.entry)), std::string::npos) << result.diag;
    EXPECT_NE(result.diag.find(DiagnosticsLine(
                  0, "Exception " + std::to_string(c.code) + " caught at top level!")),
              std::string::npos)
        << result.diag;
    if (schema) {
      EXPECT_EQ(ValidateDiagnostics((dir.path() / "Velorn_Diag_0.xml").string(), *schema), "");
    }
  }
}

}  // namespace
}  // namespace velorn::test
