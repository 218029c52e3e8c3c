// Whole runs of the velorn binary on a small basin without meteorological input: two zones of
// a 6 x 5 grid, one standard grid "param" (value row x column / 2) with a zone statistics file
// of every step, and a point output of two cells. Runs on 1 and 3 processes must write the same
// files; the zone means are checked against hand computation. Also: control files run one after
// another, sub-models that this build does not contain, spin-up, synchronisation commands of a
// coupled program and a real interrupt sent to mpirun.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_files.h"
#include "tests/support/velorn_runner.h"

namespace velorn::test {
namespace {

namespace fs = std::filesystem;

constexpr int kRows = 6;
constexpr int kCols = 5;

std::string AsciiGrid(double (*value)(int, int)) {
  std::ostringstream out;
  out << "ncols " << kCols << "\nnrows " << kRows
      << "\nxllcorner 1000\nyllcorner 2000\ncellsize 100\nnodata_value -9999\n";
  for (int r = 1; r <= kRows; ++r)
    for (int c = 1; c <= kCols; ++c) out << value(r, c) << (c == kCols ? "\n" : " ");
  return out.str();
}

// Zone 1 holds rows 1-3, zone 2 rows 4-6: the means of r*c/2 are 45/15 = 3 and 112.5/15 = 7.5.
const char* kStatisticsHead =
    "YY\tMM\tDD\tHH\t\"1\"\t\"2\"\ttot_average\nparam_submodel:(default)\n"
    "--\t--\t--\t--\t0.5000000\t0.5000000\t1.0000\n";
const char* kStatisticsRow = "-9999\t-9999\t-9999\t-9999\t3.00000\t7.50000\t5.25000\n";
// Cells (column 2, row 1) and (column 4, row 5) hold 1 and 10.
const char* kPointsHead =
    "YY\tMM\tDD\tHH\tP/2/1\tP/4/5\npoints\nYY\tMM\tDD\tHH\tP/1150/2550\tP/1350/2150\n";
const char* kPointsRow = "-9999\t-9999\t-9999\t-9999\t1\t10\n";

// The file's content, empty when it does not exist (yet).
std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Rows of a statistics file that hold a step.
int DataRows(const std::string& statistics) {
  int rows = 0;
  for (std::size_t at = statistics.find("\n-9999"); at != std::string::npos;
       at = statistics.find("\n-9999", at + 1))
    ++rows;
  return rows;
}

std::string Repeat(const std::string& text, int times) {
  std::string all;
  for (int i = 0; i < times; ++i) all += text;
  return all;
}

// The control file of the basin; `out` is the output directory, `extra` further sections.
std::string ControlFile(const fs::path& dir, const std::string& out, const std::string& extra) {
  return "$set $d = " + dir.string() +
         "/\n[output_interval]\n1\n0\n0\n0\nWriteAsciiGrids = 1\nWriteDoubleGrids = 0\n"
         "WriteNetcdfGrids = 0\nInitialStateDirectory = $d\nDefaultOutputDirectory = $d//" +
         out +
         "/\n\n[output_list]\n0\n[coordinates]\n47.5\n8.5\n15.0\n0.0\n[meteo_data_count]\n0\n"
         "[meteo_names]\n[zone_grid]\n$d//zone.asc\n[elevation_model]\n$d//dem.asc\n"
         "[standard_grids]\n1\n$d//param.asc param fillcode = 0 readcode = 1 writecode = 0 "
         "statfile = param.sta statcode = 2001\n"
         "[model_time]\n24\n1\n1\n2019\n24\n31\n12\n2019\n[landuse_table]\n0\n[soil_table]\n0\n"
         "[irrigation]\n0\n[radiation_correction]\n0\n1440\n[variable_grids]\n0\n"
         "[substance_transport]\n0\n[region_transition_distance]\n250\n"
         "[special_output]\n1\n60\nnumfiles = 1;\n{\nheader = points; filename = points.txt;\n"
         "entity { ID = param; Symbol = P; Xcoords = 1150, 1350; Ycoords = 2550 2150; }\n}\n" +
         extra;
}

// [ExternalCoupling] exchanging no grid: wait for sync.txt in every step (10 ms polls), write
// to_partner.txt at the end of every step.
const std::string kCoupling =
    "[ExternalCoupling]\n1\n$d//sync.txt\n10\nI\n60\n0\n0\n0\n$d//to_partner.txt\nCommand=Go;\n";

class BasinRun : public ::testing::Test {
 protected:
  // Writes the basin and `run.ctl` (output directory "out") with `extra` sections.
  void Write(const std::string& extra, const std::string& name = "run.ctl",
             const std::string& out = "out") {
    fs::create_directories(dir_.path() / out);
    WriteFile(dir_ / "MpiSpeedFactor.dat", "1.0\n");
    WriteFile(dir_ / "zone.asc", AsciiGrid([](int r, int) { return r <= 3 ? 1.0 : 2.0; }));
    WriteFile(dir_ / "dem.asc", AsciiGrid([](int r, int c) { return 500.0 + 10 * r + c; }));
    WriteFile(dir_ / "param.asc", AsciiGrid([](int r, int c) { return 0.5 * r * c; }));
    WriteFile(dir_ / name, ControlFile(dir_.path(), out, extra));
  }

