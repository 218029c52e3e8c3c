// The heat of one cell on the constructed unsaturated zone: heat and water steps coupled by
// hand, and one hourly sub-step under cold air that cools the top layer, stays within the air
// and the lower boundary, and writes back temperatures, liquid fractions and the thaw depth.
#include <gtest/gtest.h>

#include "tests/support/soil_column_fixture.h"
#include "unsatzone/soil_heat_coupling.h"

namespace velorn {
namespace {

TEST(CellHeat, HeatAndWaterStepsCoupleByHand) {
  struct Case {
    int nh, nw, nh_out, nw_out, r;
  } cases[] = {{5, 1, 6, 1, 6}, {7, 3, 9, 3, 3}, {1, 3, 3, 3, 1}, {5, 3, 5, 5, 1}, {2, 1, 2, 2, 1}};
  for (const Case& c : cases) {
    int nh = c.nh, nw = c.nw, r = 0;
    CoupleHeatAndWaterSteps(nh, nw, r);
    EXPECT_EQ(nh, c.nh_out) << c.nh << " " << c.nw;
    EXPECT_EQ(nw, c.nw_out) << c.nh << " " << c.nw;
    EXPECT_EQ(r, c.r) << c.nh << " " << c.nw;
    EXPECT_EQ(nh, nw * r);
  }
}

class CellHeatRun : public test::SoilColumnTest {};

TEST_F(CellHeatRun, ColdAirCoolsTheTopLayer) {
  Add("temperature", Fill(-10.0));
  test::UnsatSection section;
  section.after = test::HeatSection();
  ASSERT_EQ(Make(section.Text()), 0) << screen_.str();
  model_->BeginStep(0, 15, 1, 2020);  // the profile starts linear from the air at -10 °C
  auto& air = grids_["temperature"];
  for (long r = 1; r <= 2; ++r)
    for (long c = 1; c <= 4; ++c) air.get()[r][c] = -20.0;
  double*** T = model_->Stack(unsatzonmodellklasse::kSoilTemperature);
  double*** theta = model_->Stack(unsatzonmodellklasse::kTheta);
  double*** geodetic = model_->Stack(unsatzonmodellklasse::kGeodeticHeads);
  const long r = 1, c = 2;
  const SoilRecord& soil = SoilOf(r, c);
  const int N = soil.layers;
  const std::vector<double> before(T[r][c], T[r][c] + N + 1);
  SoilColumnWorkspace ws;
  SoilHeatWorkspace hs;
  ws.Resize(0, N);
  LoadSoilLayers(ws, soil, geodetic[r][c][0]);
  for (int k = 1; k <= N; ++k) ws[SoilColumnWorkspace::kTheta0][k] = theta[r][c][k];
  CellHeat h;
  model_->PrepareCellHeat(ws, hs, r, c, 3600, h);
  EXPECT_GE(h.steps, 2);  // 1800 s longest step
  int nw = 1;
  CoupleHeatAndWaterSteps(h.steps, nw, h.perWaterStep);
  for (int step = 0; step < nw; ++step)
    model_->RunCellHeatSteps(ws, hs, r, c, h, 3600.0 / h.steps, nullptr);
  model_->FinishCellHeat(ws, hs, r, c);
  const double lower = registry_[registry_.FindIdentifier("T_Lower_Boundary_Condition")].grid[r][c];
  EXPECT_LT(T[r][c][1], before[1]);
  for (int k = 1; k <= N; ++k) {
    EXPECT_GE(T[r][c][k], -20.0) << k;
    EXPECT_LE(T[r][c][k], std::max(lower, before[k]) + 1e-9) << k;
    const double liquid = model_->Stack(unsatzonmodellklasse::kSoilSE)[r][c][k];
    EXPECT_GE(liquid, 0.0);
    EXPECT_LE(liquid, 1.0);
  }
  // Cold above warm: no thawed layer above a frozen one.
  EXPECT_EQ(registry_[registry_.FindIdentifier("ThawDepthTMod")].grid[r][c], 0.0);
}

}  // namespace
}  // namespace velorn
