// The surface-routing solver gives the same heads, storages, discharges, channel water, tracer
// concentrations and total runoff on any number of processes and threads: a 9 x 7 catchment with
// a channel column and a cell outside the basin, routed by methods 4 and 6 over several steps,
// first on process 0 alone (the other processes own no cell but join every collective) with one
// and with four threads, then distributed over all processes of the test; every cell must agree
// to the last bit.
#include <gtest/gtest.h>
#include <mpi.h>
#include <omp.h>

#include <cmath>
#include <vector>

#include "core/tracer_bookkeeping.h"
#include "grids/mpi_layout.h"
#include "setup/mpi_regions.h"
#include "tests/lateral/surface_routing_harness.h"

namespace velorn::test {
namespace {

constexpr int kRows = 9;
constexpr int kCols = 7;

class SurfaceProcesses : public SurfaceBasin {
 protected:
  SurfaceProcesses() : SurfaceBasin(kRows, kCols) {
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) {
        G("[elevation_model]")
        [r][c] = 100 + 0.4 * std::abs(c - 4) + 0.15 * (kRows - r) + 0.03 * std::sin(r * c);
        if (c == 4 && r > 2) Channel(r, c);
      }
    G("zonegrid")[1][7] = -9999;
    Add("_CONC_QD_1_", Fill(0));
    Add("_CONC_QI_1_", Fill(0));
    tracers_[1].name = "cl_";
    tracers_[1].half_time = -9999;
  }
  void Decompose() {
    const RegionGrids grids =
        Rank() == 0 ? RegionGrids{G("zonegrid"), G("zonegrid"), nullptr} : RegionGrids{};
    layout_ = std::move(DecomposeRegions(diag_, {kCols, kRows, -9999}, grids, 1.0).layout);
    RegisterMpiGrids(diag_, registry_, layout_);
    setup_.mpi = &layout_;
    setup_.first_local_row = layout_.first_row;
    setup_.last_local_row = layout_.last_row;
  }
  // Per cell of the grid: head, storage, directflow, discharges 0..8, the surface water's tracer
  // concentration; own cells only (0 else), then the total runoff of process 0. The runoff's
  // concentration differs from cell to cell, so that cells mix different waters.
  std::vector<double> RunAndTake(int method) {
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) G("SurfStorSiltingUp")[r][c] = 0;
    Start(0, 0, 0, Section(method, "10", "10", "300"));
    int32_t error = 0;
    model_->SetupTracers(error, 1, tracers_.data(), nullptr, 0);
    EXPECT_EQ(error, 0);
    const double runoff[] = {6.0, 0.5, 9.0, 0.0};
    for (double q : runoff) {
      for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) G("_CONC_QD_1_")[r][c] = 1 + (r * 3 + c * 5) % 7;
      model_->BeginStep(0, 1, 6, 2001);
      Route(q);
      model_->FinishStep();
    }
    std::vector<double> values;
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) {
        const bool own = r >= setup_.first_local_row && r <= setup_.last_local_row &&
                         (setup_.mpi == nullptr || layout_.regions[r][c] == Rank()) &&
                         G("zonegrid")[r][c] != -9999;
        values.push_back(own ? Head()[r][c] : 0.0);
        values.push_back(own ? G("SurfStorSiltingUp")[r][c] : 0.0);
        values.push_back(own ? G("directflow")[r][c] : 0.0);
        for (int k = 0; k <= 8; ++k)
          values.push_back(own ? model_->stack_data[kSurfFluxes][r][c][k] : 0.0);
        values.push_back(own ? model_->tracer_surface_grids[1][r][c] : 0.0);
      }
    values.push_back(Rank() == 0 ? model_->Qg[0][1] : 0.0);
    Release();
    return values;
  }
  MpiLayout layout_;
  std::vector<TracerDefinition> tracers_ = std::vector<TracerDefinition>(2);
};

TEST_F(SurfaceProcesses, RoutingDoesNotDependOnProcessesOrThreads) {
  // Process 0 alone, one and four threads.
  setup_.first_local_row = 1;
  setup_.last_local_row = Rank() == 0 ? kRows : 0;
  std::vector<std::vector<double>> references;
  for (int method : {4, 6}) {
    omp_set_num_threads(1);
    references.push_back(RunAndTake(method));
    omp_set_num_threads(4);
    EXPECT_EQ(RunAndTake(method), references.back()) << method;
    if (Rank() == 0) {
      EXPECT_GT(references.back().back(), 0) << method;
    }
    MPI_Bcast(references.back().data(), static_cast<int>(references.back().size()), MPI_DOUBLE, 0,
              MPI_COMM_WORLD);
  }
  // Distributed over all processes; each compares its own cells.
  Decompose();
  for (int m = 0; m < 2; ++m) {
    const std::vector<double>& reference = references[static_cast<std::size_t>(m)];
    const std::vector<double> distributed = RunAndTake(m == 0 ? 4 : 6);
    ASSERT_EQ(distributed.size(), reference.size());
    int differing = 0;
    for (int r = setup_.first_local_row; r <= setup_.last_local_row; ++r)
      for (int c = 1; c <= kCols; ++c) {
        if (layout_.regions[r][c] != Rank()) continue;
        for (int v = 0; v < 13; ++v) {
          const std::size_t i = static_cast<std::size_t>(((r - 1) * kCols + (c - 1)) * 13 + v);
          if (distributed[i] != reference[i]) ++differing;
        }
      }
    EXPECT_EQ(differing, 0) << m;
    if (Rank() == 0) {
      EXPECT_EQ(distributed.back(), reference.back()) << m;
    }
  }
}

}  // namespace
}  // namespace velorn::test