  RunResult Run(int processes, std::vector<std::string> arguments = {"run.ctl"},
                const std::string& input = {}, std::function<void(int)> while_running = {}) {
    RunOptions options;
    options.processes = processes;
    options.directory = dir_.path().string();
    options.input = input;
    options.while_running = std::move(while_running);
    return RunVelorn(options, arguments);
  }

  std::string Output(const std::string& name, const std::string& out = "out") const {
    return ReadFile((dir_.path() / out / name).string());
  }

  bool HasLine(const RunResult& result, int level, const std::string& text) const {
    return result.diag.find(DiagnosticsLine(level, text) + "\n") != std::string::npos;
  }

  TempDir dir_;
};

TEST_F(BasinRun, RunsEndToEndWithTheSameOutputsOnOneAndThreeProcesses) {
  Write("");
  std::string statistics[2];
  std::string points[2];
  for (const int processes : {1, 3}) {
    SCOPED_TRACE("processes " + std::to_string(processes));
    const RunResult result = Run(processes);
    ASSERT_EQ(result.exit_status, 0) << result.Describe();
    // The entries of construction and shut-down, in this order.
    std::size_t at = 0;
    for (const char* text :
         {"end of initialization reached...", "reached end of simulation sucessfully", "o.k.;",
          "deleting modules...", "exitcode 0", "o.k.;;the end."}) {
      const std::size_t found = result.diag.find(DiagnosticsLine(4, text), at);
      ASSERT_NE(found, std::string::npos) << text << "\n" << result.diag;
      at = found;
    }
    const int i = processes == 1 ? 0 : 1;
    statistics[i] = Output("param.sta");
    points[i] = Output("points.txt");
  }
  EXPECT_EQ(statistics[0], std::string(kStatisticsHead) + kStatisticsRow);
  EXPECT_EQ(points[0], std::string(kPointsHead) + kPointsRow);
  EXPECT_EQ(statistics[1], statistics[0]);
  EXPECT_EQ(points[1], points[0]);
}

TEST_F(BasinRun, ControlFilesRunOneAfterAnother) {
  Write("");
  Write("", "second.ctl", "out2");
  const RunResult result = Run(2, {"run.ctl", "second.ctl"});
  ASSERT_EQ(result.exit_status, 0) << result.Describe();
  EXPECT_EQ(Output("param.sta"), std::string(kStatisticsHead) + kStatisticsRow);
  EXPECT_EQ(Output("param.sta", "out2"), std::string(kStatisticsHead) + kStatisticsRow);
  std::size_t count = 0;
  const std::string line = DiagnosticsLine(4, "end of initialization reached...");
  for (std::size_t at = result.diag.find(line); at != std::string::npos;
       at = result.diag.find(line, at + 1))
    ++count;
  EXPECT_EQ(count, 2u);
}

TEST_F(BasinRun, RunsThatCannotGoOnEndWithTheirCode) {
  struct Case {
    const char* name;
    std::string extra;
    std::vector<std::string> arguments;
    int code;
    std::string entry;  // FATAL for a code, INFO otherwise
  };
  const Case cases[] = {
      {"snow model on",
       "[snow_model]\n1\n60\n",
       {"run.ctl"},
       3004,
       "snow model (section [snow_model]) is switched on, but it is not available in this build"},
      {"routing on",
       "[routing_model]\n2\n60\n",
       {"run.ctl"},
       3011,
       "discharge routing model (section [routing_model]) is switched on, but it is not "
       "available in this build"},
      {"snow model off", "[snow_model]\n0\n60\n", {"run.ctl"}, 0, ""},
      {"bad dump maximum",
       "",
       {"run.ctl", "-dumpmode:x"},
       1061,
       "Error in argument list: invalid number of max dumpfiles given in argument -dumpmode:x"},
      {"dump maximum too big",
       "",
       {"run.ctl", "-dumpmode:99999999999"},
       1061,
       "Error in argument list: invalid number of max dumpfiles given in argument "
       "-dumpmode:99999999999"},
      {"dump maximum",
       "",
       {"run.ctl", "-dumpmode:12", "-closeAfterDump"},
       0,
       "max dumpfiles given in argument -dumpmode:12 read as 12(__cplusplus defined as 201103)"},
      {"pre-spin-up without temperature",
       "[SpinUp]\n1\n1\n2\n1\nelevation_model 100 linear\n",
       {"run.ctl"},
       1035,
       "temperature interpolation not found. This is required for pre-SpinUp! (no regions "
       "should be used for pre-SpinUp)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Write(c.extra);
    const RunResult result = Run(2, c.arguments);
    EXPECT_EQ(result.exit_status, c.code & 0xff) << result.Describe();
    if (!c.entry.empty()) {
      EXPECT_TRUE(HasLine(result, c.code == 0 ? 3 : 0, c.entry)) << result.diag;
    }
  }
}

TEST_F(BasinRun, SpinUpRepeatsTheTimeRange) {
  struct Case {
    int repeat_count;
    int rows;  // statistics rows written
  };
  for (const Case c : {Case{3, 3}, Case{0, 0}}) {
    SCOPED_TRACE("repeatCnt " + std::to_string(c.repeat_count));
    Write("[SpinUp]\n1\n0\n" + std::to_string(c.repeat_count) +
          "\n1\nelevation_model 100 linear\n");
    const RunResult result = Run(3);
    ASSERT_EQ(result.exit_status, 0) << result.Describe();
    EXPECT_EQ(Output("param.sta"), kStatisticsHead + Repeat(kStatisticsRow, c.rows));
    for (int run = 1; run < 3; ++run) {
      EXPECT_EQ(HasLine(result, 3,
                        "SpinUp reached end of defined time range for run #" + std::to_string(run) +
                            ", resetting inputs and starting again now "
                            "(repetition " +
                            std::to_string(run + 1) + " of 3)"),
                c.repeat_count == 3);
    }
  }
}

// The test plays the coupled program: whenever the run has written to_partner.txt at the end of
// a pass, it notes the statistics rows already in the file, takes the semaphore away and writes
// the synchronisation file again (the run deletes it after reading).
TEST_F(BasinRun, SynchronisationCommandsSteerTheRun) {
  struct Case {
    const char* command;
    int exit_status;
    int rows;                    // statistics rows of the three passes in the end
    std::vector<int> rows_seen;  // rows in the file at the end of passes 1 and 2
  };
  const Case cases[] = {
      {"Command=Finish;", 99, 1, {}},
      {"Command=SaveAndContinue;", 0, 3, {0, 1}},  // pass 1 flushed at the start of pass 2
      {"Command=Continue;", 0, 3, {0, 0}},
      {"Command=StopWithoutSaving;", 98, 0, {}},
  };
  const fs::path to_partner = dir_.path() / "to_partner.txt";
  const fs::path done = dir_.path() / "to_partner.txt_Done";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    Write(kCoupling + "[SpinUp]\n1\n0\n3\n1\nelevation_model 100 linear\n");
    const std::string command = std::string(c.command) + "\nmore lines\n";
    WriteFile(dir_ / "sync.txt", command);
    fs::remove(to_partner);
    fs::remove(done);
    std::vector<int> rows_seen;
    const auto partner = [&](int) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      while (!c.rows_seen.empty() && !fs::exists(done) &&
             std::chrono::steady_clock::now() < deadline) {
        if (fs::exists(to_partner) && Slurp(to_partner) != "Command=Finish;") {
          rows_seen.push_back(DataRows(Slurp(dir_.path() / "out" / "param.sta")));
          fs::remove(to_partner);
          WriteFile(dir_ / "sync.txt", command);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    };
    const RunResult result = Run(3, {"run.ctl"}, {}, partner);
    EXPECT_EQ(result.exit_status, c.exit_status) << result.Describe();
    if (c.exit_status == 98) {
      EXPECT_TRUE(HasLine(result, 2, "program manually killed by pressing Ctrl-C and selecting 2!"))
          << result.diag;
      continue;
    }
    EXPECT_EQ(Output("param.sta"), kStatisticsHead + Repeat(kStatisticsRow, c.rows));
    ASSERT_GE(rows_seen.size(), c.rows_seen.size());
    rows_seen.resize(c.rows_seen.size());
    EXPECT_EQ(rows_seen, c.rows_seen);
    EXPECT_EQ(Slurp(to_partner), "Command=Finish;");
    EXPECT_EQ(Slurp(done), "Command=Finish;");
  }
}

// SIGUSR1 sent to mpirun while process 0 waits for the synchronisation file: the waiting menu
// reads "1" from standard input, the file then found carries no command, and the run finishes
// its step, writes every output and ends with 99.
TEST_F(BasinRun, InterruptSentToMpirunFinishesTheRunWithAllOutputs) {
  Write(kCoupling);
  fs::remove(dir_.path() / "sync.txt");
  const fs::path diag = dir_.path() / "Velorn_Diag_0.xml";
  const RunResult result = Run(3, {"run.ctl"}, Repeat("1\n", 5000), [&](int mpirun) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (Slurp(diag).find("end of initialization reached...") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    kill(mpirun, SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    WriteFile(dir_ / "sync.txt", "no command here\n");
  });
  ASSERT_EQ(result.exit_status, 99) << result.Describe();
  EXPECT_NE(result.out.find("Ctrl-C pressed while waiting for"), std::string::npos);
  EXPECT_EQ(Output("param.sta"), std::string(kStatisticsHead) + kStatisticsRow);
  EXPECT_EQ(Output("points.txt"), std::string(kPointsHead) + kPointsRow);
  EXPECT_TRUE(HasLine(result, 4, "exitcode 99")) << result.diag;
}

}  // namespace
}  // namespace velorn::test
