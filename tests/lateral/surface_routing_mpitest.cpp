// The surface routing frame on 1, 2 and 3 processes: the flow-travel-time zones and the total
// runoff of process 0 are those of one process, to the last bit, also where the cells' runoff does
// not add up exactly in doubles.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "core/exact_sum.h"
#include "tests/lateral/surface_routing_harness.h"

namespace velorn::test {
namespace {

class SurfaceRoutingMpiTest : public SurfaceRoutingTest {
 protected:
  SurfaceRoutingMpiTest() : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir_.path());
    SplitRows();
    AddInputs();
    Add("flow_times", {{1, 1, 2}, {2, 2, 2}, {3, 3, 3}});
  }
  ~SurfaceRoutingMpiTest() override {
    Release();
    std::filesystem::current_path(previous_);
  }
  std::filesystem::path previous_;
};

TEST_F(SurfaceRoutingMpiTest, ZonesAndTotalRunoffDoNotDependOnTheProcessCount) {
  Start(/*kelsqd=*/90, /*kelsqi=*/30, /*baseflow=*/0.125);
  ASSERT_EQ(model_->maxzeit[1], 3);
  const double shares[] = {0, 2.0 / 9, 4.0 / 9, 3.0 / 9};
  for (int j = 1; j <= 3; ++j) EXPECT_EQ(model_->zoneFZT_QD[0][1][j][3], shares[j]) << j;
  // Runoff differs per row and step; every process enters its own rows' cells. The values do not
  // add up exactly in doubles: summed cell by cell and step by step on one process, the outlet's
  // last record would be 7.200000000000001, where its exact sum rounds to 7.199999999999999.
  const double runoff[] = {0.1, 0.1, 0.7, 0.7};
  for (double q : runoff) {
    model_->BeginStep(1, 1, 1, 2001);
    for (long r = setup_.first_local_row; r <= setup_.last_local_row; ++r)
      for (long c = 1; c <= 3; ++c) {
        const int j = static_cast<int>(model_->flow_times[r][c]);
        model_->AddToFlowTimeZone(model_->zoneFZT_QD, 0, 1, j, q * r, 1);
        model_->AddToFlowTimeZone(model_->zoneFZT_QI, 0, 1, j, q, 1);
      }
    model_->FinishStep();
  }
  if (Rank() != 0) return;
  // One process: the same steps computed on the whole grid by hand. Record 1 of step t holds
  // zone 1 of step t, zone 2 of step t-1 and zone 3 of step t-2.
  const double e_d = std::exp(-60.0 / 90), e_i = std::exp(-60.0 / 30);
  double qdd = 0, qii = 0;
  for (int t = 0; t < 4; ++t) {
    // Zone 1: two cells of row 1; zone 2: (1,3) and row 2; zone 3: row 3.
    double sx = 2 * runoff[t], si = 2 * runoff[t], n = 2;
    if (t >= 1) sx += 7 * runoff[t - 1], si += 4 * runoff[t - 1], n += 4;
    if (t >= 2) sx += 9 * runoff[t - 2], si += 3 * runoff[t - 2], n += 3;
    qdd = (sx / n) * (1 - e_d) + e_d * qdd;
    qii = (si / n) * (1 - e_i) + e_i * qii;
  }
  EXPECT_NEAR(model_->Qg[0][1], qdd + qii + 0.125, 1e-12);
  // The bits themselves: each step's terms are summed exactly and the steps added in their
  // order, so every process count agrees (here on the exact sum of all nine terms).
  ExactSum terms;
  for (const double term : {runoff[3], runoff[3], runoff[2], 2 * runoff[2], 2 * runoff[2],
                            2 * runoff[2], 3 * runoff[1], 3 * runoff[1], 3 * runoff[1]})
    terms.Add(term);
  EXPECT_EQ(model_->QD[0][1], terms.Value() / 9);
}

}  // namespace
}  // namespace velorn::test
