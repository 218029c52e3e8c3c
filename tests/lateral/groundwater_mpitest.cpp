// The groundwater model gives the same heads, baseflow, balances and tracer concentrations on any
// number of processes
// and threads: a two-layer aquifer with uneven conductivities, leakage, a well, fixed heads and a
// glacier cell, run on one process with one and with four threads, and distributed over all
// processes of the test; every cell must agree to the last bit.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <vector>

#include "core/tracer_bookkeeping.h"
#include "grids/mpi_layout.h"
#include "setup/mpi_regions.h"
#include "tests/lateral/groundwater_fixture.h"

namespace velorn {
namespace {

constexpr int kRows = 9;
constexpr int kCols = 7;
constexpr int kSteps = 4;

struct Snapshot {
  // per cell: head 1, head 2, baseflow, balance 1, balance 2, tracer in layers 1 and 2
  std::vector<double> values;
};

class GroundwaterProcesses : public test::GroundwaterTest {
 protected:
  GroundwaterProcesses() : GroundwaterTest(kRows, kCols, 50.0) {}

  void AddAquifer() {
    AddInputs(2, -0.5, 1e-4, 0.05);
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        G("zones")[r][c] = (r == 5 && c == 1) ? N : 1;
        G("groundwater_distance")[r][c] = -0.2 - 0.05 * r - 0.03 * c;
        G("gw_k_x_2")[r][c] = 1e-4 * (1.0 + 0.3 * std::sin(r * c));
        G("gw_k_y_2")[r][c] = 1e-4 * (1.0 + 0.3 * std::cos(r + c));
        G("gw_storage_coeff_2")[r][c] = 1e-3;
        G("gw_kolmation_1")[r][c] = 1e-7;
        G("gw_boundary_fix_h_2")[r][kCols] = 96.0;
      }
    }
    G("gw_boundary_fix_q_2")[4][3] = -2e-6;
    Add("GlacierizedCells", 0)[7][2] = 1;
  }
  void Decompose() {
    const RegionGrids region_grids =
        test::Rank() == 0 ? RegionGrids{G("zones"), G("zones"), nullptr} : RegionGrids{};
    layout_ = std::move(DecomposeRegions(diag_, {kCols, kRows, N}, region_grids, 1.0).layout);
    RegisterMpiGrids(diag_, registry_, layout_);
    setup_.mpi = &layout_;
    setup_.first_local_row = layout_.first_row;
    setup_.last_local_row = layout_.last_row;
  }
  bool Own(int r, int c) const {
    return setup_.mpi == nullptr || layout_.regions[r][c] == test::Rank();
  }
  Snapshot RunAndTake(int method) {
    EXPECT_EQ(Make(Section(method, 2, method == 1 ? 1.4 : 1.0, 0.8, "0 0", "0", 200, 1e-6), 2), 0)
        << screen_.str();
    // A decaying tracer, uneven in both layers.
    tracers_[1].name = "cl_";
    tracers_[1].radioactive = 1;
    tracers_[1].half_time = 2.0;
    int32_t error = -1;
    model_->SetupTracers(error, 1, tracers_.data(), records_.data(), kZoneStatisticsCapacity);
    EXPECT_EQ(error, 0) << screen_.str();
    for (int l = 1; l <= 2; ++l) {
      double** conc = Grid(FormatText("concstor_tracer_1_layer_%d_groundwater_flow", l));
      for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c)
          if (conc[r] != nullptr && G("zones")[r][c] != N) conc[r][c] = l + std::sin(r * l + c);
    }
    Run(kSteps);
    Snapshot shot;
    for (int r = setup_.first_local_row; r <= setup_.last_local_row; ++r)
      for (int c = 1; c <= kCols; ++c)
        for (const char* name : {"gw_head_1", "gw_head_2", "baseflow", "gw_balance1", "gw_balance2",
                                 "concstor_tracer_1_layer_1_groundwater_flow",
                                 "concstor_tracer_1_layer_2_groundwater_flow"})
          shot.values.push_back(Own(r, c) ? Grid(name)[r][c] : 0.0);
    return shot;
  }
  MpiLayout layout_;
  std::vector<TracerDefinition> tracers_ = std::vector<TracerDefinition>(2);
  std::vector<ZoneStatisticsRecord> records_ =
      std::vector<ZoneStatisticsRecord>(kZoneStatisticsCapacity + 1);
};

TEST_F(GroundwaterProcesses, HeadsBaseflowBalancesAndTracersDoNotDependOnProcessesOrThreads) {
  // The reference on this process alone, one thread; the same with four threads.
  AddAquifer();
  omp_set_num_threads(1);
  const Snapshot one_thread = RunAndTake(1);
  if (test::Size() == 1) {
    // (Only on one process: more threads than cores slow every process of a run down.)
    Reset();
    AddAquifer();
    omp_set_num_threads(4);
    const Snapshot four_threads = RunAndTake(1);
    EXPECT_EQ(one_thread.values, four_threads.values);
  }
  Reset();
  // Distributed: every process compares the cells it owns.
  omp_set_num_threads(2);
  AddAquifer();
  Decompose();
  const Snapshot distributed = RunAndTake(1);
  ASSERT_EQ(distributed.values.size() % 7, 0u);
  std::size_t i = 0;
  int compared = 0;
  for (int r = setup_.first_local_row; r <= setup_.last_local_row; ++r) {
    for (int c = 1; c <= kCols; ++c) {
      for (int k = 0; k < 7; ++k, ++i) {
        if (!Own(r, c)) continue;
        const std::size_t reference = static_cast<std::size_t>(((r - 1) * kCols + c - 1) * 7 + k);
        EXPECT_EQ(distributed.values[i], one_thread.values[reference]) << r << "," << c << "," << k;
        ++compared;
      }
    }
  }
  EXPECT_GT(compared, 0);
}

}  // namespace
}  // namespace velorn
