// The soil-water sub-step on the fixture basin (eight cells, loam and sand in four layers of
// 0.5 m): the water balance of every cell and sub-step on wet and dry inputs with ponding and
// both methods, a column at rest in hydrostatic equilibrium, glaciated cells, the snow runoff
// share at its 10 mm threshold, ponding bounded by its maximum, the inner-step counts of
// method 3 by hand, and the iteration log (its line, and its failure ending the run with code 5
// from inside the row loop), the mass balance of a tracer. On 5 m of 10-cm loam layers: steady
// drainage under an input below Ks against unit-gradient flow and a Runge-Kutta integration of
// Darcy's law, methods 2 and 3 reaching the same state; on 1 m of 1-cm layers: infiltration against
// Philip and Green-Ampt.
#include "unsatzone/soil_water_step.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <numeric>
#include <sstream>

#include "core/nodata.h"
#include "core/tracer_bookkeeping.h"
#include "tables/landuse_record.h"
#include "tests/support/soil_column_fixture.h"
#include "unsatzone/soil_column_state.h"

namespace velorn {
namespace {

using M = unsatzonmodellklasse;

class SoilWaterStep : public test::SoilColumnTest {
 protected:
  SoilWaterStep() {
    landuse_[0].SetCode(1);
    landuse_[1].ParseEntry(diag_,
                           "1 grass method VariableDayCount {RootDist = 1.0; TReduWet = 0.95; "
                           "HReduDry = 3.45; LimitReduWet = 0.9; Albedo = 0.25 0.25; rsc = 80 80; "
                           "LAI = 2 2; Z0 = 0.02 0.02; VCF = 0.8 0.8; RootDepth = 0.6 0.6; "
                           "AltDep = 0 0; JulDays = 1 366;}",
                           "VariableDayCount");
    setup_.landuse_table = landuse_.data();
    Add("throughfall0", Fill(0.0));
    Add("max_ponding_storage", Fill(10.0));
  }
  // Builds the model with `section_`, its water input `input` (mm per step).
  void Build(const Rows& input) {
    for (int r = 1; r <= 2; ++r)
      for (int c = 1; c <= 4; ++c) grids_["throughfall0"][r][c] = input[r - 1][c - 1];
    ASSERT_EQ(Make(section_.Text()), 0) << screen_.str();
    model_->LinkWaterInputGrid(false);
  }
  // Water of a cell: the contents of its layers and the pond, mm.
  double Storage(int r, int c) const {
    const SoilRecord& soil = SoilOf(r, c);
    double water = 1000.0 * ColumnSoilWater(soil, soil.layers, model_->Stack(M::kTheta)[r][c]);
    if (double** pond = model_->Grid(M::kPondingStorage)) water += pond[r][c];
    return water;
  }
  // Water that left a cell in the last sub-step, mm (the evapotranspiration grids accumulate;
  // a stream cell counts what it gave its stream less what it took).
  double Outflow(int r, int c, double et_before) const {
    // The interflow holds the tile drainage.
    double out = model_->Grid(M::kDirectflow)[r][c] + model_->Grid(M::kInterflow)[r][c] +
                 model_->Grid(M::kBaseflow)[r][c] + Evapotranspiration(r, c) - et_before;
    if (double** gwin = model_->Grid(M::kRiverInfiltration))
      out += model_->Grid(M::kRiverExfiltration)[r][c] - gwin[r][c];
    return out;
  }
  double Evapotranspiration(int r, int c) const {
    return grids_.at("real_transpiration1")[r][c] + grids_.at("real_evaporation")[r][c];
  }
  // Runs `steps` sub-steps and checks the balance of every cell after each.
  void RunAndCheckBalance(int steps, const Rows& input, double tolerance) {
    for (int step = 0; step < steps; ++step) {
      double before[3][5], et[3][5];
      for (int r = 1; r <= 2; ++r)
        for (int c = 1; c <= 4; ++c) {
          before[r][c] = Storage(r, c);
          et[r][c] = Evapotranspiration(r, c);
        }
      model_->ComputeSoilColumns(model_->first_local_row);
      for (int r = 1; r <= 2; ++r)
        for (int c = 1; c <= 4; ++c) {
          const double in = input[r - 1][c - 1];
          const double change = Storage(r, c) - before[r][c];
          EXPECT_NEAR(change, in - Outflow(r, c, et[r][c]), tolerance)
              << "cell " << r << "," << c << " sub-step " << step;
        }
    }
  }
  test::UnsatSection section_;
  std::vector<LanduseRecord> landuse_ = std::vector<LanduseRecord>(2);
};

// Every cell and sub-step: change of storage = input - direct runoff - interflow - base flow -
// transpiration - soil evaporation, on dry, moist and flooded cells, without and with ponding,
// and with tile drains 0.3 m deep and 10 m apart, whose water leaves with the interflow.
TEST_F(SoilWaterStep, WaterBalanceOfEveryCellAndSubStepCloses) {
  const Rows input = {{0, 2, 20, 80}, {0.5, 150, 5, 40}};
  Add("drainage_depth", Fill(0.3));
  Add("drainage_distance", Fill(10.0));
  for (int method : {2, 3})
    for (int pond : {0, 1}) {
      SCOPED_TRACE(testing::Message() << "method " << method << " pond " << pond);
      section_.method = method;
      section_.pond = pond;
      section_.drainage = pond;
      Build(input);
      RunAndCheckBalance(6, input, 1e-8);
      if (section_.drainage == 1) {
        double drained = 0;
        for (int r = 1; r <= 2; ++r)
          for (int c = 1; c <= 4; ++c) {
            const double drain = model_->Grid(M::kDrainageFlow)[r][c];
            EXPECT_LE(drain, model_->Grid(M::kInterflow)[r][c] + 1e-15);
            drained += drain;
          }
        EXPECT_GT(drained, 0);
      }
      if (pond == 1) {
        for (int r = 1; r <= 2; ++r)
          for (int c = 1; c <= 4; ++c)
            EXPECT_LE(model_->Grid(M::kPondingStorage)[r][c], 10.0 + 1e-12);
      }
    }
}

// A flat column in hydrostatic equilibrium (the cold start) without input, evapotranspiration
// or base flow stays as it is: no flux, no runoff, the same contents.
TEST_F(SoilWaterStep, ColumnAtRestStaysAtRest) {
  for (int r = 1; r <= 2; ++r)
    for (int c = 1; c <= 4; ++c) {
      grids_["slope_angle"][r][c] = 0;
      grids_["pot_transpiration1"][r][c] = 0;
      grids_["potential_evaporation"][r][c] = 0;
    }
  section_.parameters[4] = "0 0";  // no base flow
  Build(Fill(0.0));
  double*** theta = model_->Stack(M::kTheta);
  std::vector<double> start;
  for (int r = 1; r <= 2; ++r)
    for (int c = 1; c <= 4; ++c) start.insert(start.end(), theta[r][c] + 1, theta[r][c] + 5);
  for (int step = 0; step < 3; ++step) model_->ComputeSoilColumns(model_->first_local_row);
  std::size_t i = 0;
  for (int r = 1; r <= 2; ++r)
    for (int c = 1; c <= 4; ++c) {
      for (int k = 1; k <= 4; ++k) {
        EXPECT_NEAR(theta[r][c][k], start[i++], 1e-7) << r << "," << c << " layer " << k;
        EXPECT_NEAR(model_->Stack(M::kQDown)[r][c][k], 0.0, 1e-12);
      }
      EXPECT_EQ(model_->Grid(M::kDirectflow)[r][c], 0.0);
      EXPECT_EQ(model_->Grid(M::kInterflow)[r][c], 0.0);
      EXPECT_EQ(model_->Grid(M::kBaseflow)[r][c], 0.0);
      // The root zone (1 m: two layers of one soil) as dynamic phenology sees it: the suction
      // of layer 1 at the zone's mean relative saturation.
      EXPECT_NEAR(model_->Grid(M::kMeanThetaInRootZone)[r][c],
                  SoilOf(r, c).GetSuction(1, (theta[r][c][1] + theta[r][c][2]) / 2), 1e-12);
    }
}

// A cell wholly under glacier gives 0 in every output and keeps its column; a share of 0.3 is
// computed like a cell without glacier (the zone sums weigh it).
TEST_F(SoilWaterStep, GlaciatedCellGivesZerosAndKeepsItsColumn) {
  Add("ice_firn", {{1.0, 0.3, 0, 0}, {0, 0, 0, 0}});
  Build(Fill(20.0));
  double*** theta = model_->Stack(M::kTheta);
  const std::vector<double> before(theta[1][1], theta[1][1] + 5);
  model_->ComputeSoilColumns(model_->first_local_row);
  for (M::OwnGrid g : {M::kDirectflow, M::kInterflow, M::kBaseflow, M::kPercolation,
                       M::kGroundwaterRecharge, M::kTotalInfiltration, M::kInfiltrationExcess})
    EXPECT_EQ(model_->Grid(g)[1][1], 0.0) << g;
  EXPECT_EQ(grids_["real_transpiration1"][1][1], 0.0);
  EXPECT_EQ(std::vector<double>(theta[1][1], theta[1][1] + 5), before);
  EXPECT_GT(model_->Grid(M::kTotalInfiltration)[1][2], 0.0);
}

// The control point's other-data, root-extraction and interflow rows of one sub-step, cell
// (1, 1) of loam under 2 mm of input (taken whole: infiltration 2 mm, no direct runoff) with the
// land-use grids at 1: the date, 18 + 6 values, levels 0..4 and layers 1..4; the extraction adds
// up to the evapotranspiration the cell booked, the interflow to QI. A cell under a whole glacier
// is not computed: zeros.
TEST_F(SoilWaterStep, ControlPointRowsOfTheCellBody) {
  const auto row = [&](const char* file) {
    std::istringstream last(test::SplitLines(test::ReadFile(dir_ / file)).at(1));
    std::vector<double> values;
    for (double x; last >> x;) values.push_back(x);
    std::filesystem::remove(dir_ / file);
    return values;
  };
  const auto sum = [](const std::vector<double>& v, std::size_t from) {
    return std::accumulate(v.begin() + static_cast<long>(from), v.end(), 0.0);
  };
  Add("ice_firn", Fill(0.0));
  section_.control_point = "1 1";
  for (const double ice : {0.0, 1.0}) {
    SCOPED_TRACE(ice);
    grids_["ice_firn"][1][1] = ice;
    Build(Fill(2.0));
    const double et = -Evapotranspiration(1, 1);
    model_->RunStep(3, 5, 6, 2001);
    model_->FlushBuffers();
    const std::vector<double> other = row("other.txt"), etr = row("etr.txt"),
                              inter = row("interflow.txt");
    ASSERT_EQ(std::vector<std::size_t>({other.size(), etr.size(), inter.size()}),
              std::vector<std::size_t>({28, 9, 8}));
    EXPECT_EQ(std::vector<double>(other.begin(), other.begin() + 4),
              (std::vector<double>{2001, 6, 5, 3}));
    EXPECT_EQ(std::vector<double>({other[4], other[15], other[16]}),
              (std::vector<double>{0, N, 0}));
    EXPECT_NEAR(other[7], 2.0 * (1 - ice), 1e-5);                         // QINF
    for (std::size_t i = 20; i < 28; ++i) EXPECT_EQ(other[i], 1.0) << i;  // Albedo .. Z0_1
    EXPECT_NEAR(sum(etr, 4), ice > 0 ? 0.0 : et + Evapotranspiration(1, 1), 1e-5);
    EXPECT_NEAR(sum(inter, 4), other[5], 1e-5);
  }
}

// Above 10 mm of solid snow a share of the input (SnowRunoff_fraction 0.1) runs off at once;
// at 10 mm none does. The loam cells take the rest of 2 mm whole.
TEST_F(SoilWaterStep, SnowRunoffShareStartsAboveTenMillimetres) {
  EXPECT_EQ(SnowRunoffShare(10.0, 2.0, 0.1), 0.0);
  EXPECT_DOUBLE_EQ(SnowRunoffShare(10.01, 2.0, 0.1), 0.2);
  EXPECT_EQ(SnowRunoffShare(50.0, 0.0, 0.1), 0.0);
  Add("snowstorage_solid", {{10.0, 10.01, 0, 0}, {0, 0, 0, 0}});
  Build(Fill(2.0));
  model_->ComputeSoilColumns(model_->first_local_row);
  EXPECT_EQ(model_->Grid(M::kDirectflow)[1][1], 0.0);
  EXPECT_NEAR(model_->Grid(M::kDirectflow)[1][2], 0.2, 1e-12);
  EXPECT_NEAR(model_->Grid(M::kTotalInfiltration)[1][2], 1.8, 1e-12);
}

// The exchange with the groundwater below a column of 0.1, 0.2, 0.2 m (saturated 0.4, field
// capacity 0.2, residual 0.05; the table in layer 3): 0.05 m above field capacity, 0.075 m more
// above the residual contents. A release within the first is taken from the table's layer; one
// beyond it from the residual water from the bottom up; one beyond both gives what the column
// holds; water entering fills the layers upwards and the rest leaves at the surface.
TEST(GroundwaterExchange, ColumnGivesWhatItHoldsAboveItsResidualContents) {
  const double dz[] = {0, 0.1, 0.2, 0.2}, sat[] = {0, 0.4, 0.4, 0.4}, fc[] = {0, 0.2, 0.2, 0.2},
               res[] = {0, 0.05, 0.05, 0.05};
  const struct {
    double rate, moved, surface;
    std::array<double, 3> theta;
    int layer;
  } cases[] = {{0.03, 0.03, 0, {0.3, 0.2, 0.25}, 3},
               {0.08, 0.08, 0, {0.2, 0.2, 0.05}, 3},
               {0.2, 0.125, 0, {0.05, 0.05, 0.05}, 3},
               {-0.1, -0.1, 0.05, {0.4, 0.4, 0.4}, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rate);
    double theta[] = {0, 0.3, 0.2, 0.4}, source[4] = {}, surface = 0;
    int layer = GroundwaterLayer(theta, sat, 3);
    ASSERT_EQ(layer, 3);
    EXPECT_NEAR(
        ExchangeWithGroundwater(c.rate, 1.0, dz, sat, fc, res, 3, theta, source, layer, surface),
        c.moved, 1e-12);
    EXPECT_NEAR(surface, c.surface, 1e-12);
    EXPECT_EQ(layer, c.layer);
    double gained = 0;
    for (int k = 1; k <= 3; ++k) {
      EXPECT_NEAR(theta[k], c.theta[k - 1], 1e-12) << "layer " << k;
      gained += source[k];
    }
    EXPECT_NEAR(gained, -c.moved - c.surface, 1e-12) << "the layers' sources are the exchange";
  }
}

// Method 2 takes one inner step; method 3 divides the sub-step by the shortest travel time
// thickness / K through the layers above the table: K = k_sat with input (sand: 0.5 m /
// 8.25e-5 m/s = 6060.6 s, so 15 steps in a day), k_r(theta) k_sat without (Mualem-van
// Genuchten k_r by its closed form), never shorter than the given minimum.
TEST_F(SoilWaterStep, InnerStepCountsOfTheMethods) {
  const SoilRecord& sand = soils_[2];
  std::vector<double> theta(5, 0.2);
  EXPECT_EQ(InnerStepCount(2, sand, theta.data(), 0, 4, true, 86400, 0), 1);
  EXPECT_EQ(InnerStepCount(3, sand, theta.data(), 0, 4, true, 86400, 0), 15);
  EXPECT_EQ(InnerStepCount(3, sand, theta.data(), 0, 4, true, 86400, 10000), 9);
  // Without input: Se = (0.2 - 0.045) / (0.43 - 0.045), m = 1 - 1 / 2.68.
  const double se = (0.2 - 0.045) / (0.43 - 0.045), m = 1 - 1 / 2.68;
  const double kr = std::sqrt(se) * std::pow(1 - std::pow(1 - std::pow(se, 1 / m), m), 2);
  const double expected = 86400 * kr * 8.25e-5 / 0.5;
  EXPECT_NEAR(InnerStepCount(3, sand, theta.data(), 0, 4, false, 86400, 0), std::ceil(expected),
              std::max(1.0, 0.05 * expected));
  // The layers at and below the groundwater level do not count.
  EXPECT_EQ(InnerStepCount(3, sand, theta.data(), 0, 1, true, 86400, 0), 1);
  // Frozen soil: k_r times max(0.5, liquid fraction). Saturated sand (k_r = 1) passes a day in
  // 86400 * 8.25e-5 / 0.5 = 14.26 travel times: 15 steps; a liquid fraction of 0.8 gives 11.4,
  // so 12; 0.2 is taken as 0.5: 7.13, so 8 (with 0.2 itself it would be 3).
  std::vector<double> saturated(5, 0.43);
  const struct {
    double liquid;
    int steps;
  } frozen[] = {{1.0, 15}, {0.8, 12}, {0.2, 8}, {0.0, 8}};
  for (const auto& f : frozen) {
    const std::vector<double> liquid(5, f.liquid);
    EXPECT_EQ(InnerStepCount(3, sand, saturated.data(), 0, 4, false, 86400, 0, liquid.data()),
              f.steps)
        << f.liquid;
  }
}

// Water-borne heat (method 12) moves with the fluxes of the water steps: 20 mm of infiltration
// into a column at 2 degC under air at 10 degC leave another profile than conduction alone
// (method 11). With the fluxes cleared before the heat steps the two profiles were the same.
TEST_F(SoilWaterStep, WaterBorneHeatMovesWithTheFluxesOfTheWaterSteps) {
  Add("temperature", Fill(10.0));
  std::vector<double> profile[2];
  for (int i = 0; i < 2; ++i) {
    std::string heat = test::HeatSection();
    heat.replace(heat.find("1 method"), 8, i == 0 ? "11 method" : "12 method");
    section_.after = heat;
    Build(Fill(20.0));
    model_->BeginStep(0, 15, 6, 2020);
    double*** T = model_->Stack(M::kSoilTemperature);
    const int N = SoilOf(1, 3).layers;
    for (int k = 1; k <= N; ++k) T[1][3][k] = 2.0;
    for (int step = 0; step < 2; ++step) model_->ComputeSoilColumns(model_->first_local_row);
    profile[i].assign(T[1][3] + 1, T[1][3] + N + 1);
  }
  double largest = 0;
  for (std::size_t k = 0; k < profile[0].size(); ++k)
    largest = std::max(largest, std::fabs(profile[1][k] - profile[0][k]));
  EXPECT_GT(largest, 1e-3);
}

// A stable tracer entering with the water input at 3 units per mm, clean water from the fourth
// sub-step: per cell and sub-step the change of its mass in the layers and at the surface (level
// 0: the pond's) equals what came with the input minus what left with interflow and direct
// runoff (at the concentrations the cell writes into "_CONC_QI_1_" and "_CONC_QD_1_"). Without a
// pond direct runoff carries the input's concentration; a pond keeps its solute, so clean rain
// runs off with some. Both methods, wet and dry cells, no base flow. An evaporating tracer at 3
// everywhere stays at 3 or below while the roots take water the macropores just brought.
TEST_F(SoilWaterStep, TracerMassBalanceOfEveryCellAndSubStep) {
  const Rows input = {{0, 2, 20, 80}, {0.5, 150, 5, 40}};
  section_.parameters[4] = "0 0";  // no base flow: every outflow of solute is on a grid
  // Macropores of 36 mm/h above 1.2 m in the loam, from 1 mm/h of input on.
  soils_[1].PMacroThresh = 1 / 3.6e6, soils_[1].MacroCapacity = 1e-5, soils_[1].MacroDepth = 1.2;
  Add("tracer_input", Fill(3.0));
  for (const auto& [method, pond] : {std::pair{2, 0}, {3, 0}, {2, 1}, {3, 1}}) {
    SCOPED_TRACE(testing::Message() << "method " << method << " pond " << pond);
    section_.method = method;
    section_.pond = pond;
    Build(input);
    std::vector<TracerDefinition> definitions(3);
    definitions[1].name = "cl_";
    definitions[1].soilini = 5;
    definitions[1].gwini = 2;
    definitions[1].half_time = -9999;
    definitions[1].path = dir_.path().string() + "/";
    definitions[1].statext = "sta";
    definitions[1].gridext = "stk";
    definitions[2] = definitions[1];
    definitions[2].name = "ev_";
    definitions[2].evaporating = 1;
    definitions[2].soilini = definitions[2].gwini = 3;
    int32_t error = -1;
    model_->SetupTracers(error, 2, definitions.data(), nullptr, 0);
    ASSERT_EQ(error, 0) << screen_.str();
    model_->soil_tracers[1].input = model_->soil_tracers[2].input = grids_["tracer_input"].get();
    double*** mass = model_->soil_tracers[1].stack.get();
    const auto column_mass = [&](int r, int c) {
      double sum = 0;
      for (int k = 0; k <= 4; ++k) sum += mass[r][c][k];
      return sum;
    };
    int carried = 0;  // cells whose clean direct runoff carried the pond's solute
    for (int step = 0; step < 5; ++step) {
      const double c_in = step < 3 ? 3.0 : 0.0;
      for (double* row : {grids_["tracer_input"][1], grids_["tracer_input"][2]})
        std::fill(row + 1, row + 5, c_in);
      double before[3][5];
      for (int r = 1; r <= 2; ++r)
        for (int c = 1; c <= 4; ++c) before[r][c] = column_mass(r, c);
      model_->ComputeSoilColumns(model_->first_local_row);
      for (int r = 1; r <= 2; ++r)
        for (int c = 1; c <= 4; ++c) {
          const double in = c_in * input[r - 1][c - 1];
          const double qd = model_->Grid(M::kDirectflow)[r][c];
          const double c_qd = model_->soil_tracers[1].direct.get()[r][c];
          const double out =
              model_->soil_tracers[1].inter.get()[r][c] * model_->Grid(M::kInterflow)[r][c] +
              c_qd * qd;
          EXPECT_NEAR(column_mass(r, c) - before[r][c], in - out, 1e-9 * (1 + before[r][c]))
              << "cell " << r << "," << c << " sub-step " << step;
          if (pond == 0 && qd > 0) {
            EXPECT_DOUBLE_EQ(c_qd, c_in);
          }
          carried += c_in == 0 && c_qd > 0;
          for (int k = 0; k <= 4; ++k)
            EXPECT_LE(model_->soil_tracers[2].stack.get()[r][c][k], 3.0 + 1e-12)
                << "cell " << r << "," << c << " layer " << k << " sub-step " << step;
        }
    }
    EXPECT_EQ(carried > 0, pond == 1);
    model_->ReleaseTracers();
  }
}

// Irrigation from groundwater, by hand: each of two sub-steps pumps half the irrigation model's
// amount of the step where the cell's rule takes groundwater, nothing under other rules (surface
// water, none, outside the table, nodata), and the subbasin's base flow loses exactly that: the
// water given to the surface is the water the base flow gave up. The amounts stay as they were.
// The runoff takes the same base flow whether its statistics table is written or silent.
TEST_F(SoilWaterStep, GroundwaterIrrigationIsTakenFromTheBaseFlowOnce) {
  IrrigationTable table{2, std::vector<IrrigationRecord>(3)};
  table.records[1].origin = 1;  // groundwater
  table.records[2].origin = 2;  // surface water
  irrigation_ = &table;
  const Rows code = {{1, 2, 0, N}, {1, 1, 3, 1}}, amount = {{4.8, 4.8, 4.8, 3}, {0, 7, 5, 0.5}};
  const Rows pumped = {{2.4, 0, 0, 0}, {0, 3.5, 0, 0.25}};  // mm per sub-step
  Add("irrigation_codes", code);
  for (const int32_t statistics : {2001, 0}) {
    section_.statistics_code = statistics;
    Build(Fill(1.0));
    int32_t error = -1;
    model_->SetupTracers(error, 0, nullptr, nullptr, 0);
    model_->substepCount = 2;
    double** amounts = model_->Grid(M::kIrrigationAmounts);
    for (int i = 0; i < 8; ++i) amounts[i / 4 + 1][i % 4 + 1] = amount[i / 4][i % 4];
    model_->BeginStep(1, 7, 12, 2026);
    double base[8] = {};
    for (int sub = 0; sub < 2; ++sub) {
      model_->ComputeSoilColumns(model_->first_local_row);
      model_->AddZoneSums();
      for (int i = 0; i < 8; ++i) {
        base[i] += model_->Grid(M::kBaseflow)[i / 4 + 1][i % 4 + 1];
        EXPECT_EQ(model_->Grid(M::kGroundwaterIrrigation)[i / 4 + 1][i % 4 + 1],
                  pumped[i / 4][i % 4]);
      }
    }
    const auto& qb =
        statistics != 0 ? model_->statistics[M::kStatQB].records : model_->base_flow_records;
    for (int i = 0; i < 8; ++i) {
      EXPECT_EQ(amounts[i / 4 + 1][i % 4 + 1], amount[i / 4][i % 4]) << i;
      EXPECT_NEAR(qb[i + 1][1] / qb[i + 1][4], base[i] - 2 * pumped[i / 4][i % 4], 1e-12) << i;
    }
  }
}

// Streams in every cell with the groundwater model on and interaction 2: beds 0.3 m deep, above
// the tables of the cold start (losing), and one 1.8 m deep, below them (gaining); (1,1), (1,2)
// share subbasin 1's record, which offers less than they ask for; (1,4) lies on no link and
// (2,4) on a link without a routing record (199). Per cell and sub-step the column's change is
// its input less its outflows plus what the stream gave less what it took, and per record the
// water the stream lost is the water its cells received, never more than the offer.
TEST_F(SoilWaterStep, LosingStreamsGiveTheColumnsWhatTheirRecordsLose) {
  const Rows input = {{0, 2, 20, 0}, {0.5, 5, 5, 1}};
  Add("river_depth", {{0.3, 0.3, 0.3, 0.3}, {0.3, 1.8, 0.3, 0.3}});
  Add("river_width", Fill(2.0));
  GridMatrix& links = Add("river_links", {{1, 1, 3, N}, {5, 6, 7, 9}});
  Add("kolmation", Fill(1e-5));
  Add("aquifer_thickness_1", Fill(2.0));
  Add("gw_storage_coeff_1", Fill(0.1));
  section_.interaction = 2;
  Build(input);
  model_->groundwaterModelActive = 1;
  int32_t error = -1;
  model_->SetupTracers(error, 0, nullptr, nullptr, 0);
  ASSERT_EQ(error, 0) << screen_.str();
  EXPECT_EQ(test::ThrownCode([&] { model_->ComputeSoilColumns(model_->first_local_row); }), 199);
  EXPECT_NE(screen_.str().find("There is a river link \"9\" from the river link grid"),
            std::string::npos);
  links[2][4] = N;
  auto& records = model_->reinfiltration_records;
  const auto Index = [&](int code) {
    return static_cast<std::size_t>(model_->soil_zone_index[static_cast<std::size_t>(code)]);
  };
  const double area = model_->cellsize * model_->cellsize, seconds = 3600;
  for (int step = 0; step < 3; ++step) {
    for (ReinfiltrationRecord& record : records)
      record = ReinfiltrationRecord{.offeredWater = 1.0, .channelLength = 1.0};  // m³/s, m/s
    records[Index(1)].offeredWater = 2e-6;
    model_->reinfiltration_exact.assign(records.size(), ExactSum{});
    RunAndCheckBalance(1, input, 1e-8);  // the stream's water enters the cells' balance
    double** gwin = model_->Grid(M::kRiverInfiltration);
    std::vector<double> received(records.size(), 0.0);
    for (int r = 1; r <= 2; ++r)
      for (int c = 1; c <= 4; ++c)
        if (links[r][c] > 0) received[Index(static_cast<int>(links[r][c]))] += gwin[r][c];
    EXPECT_EQ(gwin[1][4] + gwin[2][2], 0.0);  // no link; a gaining stream
    EXPECT_GT(model_->Grid(M::kRiverExfiltration)[2][2], 0.0);
    for (int code : {1, 3, 5, 7}) {
      const double taken = records[Index(code)].reinfiltrated;
      EXPECT_GT(taken, 0.0) << code;
      EXPECT_NEAR(taken, received[Index(code)] / 1000 * area / seconds, 1e-12 * taken) << code;
      // The exact twin that the step's total over the processes comes from.
      EXPECT_NEAR(model_->reinfiltration_exact[Index(code)].Value(), taken, 1e-15 * taken) << code;
    }
    EXPECT_NEAR(records[Index(1)].reinfiltrated, 2e-6, 1e-18);  // the offer binds
  }
  model_->lakeSwitch = 2;  // no exchange at all
  RunAndCheckBalance(1, input, 1e-8);
  EXPECT_EQ(model_->Grid(M::kRiverExfiltration)[2][2] + model_->Grid(M::kRiverInfiltration)[1][1],
            0.0);
}

// More than 100 iterations on process 0 write one line per inner step into "modell_0.log"; a
// log that cannot be opened ends the run with code 5 from inside the row loop.
TEST_F(SoilWaterStep, IterationLogLineAndItsFailure) {
  section_.after = "[unsatzon_tuning]\nmax_error = 0\nmax_iterations = 105\n";
  Build(Fill(20.0));
  model_->step_date = ModelDate{2019, 3, 7, 13};
  std::filesystem::remove("modell_0.log");
  model_->ComputeSoilColumns(model_->first_local_row);
  const std::string log = test::ReadFile("modell_0.log");
  EXPECT_NE(log.find(" 7. 3., 13 h r=  1, c=  1 : ziter=105, max_err = "), std::string::npos)
      << log;
  EXPECT_EQ(model_->iterationLogLines, 8);
  std::filesystem::remove("modell_0.log");
  std::filesystem::create_directory("modell_0.log");
  EXPECT_EQ(test::ThrownCode([&] { model_->ComputeSoilColumns(model_->first_local_row); }), 5);
  EXPECT_TRUE(ScreenHas("error opening log-file modell_0.log"));
}

// Closed forms of the loam (Carsel and Parrish 1988) of the fixture, Mualem-van Genuchten, for
// the steady and infiltration cases below: relative conductivity of an effective saturation and
// of a suction head psi (m, negative), the effective saturation of a head.
constexpr double kLoamSat = 0.43, kLoamRes = 0.078, kLoamAlpha = 3.6, kLoamN = 1.56;
constexpr double kLoamKs = 2.89e-6;
double LoamKr(double se) {
  const double m = 1 - 1 / kLoamN;
  se = std::clamp(se, 0.0, 1.0);
  return std::sqrt(se) * std::pow(1 - std::pow(1 - std::pow(se, 1 / m), m), 2);
}
double LoamSe(double psi) {
  return psi >= 0 ? 1.0 : std::pow(1 + std::pow(-kLoamAlpha * psi, kLoamN), -(1 - 1 / kLoamN));
}
double LoamTheta(double psi) {
  return kLoamRes + (kLoamSat - kLoamRes) * LoamSe(psi);
}

// 5 m of 10-cm layers of loam, flat, no evapotranspiration, 1 mm/h of input (r well below Ks =
// 10.4 mm/h), base flow 10 mm/h exp(distance / 1 m), the same in every cell (one cell is
// computed, the others lie under glacier). A sub-step must be short enough for the moisture
// iteration to converge: in one daily step the input (24 mm) is five times what a 10-cm layer
// holds between the content where K = r and saturation ((0.43 - 0.38) x 100 mm), the iteration
// ends at its limit and the table jumps between layer boundaries (it stayed at 2.7 m with 17.7 of
// 24 mm of base flow). Method 2 runs 3-hour sub-steps, method 3 daily ones (three inner steps:
// 0.1 m / Ks = 9.6 h).
class SteadyDrainage : public SoilWaterStep {
 protected:
  static constexpr double kRate = 1.0 / 3.6e6;  // 1 mm/h in m/s
  static constexpr int kLayers = 50;
  SteadyDrainage() {
    UseLoam(kLayers, 0.1);
    soil_types_ = Fill(1.0);
    for (int r = 1; r <= 2; ++r)
      for (int c = 1; c <= 4; ++c) {
        grids_["soil_types"][r][c] = 1;  // every column loam: one layer count in the basin
        grids_["slope_angle"][r][c] = 0;
        grids_["pot_transpiration1"][r][c] = 0;
        grids_["potential_evaporation"][r][c] = 0;
      }
    Add("ice_firn", {{0, 1, 1, 1}, {1, 1, 1, 1}});  // only cell (1, 1) is computed
  }
  // Every cell's soil: `layers` layers of loam `thickness` m thick.
  void UseLoam(int layers, double thickness) {
    soils_[1] = SoilRecord();
    soils_[1].ParseEntry(diag_,
                         test::SoilBlock(test::VanGenuchtenKeys(kLoamSat, kLoamRes, kLoamAlpha,
                                                                kLoamN, kLoamKs, layers, thickness),
                                         1),
                         "MultipleHorizons");
  }
  // Builds cell (1, 1) with `method` and sub-steps of `minutes`, the table at 2.3 m (cold start)
  // and the layers above it at `upper`, and runs `days`; returns the means of the last five days
  // of the base flow (mm/h) and the groundwater distance (m) and the mean profile.
  struct Means {
    double baseflow = 0, distance = 0;
    std::vector<double> theta = std::vector<double>(kLayers, 0.0), q = theta;
  };
  Means RunDays(int method, int minutes, double upper, int days) {
    section_.method = method;
    section_.interval = minutes;
    section_.ini_gw_level = 2.2;     // the last unsaturated layer 23
    section_.parameters[3] = "1 1";  // kelsqlat, m
    section_.parameters[4] = FormatText("%g %g", 10.0 * minutes / 60, 10.0 * minutes / 60);
    Build(Fill(minutes / 60.0));
    double*** theta = model_->Stack(M::kTheta);
    for (int k = 1; k <= 20; ++k) theta[1][1][k] = upper;
    const int steps = days * 1440 / minutes, last = 5 * 1440 / minutes;
    Means means;
    for (int step = 0; step < steps; ++step) {
      model_->ComputeSoilColumns(model_->first_local_row);
      if (step < steps - last) continue;
      means.baseflow += model_->Grid(M::kBaseflow)[1][1] * 60 / minutes / last;
      means.distance += model_->Grid(M::kGroundwaterDistance)[1][1] / last;
      for (int k = 1; k <= kLayers; ++k) {
        means.theta[k - 1] += theta[1][1][k] / last;
        means.q[k - 1] += model_->Stack(M::kQDown)[1][1][k] / last;
      }
    }
    return means;
  }
};

// The content where K = r, by bisection on the closed form.
double LoamThetaAtConductivity(double k) {
  double lo = 0, hi = 1;
  for (int i = 0; i < 100; ++i) (LoamKr(0.5 * (lo + hi)) * kLoamKs < k ? lo : hi) = 0.5 * (lo + hi);
  return kLoamRes + (kLoamSat - kLoamRes) * 0.5 * (lo + hi);
}

// Above the table, the steady profile follows Darcy's law q = -K(psi) (dpsi/dz + 1) with q = -r,
// integrated upwards from psi = 0 at the table by fourth-order Runge-Kutta (1-mm steps) on the
// closed forms; returns the mean content of each 10-cm layer 1..N above the table (depth, m).
std::vector<double> DarcyProfile(double rate, double table) {
  const auto slope = [&](double psi) { return rate / (LoamKr(LoamSe(psi)) * kLoamKs) - 1; };
  const double h = 0.001;
  std::vector<double> psi_at(static_cast<std::size_t>(table / h) + 2);
  double psi = 0;
  for (double& p : psi_at) {
    p = psi;  // height i h above the table
    const double k1 = slope(psi), k2 = slope(psi + 0.5 * h * k1), k3 = slope(psi + 0.5 * h * k2),
                 k4 = slope(psi + h * k3);
    psi += h / 6 * (k1 + 2 * k2 + 2 * k3 + k4);
  }
  std::vector<double> layers;
  for (int k = 1; k <= static_cast<int>(table / 0.1); ++k) {
    double mean = 0;
    for (int i = 0; i < 100; ++i) {
      const double depth = 0.1 * (k - 1) + (i + 0.5) * 0.001;
      mean += LoamTheta(psi_at[static_cast<std::size_t>((table - depth) / h)]) / 100;
    }
    layers.push_back(mean);
  }
  return layers;
}

// Steady state of methods 2 and 3: the base flow equals the input (method 2 within 1 %: the table
// settles on the layer boundary at 2.3 m, 2.6 mm above where 10 mm/h exp(distance) = 1 mm/h,
// distance = ln 0.1 = -2.303 m; method 3 within 3 %: in daily steps the table keeps moving
// between the neighbouring layer boundaries, 10 % of base flow each, and five days' mean holds
// a little of that storage); the flux is -r through the unsaturated part, whose upper layers hold
// the content where K(theta) = r; each layer above the table agrees with the Darcy profile within
// 0.02 (the table is placed within a layer, and near it theta changes by up to 0.05 per layer); the
// two methods' profiles agree within 0.005 down to 0.3 m above the table.
TEST_F(SteadyDrainage, MethodsTwoAndThreeReachTheUnitGradientSteadyState) {
  const double theta_r = LoamThetaAtConductivity(kRate);
  struct Case {
    int method, minutes, days;
    double baseflow;  // tolerance of the mean base flow, mm/h
  };
  std::vector<std::vector<double>> profiles;
  for (const Case& row : {Case{2, 180, 15, 0.01}, Case{3, 1440, 15, 0.03}}) {
    SCOPED_TRACE(testing::Message() << "method " << row.method);
    const Means means = RunDays(row.method, row.minutes, theta_r, row.days);
    EXPECT_NEAR(means.baseflow, 1.0, row.baseflow);
    EXPECT_NEAR(means.distance, std::log(0.1), 0.1);
    EXPECT_EQ(model_->Grid(M::kDirectflow)[1][1], 0.0);
    for (int k = 1; k <= 18; ++k) EXPECT_NEAR(means.q[k - 1], -kRate, 0.01 * kRate) << k;
    for (int k = 1; k <= 10; ++k) EXPECT_NEAR(means.theta[k - 1], theta_r, 0.005) << k;
    const std::vector<double> darcy = DarcyProfile(kRate, -means.distance);
    for (std::size_t k = 0; k + 1 < darcy.size(); ++k)
      EXPECT_NEAR(means.theta[k], darcy[k], 0.02) << "layer " << k + 1;
    profiles.push_back(means.theta);
  }
  for (int k = 0; k < 20; ++k) EXPECT_NEAR(profiles[0][k], profiles[1][k], 0.005) << k + 1;
}

// Infiltration into 1 m of 1-cm layers of dry loam (psi = -10 m) under 10 mm per minute, far
// above what the soil takes, in 1-minute steps without ponding storage, against Philip's
// two-term solution I = S sqrt(t) + A t (sorptivity from Parlange's integral S^2 = int (theta_s +
// theta - 2 theta_i) K dpsi, A = Ks/2, the middle of its range Ks/3..2Ks/3) and Green-Ampt
// (front suction int K_r dpsi, Delta theta = theta_s - theta_i).
// Above the table the interface conductivity is the larger of the two layers' (upstream), so
// while the front is sharp a saturated layer fills the dry one below within one step: by hand,
// Ks (psi_1 - psi_2) / dz = 2.89e-6 x 10 / 0.01 m/s moves 173 mm in a minute, and only the
// limiter's head balance stops it at saturation; layers 1 and 2 each take their whole deficit
// (0.43 - 0.125) x 10 mm = 3.05 mm in minutes 1 and 2, against Philip's 3.9 mm in both. That
// offset of the first layers does not grow: the infiltration between 10 min and 1 h follows both
// solutions within 15 %, the cumulative amounts within 15 % plus two layers' deficit.
TEST_F(SteadyDrainage, InfiltrationIntoADryColumnFollowsPhilipAndGreenAmpt) {
  constexpr int layers = 100;
  UseLoam(layers, 0.01);
  section_.interval = 1;
  section_.parameters[4] = "0 0";  // no base flow
  const double psi_i = -10.0, theta_i = LoamTheta(psi_i);
  Build(Fill(10.0));
  double*** theta = model_->Stack(M::kTheta);
  for (int r = 1; r <= 2; ++r)
    for (int c = 1; c <= 4; ++c)
      for (int k = 1; k <= layers; ++k) theta[r][c][k] = theta_i;
  // Parlange's sorptivity and the Green-Ampt front suction by the midpoint rule in psi.
  double s2 = 0, front = 0;
  const int n = 200000;
  for (int i = 0; i < n; ++i) {
    const double psi = psi_i * (i + 0.5) / n, kr = LoamKr(LoamSe(psi));
    s2 += (kLoamSat + LoamTheta(psi) - 2 * theta_i) * kr * kLoamKs * (-psi_i / n);
    front += kr * (-psi_i / n);
  }
  const double dtheta = kLoamSat - theta_i;
  const double offset = 2 * 0.01 * dtheta;  // two layers' deficit, m
  const auto philip = [&](double t) { return std::sqrt(s2 * t) + 0.5 * kLoamKs * t; };
  // Green-Ampt: I - F ln(1 + I / F) = Ks t with F = front suction x Delta theta, by bisection.
  const auto green_ampt = [&](double t) {
    const double f = front * dtheta;
    double lo = 0, hi = 1;
    for (int i = 0; i < 200; ++i) {
      const double mid = 0.5 * (lo + hi);
      (mid - f * std::log(1 + mid / f) < kLoamKs * t ? lo : hi) = mid;
    }
    return lo;
  };
  double infiltrated = 0, at_ten = 0;
  for (int minute = 1; minute <= 60; ++minute) {
    model_->ComputeSoilColumns(model_->first_local_row);
    infiltrated += model_->Grid(M::kTotalInfiltration)[1][1] / 1000;  // m
    if (minute != 10 && minute != 60) continue;
    const double t = 60.0 * minute;
    for (double expected : {philip(t), green_ampt(t)})
      EXPECT_NEAR(infiltrated, expected, 0.15 * expected + offset) << minute << " min";
    if (minute == 10) at_ten = infiltrated;
  }
  for (double expected : {philip(3600) - philip(600), green_ampt(3600) - green_ampt(600)})
    EXPECT_NEAR(infiltrated - at_ten, expected, 0.15 * expected);
}

}  // namespace
}  // namespace velorn
