// Construction of the surface routing model and its pure formulas: sub-step limits, plan
// curvature against the closed form of a quadratic surface, grid registration order.
#include <gtest/gtest.h>

#include <cmath>

#include "core/error_code.h"
#include "core/nodata.h"
#include "lateral/surface_routing_formulas.h"
#include "tests/lateral/surface_routing_harness.h"

namespace velorn::test {
namespace {

TEST(SurfaceRoutingFormulas, SubStepLimitsAreWholeFractionsOfTheSubStep) {
  const double tiny = 1e-300;  // trunc(T / limit) would overflow a 32-bit integer
  const double limits[] = {700, 0, 900, 5000, -5, INFINITY, NAN, tiny};
  const double fitted[] = {720, 3600, 900, 3600, 3600, 3600, 3600, 3600 / std::trunc(3600 / tiny)};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(FitSubStepLimit(limits[i], 3600), fitted[i]) << limits[i];
}

TEST(SurfaceRoutingFormulas, PlanCurvatureOfPlanesAndQuadratics) {
  const double l = 2.0;
  // z = a x^2 + b y^2 + c x y with x eastwards and y northwards (rows grow southwards).
  const auto surface = [&](double a, double b, double c, double gx, double gy, double z[3][3],
                           double shift = 1) {
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) {
        const double x = (j - 1) * l + 0.5 * l * shift, y = (1 - i) * l + 0.25 * l * shift;
        z[i][j] = a * x * x + b * y * y + c * x * y + gx * x + gy * y;
      }
  };
  double z[3][3];
  surface(0, 0, 0, 3, -7, z, 0);
  EXPECT_EQ(PlanCurvature(z, l, kNodata), 0.0);
  surface(0, 0, 0, 0, 0, z);
  EXPECT_EQ(PlanCurvature(z, l, kNodata), 0.0);
  const double a = 0.05, b = -0.02, c = 0.03;
  surface(a, b, c, 0.4, 0.2, z);
  // Closed form at the centre (x0, y0): p = dz/dx, q = dz/dy, D = a, E = b and F = c (central
  // differences are exact for a quadratic; y grows northwards, against the rows).
  const double x0 = 0.5 * l, y0 = 0.25 * l;
  const double p = 2 * a * x0 + c * y0 + 0.4, q = 2 * b * y0 + c * x0 + 0.2;
  const double expected = 2 * (b * p * p + a * q * q - c * p * q) / (p * p + q * q);
  EXPECT_NEAR(PlanCurvature(z, l, kNodata), expected, 1e-12);
  z[2][0] = kNodata;
  EXPECT_EQ(PlanCurvature(z, l, kNodata), kNodata);
}

class SurfaceConstructionTest : public SurfaceRoutingTest {
 protected:
  SurfaceConstructionTest() { AddInputs(); }
};

TEST_F(SurfaceConstructionTest, SubStepLimitsAreAdjustedWithTheirMessages) {
  SurfaceSection s;
  s.minimum = "0";
  s.maximum = "700";
  ASSERT_EQ(Make(s), 0);
  EXPECT_EQ(model_->maximum_sub_time_step, 720);
  EXPECT_EQ(model_->minimum_sub_time_step, 3600);
  EXPECT_TRUE(ScreenHas("longest allowed subtimestep changed from 700 to 720"));
  EXPECT_TRUE(ScreenHas("shortest allowed subtimestep changed from 0 to 3600"));
  screen_.str("");
  ASSERT_EQ(Make(), 0);  // 60 and 600 divide 3600
  EXPECT_FALSE(ScreenHas("subtimestep changed"));
  EXPECT_EQ(model_->GetFlowControl(), 1);
}

TEST_F(SurfaceConstructionTest, SectionFaultsAndTheOptionalLastLine) {
  for (int method : {0, 7}) {
    SurfaceSection s;
    s.method = method;
    s.maximum = "not-a-number";  // unread after the method
    EXPECT_EQ(Make(s), kSurfaceMethodCode) << method;
  }
  for (const char* last : {"", "storage_only.sta\n"}) {
    SurfaceSection s;
    s.last_line = last;
    s.statistics_code = 0;
    ASSERT_EQ(Make(s), 0) << last;
    EXPECT_EQ(model_->statistics_codes[kStatStorage], 0);
    EXPECT_FALSE(model_->statistics[kStatStorage]->active());
  }
}

// Values no run can use, each refused with code 17 naming the value and its range; a flow time
// beyond a year and a channel of negative width end with code 22 naming the cell.
TEST_F(SurfaceConstructionTest, RefusesValuesOutsideTheirRanges) {
  struct Case {
    void (*edit)(SurfaceSection&);
    const char* message;
  };
  const Case cases[] = {
      {[](SurfaceSection& s) { s.anl = "-0.001\n10\n"; },
       "maximum iteration error for A_NL [m] in SurfaceRoutingModel is -0.001, it must lie within "
       "0 to 20000"},
      {[](SurfaceSection& s) { s.anl = "0.001\n2000000000\n"; },
       "maximum iteration steps for A_NL in SurfaceRoutingModel is 2e+09, it must lie within 0 "
       "to 10000"},
      {[](SurfaceSection& s) { s.velocity_error = "-1"; },
       "maximum iteration error [m/s] for velocity in SurfaceRoutingModel is -1"},
      {[](SurfaceSection& s) { s.velocity_steps = "-5"; },
       "maximum iteration steps for velocity in SurfaceRoutingModel is -5"},
      {[](SurfaceSection& s) { s.depth_and_factor = "1e308\n1.0\n"; },
       "crops [m] in SurfaceRoutingModel is 1e+308, it must lie within 0 to 20000"},
      {[](SurfaceSection& s) { s.depth_and_factor = "0.01\n-2\n"; },
       "Concentration factor [1/1] in SurfaceRoutingModel is -2, it must lie within 0 to 1000"},
  };
  for (const Case& c : cases) {
    SurfaceSection s;
    c.edit(s);
    EXPECT_EQ(Make(s), kControlFileErrorCode) << c.message;
    EXPECT_TRUE(ScreenHas(c.message)) << screen_.str();
  }
  G("river_width")[2][2] = -1;
  EXPECT_EQ(Make(), kGridFormatCode);
  EXPECT_TRUE(
      ScreenHas("grid river_width: the cell at row 2, column 2 holds -1, outside 0 to "
                "100000 m"));
  G("river_width")[2][2] = 0;  // no channel
  Add("flow_times", Fill(1));
  G("flow_times")[3][3] = 1e308;
  ASSERT_EQ(Make(), 0) << screen_.str();
  int32_t error = 0;
  EXPECT_EQ(ThrownCode([&] { model_->SetupTracers(error, 0, nullptr, nullptr, 0); }),
            kGridFormatCode);
  EXPECT_TRUE(
      ScreenHas("grid flow_times.asc: the cell at row 3, column 3 holds 1e+308 steps, a "
                "flow time beyond a year (8784 steps of 60 minutes)"))
      << screen_.str();
}

TEST_F(SurfaceConstructionTest, FoundGridsKeepNegatedIndicesAndStayRegistered) {
  Add("Plancurvature", Fill(0.5));
  Add("CriticalShearStress", Fill(1.5));
  const int curvature = registry_.FindIdentifier("Plancurvature");
  const int shear = registry_.FindIdentifier("CriticalShearStress");
  const int first = registry_.FirstFreeIndex();
  ASSERT_EQ(Make(), 0);
  EXPECT_EQ(model_->grid_index[kSurfPlanCurvature], -curvature);
  EXPECT_EQ(model_->grid_index[kSurfCriticalShear], -shear);
  const SurfaceGrid own_order[] = {kSurfVelocity, kSurfFluxes,     kSurfWeights,    kSurfHead,
                                   kSurfHeadOld,  kSurfRoughnessX, kSurfRoughnessY, kSurfManning,
                                   kSurfInflow,   kSurfOutflow};
  for (int i = 0; i < 10; ++i) EXPECT_EQ(model_->grid_index[own_order[i]], first + i) << i;
  EXPECT_EQ(model_->grid_data[kSurfManning][2][2], 25);  // K_ST of land use 1
  EXPECT_EQ(model_->grid_data[kSurfRoughnessX][1][1], 10.0);
  Release();
  EXPECT_EQ(registry_.FindIdentifier("Plancurvature"), curvature);
  EXPECT_EQ(registry_.FindIdentifier("CriticalShearStress"), shear);
  EXPECT_EQ(registry_.FindIdentifier("SurfaceRoutingVelocity"), 0);
}

TEST_F(SurfaceConstructionTest, ResponseUnitsGlaciersAndCellsWithoutLanduse) {
  setup_.response_unit_switch = 1;
  ASSERT_EQ(Make(), 0);
  EXPECT_EQ(model_->GetFlowControl(), 0);
  EXPECT_EQ(model_->GetQg(), nullptr);
  EXPECT_EQ(registry_.FindIdentifier("SurfaceRoutingVelocity"), 0);
  setup_.response_unit_switch = 0;
  grids_["landuse1"].get()[2][3] = -9999;
  EXPECT_EQ(Make(), kSurfaceNoLanduseCode);
  EXPECT_TRUE(ScreenHas("cell (row 2, column 3)"));
  Release();  // its grids leave the registry before the glacier grid comes in
  Add("GlacierCodes", Fill(0));
  EXPECT_EQ(Make(), kSurfaceGlacierCode);
}

TEST_F(SurfaceConstructionTest, PlanCurvatureBordersAreFilledInScanOrder) {
  double** z = grids_["[elevation_model]"].get();
  // A tilted plane: curvature 0 inside, borders filled from neighbours.
  for (int r = 1; r <= 3; ++r)
    for (int c = 1; c <= 3; ++c) z[r][c] = 100 + 2 * c - 3 * r;
  ASSERT_EQ(Make(), 0);
  double** k = model_->grid_data[kSurfPlanCurvature];
  for (int r = 1; r <= 3; ++r)
    for (int c = 1; c <= 3; ++c) EXPECT_EQ(k[r][c], 0.0) << r << "," << c;
  // FillFromNeighbours takes the mean of valid neighbours only.
  k[1][1] = kNodata;
  k[1][2] = 3;
  k[2][1] = kNodata;
  k[2][2] = 6;
  model_->FillFromNeighbours(1, 1, k);
  EXPECT_EQ(k[1][1], 4.5);
}

}  // namespace
}  // namespace velorn::test
