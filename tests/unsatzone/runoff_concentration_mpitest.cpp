// Runoff concentration of the soil zone on 1, 2 and 3 processes: the cells of a subbasin are
// dealt out over the processes (cell i to process i mod size), and every result on process 0
// must be the one of a single process. Hand values: the linear storage's response to constant
// inflow, the translation of a pulse through the flow-time zones, the first steps of a run.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/error_code.h"
#include "core/exact_reduction.h"
#include "core/nodata.h"
#include "tests/support/test_helpers.h"
#include "tests/support/test_mpi.h"
#include "unsatzone/runoff_concentration.h"

namespace velorn {
namespace {

constexpr double kNodata = -9999;

class RunoffConcentrationTest : public test::DiagTest {
 protected:
  RunoffConcentrationTest() : test::DiagTest(test::TempDir::Shared()) {}

  // Cells (subbasin, flow time s, weight) of the whole basin; this process keeps its share.
  void Setup(const std::vector<FlowTimeCell>& basin, bool with_grid, int substeps = 1,
             int subbasins = 1) {
    for (std::size_t i = 0; i < basin.size(); ++i)
      if (static_cast<int>(i) % test::Size() == test::Rank()) {
        mine_.push_back(basin[i]);
        mine_.back().row = static_cast<int32_t>(i);
      }
    runoff_.Allocate(subbasins, 0);
    std::vector<double> codes(static_cast<std::size_t>(subbasins) + 1);
    for (int s = 0; s <= subbasins; ++s) codes[s] = 10 + s;
    zones_ = runoff_.SetupZones(diag_, mine_, with_grid, "flow.asc", 60, substeps, codes,
                                (dir_.path() / "modell_0.log").string(), kNodata);
    kelsqd_.assign(static_cast<std::size_t>(subbasins) + 1, 60.0 / std::log(2.0));
    kelsqi_ = kelsqd_;
    rel_.assign(static_cast<std::size_t>(subbasins) + 1, 1.0);
  }
  // One step of `runoff` over `cells` (zones `zones`): `direct(cell index)` mm per sub-step.
  template <class Runoff>
  void StepOf(RunoffConcentration& runoff, const std::vector<FlowTimeCell>& cells,
              const std::vector<int32_t>& zones, Runoff direct, int substeps, bool routing,
              MPI_Comm comm) {
    runoff.BeginStep();
    std::vector<ZoneRecord> qb(static_cast<std::size_t>(runoff.subbasins()) + 1);
    for (int k = 0; k < substeps; ++k)
      for (std::size_t i = 0; i < cells.size(); ++i)
        runoff.AddCellRunoff(0, cells[i].subbasin, zones[i], direct(cells[i].row), 0,
                             cells[i].weight, 0, substeps);
    RunoffConcentration::StepTables tables;
    tables.qb = &qb;
    runoff.FinishStep(tables, kelsqd_, kelsqi_, rel_, nullptr, routing, 60, comm);
  }
  template <class Runoff>
  void Step(Runoff direct, int substeps = 1, bool surface_routing = false) {
    StepOf(runoff_, mine_, zones_, direct, substeps, surface_routing, MPI_COMM_WORLD);
  }

