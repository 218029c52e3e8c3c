// Whole runs of two example variants, each with identical outputs on every process and thread
// count: surface routing (front-range-surface-routing.ctl, ten wet days of March: the soil
// zone's direct runoff is routed over the terrain to the stream cells, method 4 on 1 process
// with 1 and 4 threads and on 2 and 3 processes, method 6 over five days on 1 and 3 processes,
// its total runoff going to discharge routing), and groundwater in two layers
// (front-range-groundwater.ctl, its first three days on 1 and 3 processes: the groundwater model
// starts under the soil zone, which provides its water table, recharge and base flow grids, and
// the streams take base flow from the soil columns).
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/example_sections.h"
#include "tests/support/test_files.h"
#include "tests/support/velorn_runner.h"
#include "tests/support/water_balance_table.h"

namespace velorn::test {
namespace {

namespace fs = std::filesystem;

using Outputs = std::map<std::string, std::string>;

// How a run is steered while it runs: the exit status it ends with, what it reads on its
// standard input, a synchronisation file written before it starts, and what is done while it
// runs (given its folder and mpirun's process id).
struct Steering {
  int exit_status = 0;
  std::string input;
  std::string sync;
  std::function<void(const fs::path&, int)> while_running;
};

// Runs `control` of the example (with its extra grid files) after the replacements `edits` on
// `processes` x `threads`; the outputs but the per-process storage files (unless `steering` is
// given: then all of them, the state manifest but its run line).
Outputs RunVariant(const std::string& control_name, const std::vector<const char*>& files,
                   const std::vector<std::pair<std::string, std::string>>& edits, int processes,
                   int threads, const Steering* steering = nullptr) {
  TempDir dir;
  CopyExample(dir.path());
  for (const char* file : files)
    fs::copy_file(ExampleDir() / file, dir.path() / file, fs::copy_options::overwrite_existing);
  std::string control = ReadFile((ExampleDir() / control_name).string());
  for (const auto& [from, to] : edits) {
    const std::size_t at = control.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) control.replace(at, from.size(), to);
  }
  WriteFile(dir / control_name, control);
  WriteFile(dir / "MpiSpeedFactor.dat", "1.0\n");
  RunOptions options;
  options.processes = processes;
  options.directory = dir.path().string();
  options.environment = {"OMP_NUM_THREADS=" + std::to_string(threads)};
  // Soil water and surface routing: minutes under the sanitizers.
  options.timeout_seconds = 600;
  if (steering != nullptr) {
    if (!steering->sync.empty()) WriteFile(dir / "sync.txt", steering->sync);
    options.input = steering->input;
    if (steering->while_running)
      options.while_running = [&](int mpirun) { steering->while_running(dir.path(), mpirun); };
  }
  const RunResult result = RunVelorn(options, {control_name});
  EXPECT_EQ(result.exit_status, steering != nullptr ? steering->exit_status : 0)
      << result.Describe();
  auto outputs = OutputFiles(dir.path() / "output");
  if (steering == nullptr) {
    std::erase_if(outputs, [](const auto& file) { return file.first.starts_with("soilstorage_"); });
  } else if (fs::exists(dir / "output/velorn_state.txt")) {
    std::string manifest = ReadFile(dir / "output/velorn_state.txt");
    const std::size_t run = manifest.find("\nrun ");
    if (run != std::string::npos) manifest.erase(run, manifest.find('\n', run + 1) - run);
    outputs["velorn_state.txt"] = manifest;
  }
  return outputs;
}

void ExpectSame(const Outputs& outputs, const Outputs& first) {
  ASSERT_EQ(outputs.size(), first.size());
  for (const auto& [name, text] : outputs) EXPECT_TRUE(text == first.at(name)) << name;
}

// One test per method, so that CTest runs the two side by side.
class SurfaceRoutingRun : public ::testing::TestWithParam<int> {};

TEST_P(SurfaceRoutingRun, SameOutputsOnEveryProcessAndThreadCount) {
  const std::string method_line =
      "4          # method: single direction, steepest descent of the water surface";
  const std::string model_end =
      "0          # end: hour, day, month, year (the last daily step, 19 March 2019)\n19\n";
  {
    const int method = GetParam();
    Outputs first;
    const int runs[][2] = {{1, 1}, {1, 4}, {2, 1}, {3, 1}};
    for (const auto& run : runs) {
      // The head iteration runs the first five days on 1 and 3 processes.
      if (method == 6 && (run[1] == 4 || run[0] == 2)) continue;
      SCOPED_TRACE("method " + std::to_string(method) + ", processes " + std::to_string(run[0]) +
                   ", threads " + std::to_string(run[1]));
      std::vector<std::pair<std::string, std::string>> edits;
      if (method == 6) edits = {{method_line, "6"}, {model_end, "0\n14\n"}};
      const Outputs outputs =
          RunVariant("front-range-surface-routing.ctl", {"river_width.asc", "river_depth.asc"},
                     edits, run[0], run[1]);
      for (const char* name : {"qgsr.stat", "surfstor.stat", "discharge.stat", "water_balance.txt"})
        ASSERT_EQ(outputs.count(name), 1u) << name;
      // The soil zone's account closes under surface routing, which takes its runoff.
      for (const AccountRow& row : ReadAccount(outputs.at("water_balance.txt")))
        EXPECT_TRUE(Closes(row.residual, row.precipitation)) << row.subbasin << " " << row.residual;
      if (first.empty())
        first = outputs;
      else
        ExpectSame(outputs, first);
    }
  }
}

// Surface routing and irrigation on, their grids and stacks of the run's end and the state
// written (code 3), from 10 March: the coupled program says "Finish" after the first step, or a
// Ctrl-C answered with 1 comes while the run waits for it there. Either way the run ends with the
// step of 11 March (99), and every model takes that step as its end: every output and the state are
// those of the run that ends on 11 March, byte for byte (without the end moved, the grids that
// surface routing and irrigation write at the end would be missing).
TEST_P(SurfaceRoutingRun, AFinishOrACtrlCEndsTheRunAsTheRunThatEndsAtThatStep) {
  std::vector<std::pair<std::string, std::string>> edits = {
      {"[standard_grids]\n7\n", "[standard_grids]\n8\nirrigation.asc irrigation_codes 0\n"},
      {"[irrigation]\n0          # no irrigation",
       "[irrigation]\n1\n1440\nirr_gw.stat 2001\nirr_sw.stat 2001\n[irrigation_table]\n1\n"
       "12 meadow 3 2 1 0.33\n"},
      {"irrig.dbl\n0\n", "irrig.dbl\n3\n"},
      {"velocity.stk     # velocity stack, not written\n0\n", "velocity.stk\n3\n"}};
  for (const char* line : kStateLines)  // the state, written at the end
    edits.push_back({line + std::string("\n0\n"), line + std::string("\n3\n")});
  if (GetParam() == 6)
    edits.push_back(
        {"4          # method: single direction, steepest descent of the water surface", "6"});
  const std::vector<const char*> files = {"river_width.asc", "river_depth.asc", "irrigation.asc"};
  auto straight_edits = edits;
  straight_edits.push_back(
      {"0          # end: hour, day, month, year (the last daily step, 19 March 2019)\n19\n",
       "0\n11\n"});
  const Steering plain;
  const Outputs straight =
      RunVariant("front-range-surface-routing.ctl", files, straight_edits, 1, 2, &plain);
  for (const char* name : {"velocity.stk", "irrig.dbl", "irr_sw.stat", "velorn_state.txt"})
    ASSERT_EQ(straight.count(name), 1u) << name;
  edits.push_back({"[ExternalCoupling]\n0 ",
                   "[ExternalCoupling]\n1\n./sync.txt\n10\nI\n1440\n0\n0\n0\n./"
                   "to_partner.txt\nCommand=Continue;\n# "});
  for (const bool ctrl_c : {false, true}) {
    SCOPED_TRACE(ctrl_c ? "Ctrl-C, choice 1" : "Finish");
    Steering steering;
    steering.exit_status = 99;
    steering.sync = "Command=Continue;\n";
    for (int answer = 0; ctrl_c && answer < 5000; ++answer) steering.input += "1\n";
    steering.while_running = [ctrl_c](const fs::path& dir, int mpirun) {
      const fs::path to_partner = dir / "to_partner.txt";
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(300);
      while (!fs::exists(to_partner) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      fs::remove(to_partner);
      if (ctrl_c) {
        kill(mpirun, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
      }
      WriteFileWhole((dir / "sync.txt").string(),
                     ctrl_c ? "no command here\n" : "Command=Finish;\n");
    };
    ExpectSame(RunVariant("front-range-surface-routing.ctl", files, edits, 1, 2, &steering),
               straight);
  }
}

INSTANTIATE_TEST_SUITE_P(Method, SurfaceRoutingRun, ::testing::Values(4, 6));

// One test per interaction mode, so that CTest runs the two side by side.
class GroundwaterRun : public ::testing::TestWithParam<int> {};

TEST_P(GroundwaterRun, StartsUnderTheSoilZoneAndRunsAlikeOnOneAndThreeProcesses) {
  // Interaction 2 with the table started deeper than the stream beds: the streams lose water to
  // the columns from the routing records of their links, whose cells one process computes.
  const std::vector<std::pair<std::string, std::string>> losing = {
      {"1          # exchange with river water", "2          # exchange with river water"},
      {"2          # ini_gw_level", "1          # ini_gw_level"},
      {"gwin.stat 0", "gwin.stat 2001"}};
  {
    const int interaction = GetParam();
    Outputs first;
    // 4 and 6: the row-implicit pass (method 2) over five days (on 3 processes it cut the runs
    // of a row where another process's cells began: the heads differed from 1 process).
    const bool row_implicit = interaction == 4 || interaction == 6;
    for (const int processes : {1, 3}) {
      SCOPED_TRACE("interaction " + std::to_string(interaction) + ", processes " +
                   std::to_string(processes));
      auto edits = interaction == 2 ? losing : decltype(losing){};
      // 3: interaction 1 with soil layers that conduct 1e-2 m/s: a day drains cells of layer 1
      // to its bottom, and the column gives the base flow from layers the table has left.
      // 4 and 6: the same with the row-implicit pass at 1e-3 and 1e-2 m/s: cells drained to
      // layer 1's bottom give their neighbours only what they hold (the soil column gave base
      // flow from water it did not hold: -0.49 and -387 mm).
      const char* conductivity = interaction == 4 ? "1e-3" : "1e-2";
      if (interaction == 3 || row_implicit)
        for (const char* axis : {"x", "y"})
          edits.emplace_back(
              std::string("gw_k_") + axis + "_1 0 readcode=0 defaultValue=1.2e-5",
              std::string("gw_k_") + axis + "_1 0 readcode=0 defaultValue=" + conductivity);
      if (row_implicit)
        edits.emplace_back("1          # method: successive over-relaxation of each layer", "2");
      // 5: the meadows irrigated from the groundwater (most beside the streams, where layer 1
      // holds a fixed head): the account books all the irrigation water as pumped (it booked
      // what layer 1 held, 1.35 of 3.85 mm, or nothing at fixed heads). Thresholds of 0.1 and
      // 0.05 m suction let the wet soil of January ask for water.
      if (interaction == 5) {
        edits.emplace_back("[irrigation]\n0          # no irrigation",
                           "[irrigation]\n1\n1440\nirr_gw.stat 2001\nirr_sw.stat 0\n"
                           "[irrigation_table]\n1\n12 meadow 3 1 0.1 0.05\n");
        edits.emplace_back("[standard_grids]\n21\n",
                           "[standard_grids]\n22\nirrigation.asc irrigation_codes 0\n");
      }
      edits.emplace_back("(the last daily step, 31 March 2019)\n31\n3\n",
                         row_implicit ? "\n5\n1\n" : "\n3\n1\n");
      const Outputs outputs = RunVariant(
          "front-range-groundwater.ctl",
          {"gw_boundary_fix_h_1.asc", "river_width.asc", "river_depth.asc", "irrigation.asc"},
          edits, processes, 2);
      ASSERT_EQ(outputs.count("qg.stat"), 1u);
      // Interaction 1: the water table stands above the stream beds, the streams take base flow
      // every day. Interaction 2: the streams give water once routing offers it (day 2 on).
      const std::string& table = outputs.at(interaction == 2 ? "gwin.stat" : "qb.stat");
      const std::size_t day = table.find("2019\t 1\t 3");
      ASSERT_NE(day, std::string::npos) << table;
      const std::string mean = table.substr(table.rfind('\t', table.find('\n', day)) + 1);
      EXPECT_GT(std::stod(mean), 0.0) << table;
      // The account closes with the aquifer in it (see tests/runs/water_balance_test.cpp).
      ASSERT_EQ(outputs.count("water_balance.txt"), 1u);
      for (const AccountRow& row : ReadAccount(outputs.at("water_balance.txt")))
        EXPECT_TRUE(Closes(row.residual, row.precipitation)) << row.subbasin << " " << row.residual;
      if (interaction == 5) {
        // The basin's irrigation over the three days (last column of irr_gw.stat) is what the
        // run's basin row books as pumped.
        std::istringstream daily(outputs.at("irr_gw.stat"));
        double irrigated = 0;
        for (std::string line; std::getline(daily, line);)
          if (line.starts_with("2019")) irrigated += std::stod(line.substr(line.rfind('\t') + 1));
        const std::string& account = outputs.at("water_balance.txt");
        std::istringstream header(account.substr(account.find("period")));
        int column = 0;
        for (std::string name; header >> name && name != "groundwater_pumping";) ++column;
        std::istringstream basin(account.substr(account.find("run\tbasin")));
        std::string value;
        for (int k = 0; k <= column; ++k) basin >> value;
        EXPECT_GT(irrigated, 1.0);
        EXPECT_NEAR(-std::stod(value), irrigated, 2e-4) << account;
      }
      if (first.empty())
        first = outputs;
      else
        ExpectSame(outputs, first);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Interaction, GroundwaterRun, ::testing::Values(1, 2, 3, 4, 5, 6));

}  // namespace
}  // namespace velorn::test
