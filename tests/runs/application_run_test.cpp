// Whole runs of the velorn binary on a small basin without meteorological input: two zones of
// a 6 x 5 grid, one standard grid "param" (value row x column / 2) with a zone statistics file
// of every step, and a point output of two cells. Runs on 1 and 3 processes must write the same
// files; the zone means are checked against hand computation. Also: control files run one after
// another, sub-models that this build does not contain, spin-up, synchronisation commands of a
// coupled program and a real interrupt sent to mpirun.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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

std::string AsciiGrid(double (*value)(int, int), double nodata = -9999) {
  std::ostringstream out;
  out << "ncols " << kCols << "\nnrows " << kRows
      << "\nxllcorner 1000\nyllcorner 2000\ncellsize 100\nnodata_value " << nodata << "\n";
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

// One grassland entry, the land use of every cell of the meteorological runs.
const std::string kLanduseTable =
    "[landuse_table]\n1\n1 grass method VariableDayCount { RootDist = 1.0; TReduWet = 0.95; "
    "HReduDry = 3.45;\nAlbedo = 0.25 0.20 0.25; rsc = 80 60 80; LAI = 3 4 3; Z0 = 0.02 0.1 0.02;\n"
    "VCF = 0.8 0.9 0.8; RootDepth = 0.2 0.5 0.2; AltDep = 0 0 0; JulDays = 1 180 366; }\n";

// What differs between the basins of the tests: the meteorological variables, the standard
// grids besides "param", the last day of the model time range and further sections.
struct BasinOptions {
  std::string meteo = "[meteo_data_count]\n0\n[meteo_names]\n";
  std::vector<std::string> grids;
  std::string end = "24\n31\n12\n2019\n";
  std::string precipitation_correction = "[precipitation_correction]\n0\n0\n1\n0\n1\n0\n";
  std::string soil_table = "[soil_table]\n0\n";
  std::string substances = "[substance_transport]\n0\n";
  std::string extra;
  double zone_nodata = -9999;  // the nodata value of the zone grid's header
};

// The control file of the basin; `out` is the output directory.
std::string ControlFile(const fs::path& dir, const std::string& out, const BasinOptions& basin) {
  std::string grids;
  for (const std::string& grid : basin.grids) grids += grid + "\n";
  return "$set $d = " + dir.string() +
         "/\n[output_interval]\n1\n0\n0\n0\nWriteAsciiGrids = 1\nWriteDoubleGrids = 0\n"
         "WriteNetcdfGrids = 0\nInitialStateDirectory = $d\nDefaultOutputDirectory = $d//" +
         out + "/\n\n[output_list]\n0\n[coordinates]\n47.5\n8.5\n15.0\n0.0\n" + basin.meteo +
         "[zone_grid]\n$d//zone.asc\n[elevation_model]\n$d//dem.asc\n[standard_grids]\n" +
         std::to_string(basin.grids.size() + 1) +
         "\n$d//param.asc param fillcode = 0 readcode = 1 writecode = 0 "
         "statfile = param.sta statcode = 2001\n" +
         grids + "[model_time]\n24\n1\n1\n2019\n" + basin.end +
         (basin.grids.empty() ? "[landuse_table]\n0\n" : kLanduseTable) + basin.soil_table +
         "[irrigation]\n0\n[radiation_correction]\n0\n1440\n" + basin.precipitation_correction +
         "[variable_grids]\n0\n" + basin.substances +
         "[region_transition_distance]\n250\n"
         "[special_output]\n1\n60\nnumfiles = 1;\n{\nheader = points; filename = points.txt;\n"
         "entity { ID = param; Symbol = P; Xcoords = 1150, 1350; Ycoords = 2550 2150; }\n}\n" +
         basin.extra;
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
    BasinOptions basin;
    basin.extra = extra;
    Write(basin, name, out);
  }
  void Write(const BasinOptions& basin, const std::string& name = "run.ctl",
             const std::string& out = "out") {
    fs::create_directories(dir_.path() / out);
    WriteFile(dir_ / "MpiSpeedFactor.dat", "1.0\n");
    WriteFile(dir_ / "zone.asc",
              AsciiGrid([](int r, int) { return r <= 3 ? 1.0 : 2.0; }, basin.zone_nodata));
    WriteFile(dir_ / "dem.asc", AsciiGrid([](int r, int c) { return 500.0 + 10 * r + c; }));
    WriteFile(dir_ / "param.asc", AsciiGrid([](int r, int c) { return 0.5 * r * c; }));
    WriteFile(dir_ / name, ControlFile(dir_.path(), out, basin));
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

// Also with any nodata value in the zone grid's header, each run within the runner's time limit:
// 0, -1 (common GIS exports) and -9999 mark no cell here and give the same files; 1 and 2 mark
// every cell of that subbasin as outside the basin, which leaves the other subbasin alone (the
// owner grid of the decomposition once took rank 0 or 1 for outside cells there and hung).
TEST_F(BasinRun, RunsEndToEndWithTheSameOutputsOnOneAndThreeProcesses) {
  struct Case {
    double nodata;
    std::string statistics, points;
  };
  const std::string both = std::string(kStatisticsHead) + kStatisticsRow;
  const std::string all_points = std::string(kPointsHead) + kPointsRow;
  const Case cases[] = {
      {-9999, both, all_points},
      {0, both, all_points},
      {-1, both, all_points},
      {1,
       "YY\tMM\tDD\tHH\t\"2\"\ttot_average\nparam_submodel:(default)\n--\t--\t--\t--\t1.0000000\t1."
       "0000\n-9999\t-9999\t-9999\t-9999\t7.50000\t7.50000\n",
       std::string(kPointsHead) + "-9999\t-9999\t-9999\t-9999\t-9999\t10\n"},
      {2,
       "YY\tMM\tDD\tHH\t\"1\"\ttot_average\nparam_submodel:(default)\n--\t--\t--\t--\t1.0000000\t1."
       "0000\n-9999\t-9999\t-9999\t-9999\t3.00000\t3.00000\n",
       std::string(kPointsHead) + "-9999\t-9999\t-9999\t-9999\t1\t-9999\n"},
  };
  for (const Case& c : cases) {
    BasinOptions basin;
    basin.zone_nodata = c.nodata;
    Write(basin);
    for (const int processes : {1, 2, 3}) {
      SCOPED_TRACE("nodata " + std::to_string(c.nodata) + ", processes " +
                   std::to_string(processes));
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
      EXPECT_EQ(Output("param.sta"), c.statistics);
      EXPECT_EQ(Output("points.txt"), c.points);
    }
  }
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
      {"snow model on without the subbasin grid",
       "[snow_model]\n1\n60\n",
       {"run.ctl"},
       33,
       "-- !!! ERROR !!!  --;zonegrid_soilmodel not found in memory,;These data are needed "
       "within snow_model if they are interpolated data, please specify an interpolator "
       "for;zonegrid_soilmodel in the control file or read it in as a standardfile,;--;"},
      {"routing on without a soil model",
       "[routing_model]\n1\n60\n1 1000 50 24\nq.sta 1001\nnone.txt\n0\n0\n"
       "TG 2 (A=0.3, f=1) OL 1 (kh=1, kv=5, Bh=2, Bv=20, Th=0.5, Mh=25, Mv=15, I=0.01, L=300, "
       "A=0.15)\nend\n",
       {"run.ctl"},
       43,
       "No valid discharges for discharge routing!;You have to run the model including at least "
       "precipitation interpolation and soil model;if discharges are wished."},
      {"malformed routing header",
       "[routing_model]\n1\n60\n1 1000\nq.sta 1001\n",
       {"run.ctl"},
       17,
       "values for min/max specific discharge and/or discharge and time interval splitting   "
       "not found in control file"},
      {"routing off", "[routing_model]\n0\n60\n", {"run.ctl"}, 0, ""},
      {"snow model off", "[snow_model]\n0\n60\n", {"run.ctl"}, 0, ""},
      {"groundwater without the water table",
       "[groundwater_flow]\n1\n60\n1\n100\n0.001\n1\n1.5\n0\n1\n0 0\ncp.txt\n0\n"
       "h.asc\n0\ntx.asc\n0\nty.asc\n0\nb.asc\n0\n",
       {"run.ctl"},
       33,
       "in modul groundwater_flow: the grid groundwater_distance is not in memory: the "
       "unsaturated-zone model ([unsatzon_model]) provides it, or it must be given as a grid of "
       "its own"},
      {"groundwater section malformed",
       "[groundwater_flow]\n1\n60\n1\nmany\n",
       {"run.ctl"},
       17,
       "error in control file, maxiter in ; groundwater_flownot found!"},
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
          WriteFileWhole(dir_ / "sync.txt", command);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    };
    const RunResult result = Run(3, {"run.ctl"}, {}, partner);
    EXPECT_EQ(result.exit_status, c.exit_status) << result.Describe();
    if (c.exit_status == 98) {
      // The partner stopped the run, not a Ctrl-C; the diagnostics end as usual.
      EXPECT_NE(result.diag.find("program stopped without saving by the command "
                                 "StopWithoutSaving of the coupled program (file "),
                std::string::npos)
          << result.diag;
      EXPECT_EQ(result.diag.find("pressing Ctrl-C"), std::string::npos);
      EXPECT_TRUE(HasLine(result, 4, "exitcode 98")) << result.diag;
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

// Yearly coupling over three spin-up passes of the same year: every pass opens with an exchange
// and waits for the partner's reply to the end of the pass before, so no reply is left unread.
TEST_F(BasinRun, EverySpinUpPassWaitsForThePartner) {
  std::string yearly = kCoupling;
  yearly.replace(yearly.find("\nI\n"), 3, "\nY\n");
  Write(yearly + "[SpinUp]\n1\n0\n3\n1\nelevation_model 100 linear\n");
  const fs::path to_partner = dir_.path() / "to_partner.txt";
  WriteFile(dir_ / "sync.txt", "Command=Continue;\n");
  fs::remove(to_partner);
  fs::remove(dir_.path() / "to_partner.txt_Done");
  int replies = 0;
  const RunResult result = Run(2, {"run.ctl"}, {}, [&](int) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!fs::exists(dir_.path() / "to_partner.txt_Done") &&
           std::chrono::steady_clock::now() < deadline) {
      if (fs::exists(to_partner) && Slurp(to_partner) != "Command=Finish;") {
        fs::remove(to_partner);
        WriteFileWhole(dir_ / "sync.txt", "Command=Continue;\n");
        ++replies;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  ASSERT_EQ(result.exit_status, 0) << result.Describe();
  EXPECT_EQ(replies, 2);
  EXPECT_FALSE(fs::exists(dir_.path() / "sync.txt")) << "a reply of the partner was never read";
}

// SIGUSR1 sent to mpirun while process 0 waits for the synchronisation file: the waiting menu
// reads "1" from standard input, the file then found carries no command, and the run finishes
// its step, writes every output and ends with 99. Answered "2", the run stops at once without
// saving, says who stopped it and closes its diagnostics with 98.
TEST_F(BasinRun, InterruptSentToMpirunFinishesTheRunWithAllOutputs) {
  Write(kCoupling);
  const fs::path diag = dir_.path() / "Velorn_Diag_0.xml";
  for (const int answer : {2, 1}) {
    fs::remove(dir_.path() / "sync.txt");
    fs::remove(diag);
    const std::string input = Repeat(std::to_string(answer) + "\n", 5000);
    const RunResult result = Run(3, {"run.ctl"}, input, [&](int mpirun) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      while (Slurp(diag).find("end of initialization reached...") == std::string::npos &&
             std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      kill(mpirun, SIGUSR1);
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      WriteFileWhole(dir_ / "sync.txt", "no command here\n");
    });
    if (answer == 2) {
      ASSERT_EQ(result.exit_status, 98) << result.Describe();
      EXPECT_TRUE(
          HasLine(result, 2, "program manually killed by pressing Ctrl-C and selecting 2!"));
      EXPECT_TRUE(HasLine(result, 4, "exitcode 98")) << result.diag;
      continue;
    }
    ASSERT_EQ(result.exit_status, 99) << result.Describe();
    EXPECT_NE(result.out.find("Ctrl-C pressed while waiting for"), std::string::npos);
    EXPECT_EQ(Output("param.sta"), std::string(kStatisticsHead) + kStatisticsRow);
    EXPECT_EQ(Output("points.txt"), std::string(kPointsHead) + kPointsRow);
    EXPECT_TRUE(HasLine(result, 4, "exitcode 99")) << result.diag;
  }
}

// --- Runs with meteorological input ----------------------------------------------------------
// Two stations off the cell centres, four daily records from 1.1.2019 of temperature and
// precipitation, both interpolated by inverse squared distances; the precipitation correction
// multiplies rain by 1.1; Hamon evapotranspiration and interception on grassland.
constexpr double kStationX[] = {1040, 1470};
constexpr double kStationY[] = {2580, 2030};
constexpr double kTemperature[4][2] = {{2, 8}, {-1, 5}, {4, 4}, {10, 0}};
constexpr double kPrecipitation[4][2] = {{5, 1}, {0, 0}, {2, 6}, {3, 3}};
constexpr double kRainFactor = 1.1;

std::string StationTable(const double (*values)[2], int days) {
  std::ostringstream out;
  out << "stations\na b c d 500 600\na b c d " << kStationX[0] << " " << kStationX[1]
      << "\na b c d " << kStationY[0] << " " << kStationY[1] << "\nYY MM DD HH T1 T2\n";
  for (int day = 0; day < days; ++day)
    out << "2019 1 " << day + 1 << " 24 " << values[day][0] << " " << values[day][1] << "\n";
  return out.str();
}

std::string InterpolationSection(const std::string& name) {
  return "[" + name + "]\n1 method\n$d//" + name + ".txt\nnone\n" + name + ".asc\n0\n1.0\n" + name +
         ".stat 2001\n9999\n2\n0\n1e8\n0\n1\n-1e10\n-1e10\n1e10\n"
         "1e10\n0\n";
}

// The zone means of a day computed by hand: the mean over the 15 cells of each zone of the
// stations' values weighted by 1 / distance^2 to the cell's centre.
std::vector<double> IdwZoneMeans(const double (&values)[2], double factor) {
  std::vector<double> means(2, 0.0);
  for (int r = 1; r <= kRows; ++r)
    for (int c = 1; c <= kCols; ++c) {
      const double x = 1000 + (c - 0.5) * 100;  // cell centres
      const double y = 2000 + (kRows - r + 0.5) * 100;
      double sum = 0, weights = 0;
      for (int i = 0; i < 2; ++i) {
        const double w =
            1 / ((x - kStationX[i]) * (x - kStationX[i]) + (y - kStationY[i]) * (y - kStationY[i]));
        sum += w * values[i] * factor;
        weights += w;
      }
      means[r <= 3 ? 0 : 1] += sum / weights / 15;
    }
  return means;
}

// The zone values (columns 5 and 6) of the data rows of a statistics file.
std::vector<std::vector<double>> ZoneColumns(const std::string& statistics) {
  std::vector<std::vector<double>> rows;
  std::istringstream in(statistics);
  std::string line;
  for (int skip = 0; skip < 3 && std::getline(in, line); ++skip) {
  }
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::vector<std::string> f;
    for (std::string field; std::getline(fields, field, '\t');) f.push_back(field);
    if (f.size() >= 6) rows.push_back({std::stod(f[4]), std::stod(f[5])});
  }
  return rows;
}

class MeteoBasinRun : public BasinRun {
 protected:
  // The basin with the two variables; `days` records in the station files, the model time
  // range ending on `last_day` of January.
  void WriteMeteo(const std::string& extra, int days = 4, int last_day = 4,
                  const std::string& end = {}) {
    WriteFile(dir_ / "temperature.txt", StationTable(kTemperature, days));
    WriteFile(dir_ / "precipitation.txt", StationTable(kPrecipitation, days));
    WriteFile(dir_ / "landuse.asc", AsciiGrid([](int, int) { return 1.0; }));
    WriteFile(dir_ / "albedo.asc", AsciiGrid([](int, int) { return 0.2; }));
    BasinOptions basin;
    basin.meteo = "[meteo_data_count]\n2\n[meteo_names]\ntemperature\nprecipitation\n" +
                  InterpolationSection("temperature") + InterpolationSection("precipitation");
    basin.grids = {"$d//landuse.asc landuse fillcode = 0 readcode = 1 writecode = 0",
                   "$d//albedo.asc albedo fillcode = 0 readcode = 1 writecode = 0"};
    basin.end = end.empty() ? "24\n" + std::to_string(last_day) + "\n1\n2019\n" : end;
    basin.precipitation_correction =
        "[precipitation_correction]\n1\n-50\n" + std::to_string(kRainFactor) + "\n0\n1.5\n0\n";
    basin.extra =
        "[evapotranspiration]\n1\n1440\n2 Hamon\n1 1 1 1 1 1 1 1 1 1 1 1\n"
        "0.2 0.2 0.21 0.29 0.29 0.28 0.26 0.25 0.23 0.22 0.2 0.2\n1.0\n" +
        Triples({"etp", "etr", "evap", "evar", "snowevap", "eip"}) +
        "rgex.stat 0\n0.25 0.75 0 0\n0.072 -0.808 1.749 -0.239\n0.7 0.1\n3000\n"
        "4 4 4 4 4 4 4 4 4 4 4 4\n0.6 0.1\ncloud.stat 0\nHamonCorrectionOpenWater = 1.0\n"
        "[interception_model]\n1\n1440\n1 method\n" +
        Triples({"tf", "ei", "si"}) + "0.2 maximum water layer\n0 readgrid\n" + extra;
    Write(basin);
  }
  static std::string Triples(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += name + ".asc\n0\n" + name + ".stat 2001\n";
    return text;
  }
};

TEST_F(MeteoBasinRun, InterpolatesCorrectsAndEvaporatesAlikeOnOneAndThreeProcesses) {
  WriteMeteo("");
  const char* files[] = {
      "temperature.stat", "precipitation.stat", "etp.stat",  "tf.stat", "ei.stat",
      "si.stat",          "param.sta",          "points.txt"};
  std::vector<std::string> first;
  for (const int processes : {1, 3}) {
    SCOPED_TRACE("processes " + std::to_string(processes));
    const RunResult result = Run(processes);
    ASSERT_EQ(result.exit_status, 0) << result.Describe();
    std::vector<std::string> outputs;
    for (const char* file : files) outputs.push_back(Output(file));
    if (first.empty()) first = outputs;
    for (std::size_t i = 0; i < outputs.size(); ++i) EXPECT_EQ(outputs[i], first[i]) << files[i];
  }
  const auto temperature = ZoneColumns(first[0]);
  const auto precipitation = ZoneColumns(first[1]);
  const auto throughfall = ZoneColumns(first[3]);
  const auto evaporation = ZoneColumns(first[4]);
  const auto storage = ZoneColumns(first[5]);
  ASSERT_EQ(temperature.size(), 4u) << first[0];
  ASSERT_EQ(precipitation.size(), 4u) << first[1];
  ASSERT_EQ(throughfall.size(), 4u) << first[3];
  // Hamon's potential evapotranspiration of a January day at 47.5 N between -1 and 10 degrees
  // Celsius: a few tenths of a millimetre.
  const auto potential = ZoneColumns(first[2]);
  ASSERT_EQ(potential.size(), 4u) << first[2];
  for (const auto& day : potential)
    for (double value : day) {
      EXPECT_GT(value, 0.05);
      EXPECT_LT(value, 1.0);
    }
  double stored[2] = {0, 0};
  for (int day = 0; day < 4; ++day) {
    SCOPED_TRACE("day " + std::to_string(day + 1));
    const auto t = IdwZoneMeans(kTemperature[day], 1.0);
    const auto p = IdwZoneMeans(kPrecipitation[day], kRainFactor);
    for (int zone = 0; zone < 2; ++zone) {
      EXPECT_NEAR(temperature[day][zone], t[zone], 6e-4);
      EXPECT_NEAR(precipitation[day][zone], p[zone], 6e-4);
      // The water of the canopy: what falls in is stored, evaporated or passed on.
      EXPECT_NEAR(precipitation[day][zone] + stored[zone],
                  throughfall[day][zone] + evaporation[day][zone] + storage[day][zone], 3e-3);
      stored[zone] = storage[day][zone];
    }
  }
  EXPECT_EQ(ZoneColumns(first[6]).size(), 4u);
}

// How the meteorological data bound a run: the end of the station files, spin-up passes that
// rewind them, and the temperature pre-spin-up before the main pass.
TEST_F(MeteoBasinRun, StationDataBoundTheTimeLoop) {
  struct Case {
    const char* name;
    std::string spin_up;
    int days;      // records in the station files
    int last_day;  // last day of the model time range
    int passes;    // passes of the main loop over the four days
    int pre_spin_up_days;
    bool early_end;
  };
  const Case cases[] = {
      {"data end before the time range", "", 3, 4, 1, 0, true},
      {"spin-up rewinds the station files", "[SpinUp]\n1\n0\n2\n1\nelevation_model 10 linear\n", 4,
       4, 2, 0, false},
      {"pre-spin-up with temperature", "[SpinUp]\n2\n1\n1\n1\nelevation_model 10 linear\n", 4, 4, 1,
       4, false},
  };
  const std::string warning =
      "the meteorological data end with the step of 3.1.2019 24. h, before the end of the model "
      "time range (4.1.2019 24. h); the run ends there";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteMeteo(c.spin_up, c.days, c.last_day);
    const RunResult result = Run(2);
    ASSERT_EQ(result.exit_status, 0) << result.Describe();
    const auto temperature = ZoneColumns(Output("temperature.stat"));
    const auto precipitation = ZoneColumns(Output("precipitation.stat"));
    const std::size_t steps = static_cast<std::size_t>(c.days * c.passes);
    // The pre-spin-up interpolates the temperature alone.
    ASSERT_EQ(temperature.size(), steps + static_cast<std::size_t>(c.pre_spin_up_days));
    ASSERT_EQ(precipitation.size(), steps);
    // Every pass, the pre-spin-up's included, starts again with the first record.
    for (std::size_t i = 0; i < temperature.size(); ++i) {
      const std::size_t first = i % static_cast<std::size_t>(c.days);
      EXPECT_EQ(temperature[i], temperature[first]) << i;
      if (i < steps) {
        EXPECT_EQ(precipitation[i], precipitation[first]) << i;
      }
    }
    if (c.spin_up.empty()) {
      for (int day = 0; day < c.days; ++day)
        EXPECT_NEAR(temperature[day][1], IdwZoneMeans(kTemperature[day], 1.0)[1], 6e-4);
    }
    EXPECT_EQ(HasLine(result, 2, warning), c.early_end) << result.diag;
    for (int day = 1; day <= 4; ++day) {
      EXPECT_EQ(
          HasLine(result, 4, "temperature pre-SpinUp " + std::to_string(day) + ".1.2019 24. h "),
          day <= c.pre_spin_up_days);
    }
    EXPECT_EQ(HasLine(result, 3,
                      "pre-SpinUp reached end of defined time range. Soil-temperatures are going "
                      "to be set now."),
              c.pre_spin_up_days > 0);
  }
}

// What a hydrologist is told of two slips in a control file: a sub-model whose step differs
// from that of the daily records (a WARNING, the run goes on), and a temperature that is not the
// first variable when the pre-spin-up needs it first (code 1035, saying so).
TEST_F(MeteoBasinRun, StepLengthAndVariableOrderSlipsAreNamed) {
  struct Case {
    const char* name;
    std::string spin_up;
    std::string from, to;  // the edit of the control file
    int code, level;
    std::string entry;
  };
  const Case cases[] = {
      {"interception at two days", "", "[interception_model]\n1\n1440\n",
       "[interception_model]\n1\n2880\n", 0, 2,
       "the time step of interception_model (2880 minutes) differs from the step of the "
       "meteorological data (1440 minutes, from 1.1.2019 24. h to 2.1.2019 24. h); its rates per "
       "step assume its own step"},
      {"temperature second", "[SpinUp]\n1\n1\n1\n1\nelevation_model 10 linear\n",
       "[meteo_names]\ntemperature\nprecipitation\n", "[meteo_names]\nprecipitation\ntemperature\n",
       1035, 0,
       "the temperature is interpolated, but it is not the first name in [meteo_names]: the "
       "pre-SpinUp interpolates the first variable alone, so the temperature must come first "
       "there."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteMeteo(c.spin_up);
    std::string text = Slurp(dir_.path() / "run.ctl");
    ASSERT_NE(text.find(c.from), std::string::npos);
    text.replace(text.find(c.from), c.from.size(), c.to);
    WriteFile(dir_ / "run.ctl", text);
    const RunResult result = Run(2);
    EXPECT_EQ(result.exit_status, c.code & 0xff) << result.Describe();
    EXPECT_TRUE(HasLine(result, c.level, c.entry)) << result.diag;
  }
}

// Process 0 reads four days of station data, processes 1 and 2 (started from another control
// file) three: a process whose data go on keeps every process in the loop, so that none waits
// alone in a collective call, and the run ends after the fourth step. Process 0 alone compiles
// a control file, so the other one is written in compiled form (symbols replaced).
TEST_F(MeteoBasinRun, ProcessesWhoseDataEndApartStepAlike) {
  WriteMeteo("");
  std::string text = ReadFile(dir_ / "run.ctl");
  text.erase(0, text.find('\n') + 1);  // the "$set" line
  for (const std::string name : {"temperature", "precipitation"}) {
    const std::string from = "$d//" + name + ".txt";
    text.replace(text.find(from), from.size(), "$d//" + name + "_short.txt");
  }
  for (std::size_t at = text.find("$d//"); at != std::string::npos; at = text.find("$d//"))
    text.replace(at, 4, dir_.path().string() + "/");
  WriteFile(dir_ / "short.ctl", text);
  WriteFile(dir_ / "short.ctl.$$$", text);
  WriteFile(dir_ / "temperature_short.txt", StationTable(kTemperature, 3));
  WriteFile(dir_ / "precipitation_short.txt", StationTable(kPrecipitation, 3));
  const char* binary = std::getenv("VELORN_BINARY");
  const RunResult result =
      Run(1, {"run.ctl", ":", "-np", "2", binary != nullptr ? binary : "velorn", "short.ctl"});
  ASSERT_EQ(result.exit_status, 0) << result.Describe();
  EXPECT_EQ(ZoneColumns(Output("temperature.stat")).size(), 4u);
}

// A Ctrl-C answered with 1 during the temperature pre-spin-up ends the run there: the main pass,
// whose time range the finish would have cut to the pre-spin-up's date, never starts. The
// interrupt goes to mpirun as soon as every process takes it (process 0 makes the diagnostics
// file after all processes installed their handlers): it arrives during the set-up and waits
// for the run's first step, the pre-spin-up's, or at the latest within the pre-spin-up's
// 100000 days, seconds of work. Sent after the second day, it had to beat the other days (19998
// of them, 0.9 s on an idle machine) through the test's polling and mpirun's passing on.
TEST_F(MeteoBasinRun, FinishChosenInThePreSpinUpEndsTheRun) {
  constexpr int kDays = 100000;
  std::ostringstream records;
  // Days 1 to 28 of every month: the records need not be consecutive, only increasing.
  int year = 2019, month = 1, day = 1;
  for (int i = 0; i < kDays; ++i) {
    year = 2019 + i / 336, month = i / 28 % 12 + 1, day = i % 28 + 1;
    records << year << " " << month << " " << day << " 24 " << i % 7 << " 3\n";
  }
  WriteMeteo("[SpinUp]\n2\n1\n1\n1\nelevation_model 10 linear\n", 4, 4,
             "24\n" + std::to_string(day) + "\n" + std::to_string(month) + "\n" +
                 std::to_string(year) + "\n");
  const std::string head = "stations\na b c d 500 600\na b c d 1040 1470\na b c d 2580 2030\nYY\n";
  WriteFile(dir_ / "temperature.txt", head + records.str());
  WriteFile(dir_ / "precipitation.txt", head + records.str());
  const fs::path diag = dir_.path() / "Velorn_Diag_0.xml";
  const RunResult result = Run(2, {"run.ctl"}, Repeat("1\n", 100), [&](int mpirun) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!fs::exists(diag) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    kill(mpirun, SIGUSR1);
  });
  ASSERT_EQ(result.exit_status, 99) << result.Describe();
  const auto pre_spin_up = ZoneColumns(Output("temperature.stat"));
  EXPECT_GE(pre_spin_up.size(), 1u);
  EXPECT_LT(pre_spin_up.size(), static_cast<std::size_t>(kDays));
  EXPECT_EQ(ZoneColumns(Output("precipitation.stat")).size(), 0u);
  EXPECT_TRUE(HasLine(result, 3,
                      "pre-SpinUp reached end of defined time range. Soil-temperatures are going "
                      "to be set now."));
}

// A partner exchanging zone statistics on hourly steps: the 25 hourly temperatures from 1.1.2019
// 24 h to 2.1.2019 24 h (station values s / 10 and s / 5 in step s), named in [ExternalCoupling]
// by a piece of the table's name. Exchanged every step, the partner reads each step's zone
// means; once a day, the mean of the day's steps. The file carries the date of the step after
// the interval (the last step's at the end). With a spin-up pass the partner sees both passes.
TEST_F(MeteoBasinRun, PartnerReadsTheZoneStatisticsOfEveryStepOrDay) {
  struct Case {
    const char* interval;
    int processes;
    int passes;
    std::vector<std::pair<int, int>> exchanges;  // first and last step of each
  };
  std::vector<std::pair<int, int>> every_step;
  for (int step = 1; step <= 25; ++step) every_step.emplace_back(step, step);
  std::ostringstream records;
  for (int step = 1; step <= 25; ++step)
    records << "2019 1 " << (step == 1 ? "1 24" : "2 " + std::to_string(step - 1)) << " "
            << step / 10.0 << " " << step / 5.0 << "\n";
  const std::string stations =
      "stations\na b c d 500 600\na b c d 1040 1470\na b c d 2580 2030\nYY MM DD HH T1 T2\n" +
      records.str();
  const Case cases[] = {
      {"I", 1, 1, every_step}, {"D", 3, 1, {{1, 1}, {2, 25}}}, {"D", 3, 2, {{1, 1}, {2, 25}}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.interval) + " on " + std::to_string(c.processes) + ", passes " +
                 std::to_string(c.passes));
    BasinOptions basin;
    basin.meteo =
        "[meteo_data_count]\n1\n[meteo_names]\ntemperature\n" + InterpolationSection("temperature");
    basin.end = "24\n2\n1\n2019\n";
    basin.extra = "[ExternalCoupling]\n1\n$d//sync.txt\n10\n" + std::string(c.interval) +
                  "\n60\n0\n0\n1\n$d//t.txt submodel:temperature Mean\n$d//to_partner.txt\n"
                  "Command=Continue;\n";
    if (c.passes > 1) basin.extra += "[SpinUp]\n1\n0\n2\n1\nelevation_model 1 linear\n";
    Write(basin);
    WriteFile(dir_ / "temperature.txt", stations);
    const fs::path to_partner = dir_.path() / "to_partner.txt";
    const fs::path done = dir_.path() / "to_partner.txt_Done";
    fs::remove(to_partner);
    fs::remove(done);
    WriteFile(dir_ / "sync.txt", "Command=Continue;\n");
    std::vector<std::string> seen;
    const RunResult result = Run(c.processes, {"run.ctl"}, {}, [&](int) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
      while (!fs::exists(done) && std::chrono::steady_clock::now() < deadline) {
        if (fs::exists(to_partner) && Slurp(to_partner) != "Command=Finish;") {
          seen.push_back(Slurp(dir_.path() / "t.txt"));
          fs::remove(to_partner);
          WriteFileWhole(dir_ / "sync.txt", "Command=Continue;\n");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
    ASSERT_EQ(result.exit_status, 0) << result.Describe();
    seen.push_back(Slurp(dir_.path() / "t.txt"));  // the last one, written with Finish
    const std::size_t count = c.exchanges.size();
    ASSERT_EQ(seen.size(), count * c.passes);
    for (std::size_t k = 0; k < seen.size(); ++k) {
      const auto [first, last] = c.exchanges[k % count];
      const double step = (first + last) / 2.0;  // the mean of the interval's steps
      const double values[2] = {step / 10, step / 5};
      const auto means = IdwZoneMeans(values, 1.0);
      const int dated = std::min(last + 1, 25);
      char date[64];
      std::snprintf(date, sizeof date, "date: 2019-01-0%d\nhour: %02dh\n", dated == 1 ? 1 : 2,
                    dated == 1 ? 24 : dated - 1);
      EXPECT_EQ(seen[k].rfind(date, 0), 0u) << k << "\n" << seen[k];
      double zone[2] = {0, 0};
      const char* values_text = seen[k].c_str() + seen[k].find(" zones\n") + 7;
      ASSERT_EQ(std::sscanf(values_text, "1\t%lf\n2\t%lf", &zone[0], &zone[1]), 2) << seen[k];
      for (int z = 0; z < 2; ++z) EXPECT_NEAR(zone[z], means[z], 1e-5 * step) << k << " " << z;
    }
  }
}

// The groundwater model in a whole run, its water table given as a grid of its own (the
// unsaturated zone that keeps it is not part of this build): two layers under the sloping
// surface, heads, balances and the control point file alike on one and three processes.
TEST_F(BasinRun, GroundwaterRunsAlikeOnOneAndThreeProcesses) {
  const std::vector<std::pair<std::string, double>> grids = {{"groundwater_distance", -1.0},
                                                             {"groundwater_recharge", 0},
                                                             {"baseflow", 0},
                                                             {"soil_types", 1},
                                                             {"aquifer_thickness_1", 1},
                                                             {"aquifer_thickness_2", 80},
                                                             {"gw_k_x_1", 1e-5},
                                                             {"gw_k_y_1", 1e-5},
                                                             {"gw_k_x_2", 1e-4},
                                                             {"gw_k_y_2", 2e-4},
                                                             {"gw_storage_coeff_1", 0.1},
                                                             {"gw_storage_coeff_2", 0.01},
                                                             {"gw_boundary_fix_h_1", -9999},
                                                             {"gw_boundary_fix_h_2", -9999},
                                                             {"gw_boundary_fix_q_1", -9999},
                                                             {"gw_boundary_fix_q_2", -9999},
                                                             {"gw_kolmation_1", 1e-6}};
  BasinOptions basin;
  for (const auto& [name, value] : grids) {
    // The east column of layer 2 is held at 500 m, above the layer's bottom (at most 504 + 60 -
    // 82.5 m); everything else is uniform.
    std::ostringstream text;
    text << "ncols " << kCols << "\nnrows " << kRows
         << "\nxllcorner 1000\nyllcorner 2000\ncellsize 100\nnodata_value -9999\n";
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c)
        text << (name == "gw_boundary_fix_h_2" && c == kCols ? 500.0 : value)
             << (c == kCols ? "\n" : " ");
    WriteFile(dir_ / (name + ".asc"), text.str());
    basin.grids.push_back("$d//" + name + ".asc " + name +
                          " fillcode = 0 readcode = 1 writecode = 0");
  }
  basin.soil_table =
      "[soil_table]\n1\n1 loam method MultipleHorizons {\nlayers = 1; ksat = 2.89e-6; "
      "theta_sat = 0.43; theta_res = 0.078;\nalpha = 3.6; Par_n = 1.56; thickness = 2.5;\n}\n";
  basin.extra =
      "[groundwater_flow]\n1\n60\n1 method\n500 maxiter\n1e-6 maxerror\n1 alpha\n1.5 sor\n"
      "0 grid read\n2 layers\n3 2 control cell\ncp.txt\n0 no ponds\n"
      "h1.asc\n1\ntx1.asc\n0\nty1.asc\n0\nb1.asc\n0\nh2.asc\n1\ntx2.asc\n1\nty2.asc\n1\nb2."
      "asc\n1\n";
  // A tracer that the aquifer carries (its layer-2 concentration is written: an evaporating
  // tracer's grids hold concentrations).
  basin.substances =
      "[substance_transport]\n1\ncl_ non_radioactive evaporating min_conc = 0 max_conc = 100 "
      "mg/l "
      "soilini = 2 "
      "gwini = 2 statcode = 0 gridcode = 1 path = $d//out/ statext = sta gridext = grd\n";
  std::vector<std::string> first;
  for (const int processes : {1, 3}) {
    SCOPED_TRACE("processes " + std::to_string(processes));
    Write(basin);
    const RunResult result = Run(processes);
    ASSERT_EQ(result.exit_status, 0) << result.Describe();
    std::vector<std::string> outputs;
    for (const char* file : {"h2.asc", "tx2.asc", "b2.asc", "cp.txt", "cl_2grou.grd"})
      outputs.push_back(Output(file));
    if (first.empty()) first = outputs;
    for (std::size_t i = 0; i < outputs.size(); ++i) EXPECT_EQ(outputs[i], first[i]) << i;
  }
  // Layer 2 drains towards its held east edge: next to it the heads fall further from their
  // start (surface - 1 m) than one column further west.
  const auto lines = SplitLines(first[0]);
  ASSERT_EQ(lines.size(), 6u + kRows) << first[0];
  for (int r = 1; r <= kRows; ++r) {
    std::istringstream row(lines[5 + r]);
    double h[kCols + 1] = {};
    for (int c = 1; c <= kCols; ++c) row >> h[c];
    EXPECT_EQ(h[kCols], 500.0);
    const auto start = [r](int c) { return 500.0 + 10 * r + c - 1.0; };
    EXPECT_LT(h[kCols - 1] - start(kCols - 1), h[kCols - 2] - start(kCols - 2)) << r;
  }
  EXPECT_EQ(SplitLines(first[3]).size(), 2u) << first[3];
  // Water of one concentration mixes to the same concentration everywhere.
  const auto tracer_lines = SplitLines(first[4]);
  ASSERT_EQ(tracer_lines.size(), 6u + kRows) << first[4];
  for (int r = 1; r <= kRows; ++r) {
    std::istringstream row(tracer_lines[5 + r]);
    for (int c = 1; c <= kCols; ++c) {
      double value = 0;
      row >> value;
      EXPECT_NEAR(value, 2.0, 1e-6) << r << "," << c;
    }
  }
}

// Faults of the outputs end the run with their FATAL entry (and never with the success line):
// a disk that fills up while the run writes (writes to one file fail with ENOSPC through
// full_disk_shim.cpp: a table, the diagnostics file, whose failure only the screen can show,
// the process log), an output file that cannot be opened (a folder in its place: the reason is
// named), an output folder that another run holds (the refused run leaves that run's compiled
// control file alone), a diagnostics file that another run holds (locked: the refused run
// leaves it as it is), two special-output blocks of one file; an unknown special-output ID only
// warns. A run held in its set-up (full_disk_shim.cpp) while the same control file, edited, runs
// from another folder ends with the outputs of its own control file, as it would alone. A run
// (without mpirun) whose screen closes at its first byte ("velorn run.ctl | head -c 1") runs to
// its end, notes the closed screen in its file and gives up its lock.
TEST_F(BasinRun, OutputFaultsEndTheRunWithoutSuccess) {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  const std::string block =
      "{\nheader = points; filename = points.txt;\nentity { ID = param; Symbol = P; Xcoords = "
      "1150, 1350; Ycoords = 2550 2150; }\n}\n";
  struct Case {
    const char* name;
    std::string from, to;   // a change of run.ctl
    std::string full_disk;  // the file whose writes fail (end of its path), empty for none
    std::string blocked;    // an output file made a folder, empty for none
    bool foreign_lock;
    bool diag_in_use;
    int exit_status;
    std::string entry;  // part of the screen line expected
    bool twin = false;  // the same control file, edited, runs from another folder meanwhile
    bool closed_screen = false;  // the run's standard output is a pipe closed after one byte
  };
  const Case cases[] = {
      {"disk full: table", "", "", "param.sta", "", false, false, 18,
       "param.sta: No space left on device"},
      {"disk full: diagnostics file", "", "", "Velorn_Diag_0.xml", "", false, false, 18,
       "cannot write the diagnostics file Velorn_Diag_0.xml: No space left on device"},
      {"disk full: special output", "numfiles = 1;\n" + block, "numfiles = 1;\n" + block,
       "points.txt", "", false, false, 18, "points.txt ! (rows): No space left on device"},
      {"table cannot be opened", "", "", "", "out/param.sta", false, false, 15,
       "param.sta: Is a directory"},
      {"folder in use", "", "", "", "", true, false, 26,
       "is in use by the run of process 1 on " + std::string(host) + " (lock file "},
      {"diagnostics in use", "", "", "", "", false, true, 26,
       "FATAL: the diagnostics file Velorn_Diag_0.xml is in use by another run"},
      {"one file twice", "numfiles = 1;\n" + block, "numfiles = 2;\n" + block + block, "", "",
       false, false, 17, "two file blocks write the file "},
      // The WARNING names the IDs near the one given.
      {"unknown ID", "ID = param;", "ID = parm;", "", "", false, false, 0,
       "points.txt hold -9999 (nearest IDs: param"},
      {"one control file from two folders", "", "", "", "", false, false, 0,
       "reached end of simulation sucessfully", true},
      {"screen closed", "", "", "", "", false, false, 0, "-", false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Write("");
    if (!c.from.empty()) {
      std::string text = ReadFile(dir_ / "run.ctl");
      ASSERT_NE(text.find(c.from), std::string::npos);
      WriteFile(dir_ / "run.ctl", text.replace(text.find(c.from), c.from.size(), c.to));
    }
    const std::string lock = (dir_.path() / "out" / "velorn.lock").string();
    // The compiled control file of the running run, which a refused run must not touch.
    const std::string running_compiled = "[the running run's compiled control file]\n";
    if (c.foreign_lock) {
      WriteFile(lock, "1 " + std::string(host) + "\n");
      WriteFile(dir_ / "run.ctl.$$$", running_compiled);
    }
    if (!c.blocked.empty()) {
      fs::remove_all(dir_.path() / c.blocked);
      fs::create_directories(dir_.path() / c.blocked);
    }
    RunOptions options;
    options.processes = 2;
    options.directory = dir_.path().string();
    const fs::path twin = dir_.path() / "twin", release = dir_.path() / "release";
    if (c.twin) {
      // Paths relative to the working directory; the twin folder holds a copy of the inputs.
      WriteFile(dir_ / "run.ctl", ControlFile(".", "out", BasinOptions{}));
      fs::create_directories(twin);
      for (const char* input : {"zone.asc", "dem.asc", "param.asc", "MpiSpeedFactor.dat"})
        fs::copy_file(dir_.path() / input, twin / input, fs::copy_options::overwrite_existing);
      options.environment = {"LD_PRELOAD=" + std::string(std::getenv("VELORN_FULL_DISK_SHIM")),
                             "VELORN_HOLD_NAME=zone.asc", "VELORN_HOLD_UNTIL=" + release.string(),
                             "ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0"};
      options.while_running = [&](int) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!fs::exists(lock) && std::chrono::steady_clock::now() < deadline)
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::string text = ReadFile(dir_ / "run.ctl");
        WriteFile(dir_ / "run.ctl", text.replace(text.find("1150"), 4, "1250"));
        RunOptions second;
        second.processes = 2;
        second.directory = twin.string();
        const RunResult result = RunVelorn(second, {"../run.ctl"});
        EXPECT_EQ(result.exit_status, 0) << result.Describe();
        WriteFile(release.string(), "");
      };
    }
    if (!c.full_disk.empty())
      options.environment = {"LD_PRELOAD=" + std::string(std::getenv("VELORN_FULL_DISK_SHIM")),
                             "VELORN_FULL_DISK_NAME=" + c.full_disk,
                             "ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0"};
    // The running run's diagnostics file, locked as that run holds it.
    const std::string running = "<?xml version='1.0'?>\n<Diag>\n\t<line of=\"the running run\"/>\n";
    int holder = -1;
    if (c.diag_in_use) {
      WriteFile(dir_ / "Velorn_Diag_0.xml", running);
      holder = open((dir_.path() / "Velorn_Diag_0.xml").c_str(), O_RDONLY);
      ASSERT_EQ(flock(holder, LOCK_EX), 0);
    }
    RunResult result;
    if (c.closed_screen) {
      const char* binary = std::getenv("VELORN_BINARY");
      result = RunCommand(dir_.path().string(),
                          {"bash", "-c", "\"$0\" run.ctl | head -c 1; exit ${PIPESTATUS[0]}",
                           binary != nullptr ? binary : "velorn"});
      result.diag = ReadFile(dir_ / "Velorn_Diag_0.xml");
      EXPECT_TRUE(HasLine(result, 2,
                          "the screen (standard output) takes no more lines: the run goes on, its "
                          "messages are written to this file only"))
          << result.diag;
    } else {
      result = RunVelorn(options, {"run.ctl"});
    }
    if (holder >= 0) close(holder);
    EXPECT_EQ(result.exit_status, c.exit_status) << result.Describe();
    EXPECT_NE(result.out.find(c.entry), std::string::npos) << result.Describe();
    if (c.diag_in_use) {
      EXPECT_EQ(result.diag, running);
    }
    EXPECT_EQ(result.diag.find("reached end of simulation sucessfully") != std::string::npos,
              c.exit_status == 0);
    if (c.twin) {
      EXPECT_EQ(Output("param.sta"), std::string(kStatisticsHead) + kStatisticsRow);
      EXPECT_EQ(Output("points.txt"), std::string(kPointsHead) + kPointsRow);
      fs::remove_all(twin);
      fs::remove(release);
    }
    // The lock goes with the run that took it; another run's lock stays.
    EXPECT_EQ(fs::exists(lock), c.foreign_lock);
    if (c.foreign_lock) {
      EXPECT_EQ(ReadFile(dir_ / "run.ctl.$$$"), running_compiled);
      for (const auto& entry : fs::directory_iterator(dir_.path()))
        EXPECT_EQ(entry.path().filename().string().rfind("run.ctl.$$$.", 0), std::string::npos)
            << entry.path();
    }
    fs::remove(lock);
    if (!c.blocked.empty()) fs::remove_all(dir_.path() / c.blocked);
  }
}

}  // namespace
}  // namespace velorn::test