  RunoffConcentration runoff_;
  std::vector<FlowTimeCell> mine_;
  std::vector<int32_t> zones_;
  std::vector<double> kelsqd_, kelsqi_, rel_;
};

TEST(RunoffFormulas, ZonesAndStorageFactors) {
  EXPECT_EQ(FlowTimeZone(3600, 60, kNodata), 1);
  EXPECT_EQ(FlowTimeZone(3601, 60, kNodata), 2);
  EXPECT_EQ(FlowTimeZone(0, 60, kNodata), 0);
  EXPECT_EQ(FlowTimeZone(-5, 60, kNodata), 0);
  EXPECT_EQ(FlowTimeZone(kNodata, 60, kNodata), 0);
  // e^(-1/5), previous outflow 10, inflow 2 (oracles: linear reservoir, exact for constant inflow).
  EXPECT_NEAR(LinearStorageOutflow(2, 10, StorageFactor(60, 300, false)), 8.549846, 1e-6);
  EXPECT_EQ(StorageFactor(60, 300, true), 0.0);
  EXPECT_EQ(StorageFactor(60, 0.06, false), 0.0);  // 0.06 min: outflow = inflow
  // TOPMODEL's exponential store (Beven and Kirkby 1979): z = -2 m, 1/m = 0.5 gives Q0 / e.
  EXPECT_NEAR(InitialBaseflow(3.0, -2.0, 0.5), 3.0 * std::exp(-1.0), 1e-15);
}

TEST_F(RunoffConcentrationTest, LinearStorageHalvesTheGapEachStep) {
  Setup({{1, 0, 1}, {1, 0, 1}, {1, 0, 1}, {1, 0, 1}}, false);
  const double expected[] = {0.5, 0.75, 0.875, 0.9375};
  for (double e : expected) {
    Step([](int) { return 1.0; });
    if (test::Rank() == 0) {
      EXPECT_DOUBLE_EQ(runoff_.QDd[0][1], e);
    }
  }
  if (test::Rank() == 0) {
    EXPECT_DOUBLE_EQ(runoff_.QD[0][1], 1.0);  // without flow times a step's runoff arrives at once
    EXPECT_DOUBLE_EQ(runoff_.Qg[0][1], runoff_.QDd[0][1] + runoff_.QIi[0][1]);
  }
}

TEST_F(RunoffConcentrationTest, PulseReachesTheOutletZoneMinusOneStepsLater) {
  // Zones 1, 2, 3 (one cell each) and a fourth cell at one second over three steps: zone 4.
  Setup({{1, 3600, 1}, {1, 7200, 1}, {1, 10800, 1}, {1, 10801, 1}}, true);
  EXPECT_EQ(runoff_.maxzeit[1], 4);
  std::vector<double> arrived;
  for (int step = 1; step <= 5; ++step) {
    Step([&](int cell) { return step == 1 && cell == 2 ? 4.0 : 0.0; }, 1, true);
    arrived.push_back(runoff_.QDd[0][1]);
  }
  if (test::Rank() == 0) {
    // The zone-3 cell's 4 mm over the four cells' weights, two steps after the pulse.
    EXPECT_EQ(arrived, (std::vector<double>{0, 0, 1.0, 0, 0}));
  }
}

TEST_F(RunoffConcentrationTest, FirstStepsNeitherCreateNorLoseWater) {
  // Three zones, 24 sub-steps, 1 mm per step from every cell (weights not all 1).
  Setup({{1, 3600, 1}, {1, 7200, 0.5}, {1, 10800, 2}, {1, 7200, 0.5}}, true, 24);
  const double total = 4.0;
  const double expected[] = {1.0 / total, 2.0 / total, 1.0, 1.0};
  for (double e : expected) {
    Step([](int) { return 1.0 / 24; }, 24, true);
    if (test::Rank() == 0) {
      EXPECT_NEAR(runoff_.QD[0][1], e, 1e-15);
    }
  }
}

TEST_F(RunoffConcentrationTest, InvalidFlowTimesDeliverInTheFirstZone) {
  Setup({{1, 0, 1}, {1, kNodata, 1}, {1, -5, 1}, {1, 7200, 1}}, true);
  for (std::size_t i = 0; i < mine_.size(); ++i)
    EXPECT_EQ(zones_[i], mine_[i].seconds == 7200 ? 2 : 1);
  if (test::Rank() == 0) {
    EXPECT_EQ(runoff_.zoneFZT_QD[0][1][1][3], 0.75);
  }
  Step([](int cell) { return cell < 3 ? 1.0 : 0.0; }, 1, true);
  if (test::Rank() == 0) {
    EXPECT_DOUBLE_EQ(runoff_.QD[0][1], 0.75);
  }
}

TEST_F(RunoffConcentrationTest, EmptyFirstZoneEndsTheRun) {
  // Subbasin 1's cells all lie in zone 2: code 61.
  RunoffConcentration other;
  other.Allocate(2, 0);
  std::vector<FlowTimeCell> cells;
  if (test::Rank() == 0) cells.push_back({1, 7200, 1});
  const int code = test::ThrownCode(
      [&] {
        other.SetupZones(diag_, cells, true, "flow.asc", 60, 1, {0, 11, 12},
                         (dir_.path() / "modell_0.log").string(), kNodata);
      },
      0);
  EXPECT_EQ(code, kFirstZoneEmptyCode);
  // A flow time beyond a year (here 1e308 s) would ask for billions of zone records: refused,
  // naming the grid, the cell and the value (process 0 alone, before any collective call).
  if (test::Rank() == 0) {
    RunoffConcentration alone;
    alone.Allocate(2, 0);
    const std::vector<FlowTimeCell> far = {{1, 3600, 1, 1, 1}, {2, 1e308, 1, 4, 7}};
    EXPECT_EQ(test::ThrownCode(
                  [&] {
                    alone.SetupZones(diag_, far, true, "flow.asc", 60, 1, {0, 11, 12},
                                     (dir_.path() / "modell_0.log").string(), kNodata,
                                     MPI_COMM_SELF);
                  },
                  0),
              kGridFormatCode);
    EXPECT_TRUE(
        ScreenHas("grid flow.asc: the cell at row 4, column 7 holds 1e+308 s, a flow "
                  "time beyond a year (3.16224e+07 s)"))
        << screen_.str();
  }
}

TEST_F(RunoffConcentrationTest, SameTotalRunoffOnEveryProcessCount) {
  // Two subbasins, eight cells with flow times over three zones and uneven weights; runoff and
  // weights of dyadic values, whose sums no split rounds, and of tenths and thirds, whose
  // partial sums per process rounded apart (the last bits differed on 2 and 3 processes).
  for (const double unit : {0.125, 0.1 / 3}) {
    SCOPED_TRACE(unit);
    std::vector<FlowTimeCell> basin;
    for (int i = 0; i < 8; ++i)
      basin.push_back({1 + i % 2, 3600.0 * (1 + i % 3), 2 * unit * (1 + i % 4)});
    mine_.clear();
    Setup(basin, true, 4, 2);
    // As storage-content files of earlier versions held them, each process keeps a part of
    // process 0's records (halves and quarters, exact): the first step adds them up again.
    for (auto* b : {&runoff_.zoneFZT_QD, &runoff_.zoneFZT_QI})
      for (auto& zones : (*b)[0])
        for (ZoneRecord& record : zones) {
          BroadcastBytes(record.field, static_cast<int>(sizeof record));
          const double part = test::Size() == 1   ? 1.0
                              : test::Rank() == 0 ? 0.5
                                                  : 0.5 / (test::Size() - 1);
          for (int f : {0, 1, 4}) record[f] *= part;
        }
    runoff_.RecordsRead();
    for (int step = 1; step <= 4; ++step) Step([&](int cell) { return unit * (cell + step); }, 4);
    std::vector<double> qg = {runoff_.Qg[0][1], runoff_.Qg[0][2], runoff_.QDd[0][2]};
    // The same computed on process 0 alone over all cells.
    if (test::Rank() == 0) {
      for (std::size_t i = 0; i < basin.size(); ++i) basin[i].row = static_cast<int32_t>(i);
      RunoffConcentration alone;
      alone.Allocate(2, 0);
      const std::vector<int32_t> zones =
          alone.SetupZones(diag_, basin, true, "flow.asc", 60, 4, {0, 11, 12},
                           (dir_.path() / "modell_0.log").string(), kNodata, MPI_COMM_SELF);
      for (int step = 1; step <= 4; ++step)
        StepOf(
            alone, basin, zones, [&](int cell) { return unit * (cell + step); }, 4, false,
            MPI_COMM_SELF);
      EXPECT_EQ(qg, (std::vector<double>{alone.Qg[0][1], alone.Qg[0][2], alone.QDd[0][2]}));
      EXPECT_GT(qg[0], 0);
    }
  }
}

TEST_F(RunoffConcentrationTest, InitialTotalRunoffIsTheBasinMeanAndNeverNaN) {
  // Subbasin 1: cells on every process; subbasin 2: only weight 0; subbasin 3: no cell at all;
  // subbasin 4: ten cells of 0.1 spread over the processes, whose sum 1.0000000000000000555
  // rounds to 1 (added one by one in doubles it is 0.9999999999999999), so the mean is 0.1.
  std::vector<ExactSum> weighted(5), weights(5);
  const double q = InitialBaseflow(2.0, -2.0, 0.5);
  weighted[1].Add(q * 0.5 * (test::Rank() + 1));
  weights[1].Add(0.5 * (test::Rank() + 1));
  for (int cell = 0; cell < 10; ++cell)
    if (cell % test::Size() == test::Rank()) {
      weighted[4].Add(0.1);
      weights[4].Add(1.0);
    }
  const std::vector<double> qg = InitialTotalRunoff(weighted, weights);
  EXPECT_NEAR(qg[1], q, 1e-15);
  EXPECT_EQ(qg[2], 0.0);
  EXPECT_EQ(qg[3], 0.0);
  EXPECT_EQ(qg[4], 0.1);
}

}  // namespace
}  // namespace velorn
