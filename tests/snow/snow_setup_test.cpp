// Snow model set-up: the set-up formulas against hand-computed numbers, every section family
// with its bounds and codes, the threshold correction, the slide grids of process 0, linked
// grids, the glacier and permafrost parts and the release.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "core/error_code.h"
#include "core/matrix.h"
#include "setup/tracer_definitions.h"
#include "snow/snow_setup_formulas.h"
#include "tests/support/snow_test.h"

namespace velorn {
namespace {

using test::GlacierSection;
using test::SnowSection;
using test::SnowTest;
constexpr double N = -9999;

TEST(SnowSetupFormulas, DepositionCapacityAndElevationOrder) {
  struct Case {
    double slope, maximum, factor, expected;
  };
  const Case cases[] = {
      {20, 55, 1, 1 - 20.0 / 55},
      {20, 55, 2.5, 2.5 * (1 - 20.0 / 55)},
      {55, 55, 1, 0},
      {70, 55, 1, 0},
      {0, 0, 1, 0},   // maximum 0: no division
      {N, 55, 1, 0},  // nodata slope: no deposition
  };
  for (const Case& c : cases)
    EXPECT_DOUBLE_EQ(DepositionCapacity(c.slope, c.maximum, c.factor, N), c.expected) << c.slope;
  EXPECT_NEAR(DepositionCapacity(20, 55, 1, N), 0.6364, 5e-5);
  // Equal elevations keep their input order.
  EXPECT_EQ(ElevationOrder({500, 700, 700, 600, 700, 100}),
            (std::vector<std::size_t>{1, 2, 4, 3, 0, 5}));
}

TEST(SnowSetupFormulas, GlacierSharesFirnAndNames) {
  struct Case {
    double value, glacierized, free;
    bool flag;
  };
  for (const Case& c : {Case{1.3, 1, 0, true}, Case{-0.2, 0, 1, false}, Case{0.4, 0.4, 0.6, true},
                        Case{0, 0, 1, false}, Case{1, 1, 0, true}}) {
    const CellGlacierShare share = GlacierShareOfCell(c.value);
    EXPECT_DOUBLE_EQ(share.glacierized, c.glacierized) << c.value;
    EXPECT_DOUBLE_EQ(share.non_glacierized, c.free) << c.value;
    EXPECT_EQ(share.has_glacier, c.flag) << c.value;
  }
  EXPECT_EQ(FirnStartLevel(1800, 2000, 0.5), 0.0);  // 200 m below the firn base
  EXPECT_EQ(FirnStartLevel(2100, 2000, 0.5), 50.0);
  const SeasonalRange range = SeasonalRangeOf(0.2, 0.6);
  EXPECT_DOUBLE_EQ(range.amplitude, 0.2);
  EXPECT_DOUBLE_EQ(range.mean, 0.4);
  EXPECT_EQ(SnowOnIceTableName("qglac.txt"), "qglac_qsgl_.txt");
  EXPECT_EQ(SnowOnIceTableName("out.d/qglac"), "out_qsgl_.d/qglac");
  EXPECT_FALSE(SnowOnIceTableName("qglac"));
  EXPECT_EQ(GlacierStorageTableName("out.d/qglac.txt"), "out.d/qglac_stor_.txt");
  EXPECT_EQ(GlacierStorageTableName("qglac"), "qglac_stor_");
}

// One row per behaviour of [snow_model]: the code, and the grids that must or must not exist.
TEST_F(SnowTest, SectionFamiliesWithTheirBoundsAndCodes) {
  Add("deposition_index", Fill(1));
  Add("cloudiness", Fill(0.5));
  struct Case {
    const char* name;
    SnowSection section;
    int code;
    const char* message;  // a text of the FATAL entry
  };
  SnowSection m3, m10, m5, short42, slope, factor, slide, fraction, lwin, lwout, zero, last62, m15,
      unreadable;
  m3.method = 3;
  m10.method = 10;
  m5.method = 5;
  short42.method = 10;
  short42.entry42 = "a";
  slope.method = factor.method = slide.method = fraction.method = lwin.method = lwout.method = 10;
  slope.bounds = "91\n1\n30\n0.01\n1\n1\n";
  factor.bounds = "55\n0\n30\n0.01\n1\n1\n";
  slide.bounds = "55\n1\n-1\n0.01\n1\n1\n";
  fraction.bounds = "55\n1\n30\n0\n1\n1\n";
  lwin.bounds = "55\n1\n30\n1\n3.5\n1\n";
  lwout.bounds = "55\n1\n30\n1\n1\n0\n";
  zero.method = last62.method = 10;
  zero.bounds = "0\n1\n0\n1\n3\n3\n";
  zero.scaling = "0.8\n";
  last62.scaling = "";
  m15.method = 15;
  unreadable.T0 = "warm";
  SnowSection negative_cwh, no_roughness, albedo, huge_scaling;
  negative_cwh.factors = "-0.5\n0.5\n3\n0.5\n0.5\n0.001\n1.5\n3\n0.45\n0.9\n";
  no_roughness.factors = "0.1\n0.5\n3\n0.5\n0.5\n0\n1.5\n3\n0.45\n0.9\n";
  albedo.factors = "0.1\n0.5\n3\n0.5\n0.5\n0.001\n1.5\n3\n0.45\n1.5\n";
  huge_scaling.method = 10;
  huge_scaling.scaling = "1e308\n";
  const Case cases[] = {
      {"method 3", m3, 0, nullptr},
      {"method 10", m10, 0, nullptr},
      {"method 5", m5, 0, nullptr},
      {"short entry 42", short42, kSnowExtendedLineCode,
       "cannot read additional parameters for snow model methods 5 to 11 from "},
      {"slope", slope, kMaxDepositionSlopeCode,
       "maxDepositionSlope not within parameter bounds of [0...90] Here: 91"},
      {"factor", factor, kMaxDepositionFactorCode,
       "maxDepositionFactor not within parameter bounds of (0...inf). Here: 0"},
      {"slide slope", slide, kMinSlideSlopeCode,
       "minSlideSlope not within parameter bounds of [0...90]. Here: -1"},
      {"mass fraction", fraction, kSlideSettingCode,
       "slideMassFrac not within parameter bounds of (0...1.0]. Here: 0"},
      {"LWINcorr", lwin, kSlideSettingCode, "LWINcorr not within parameter bounds of (0...3.0]"},
      {"LWOUTcorr", lwout, kSlideSettingCode, "LWOUTcorr not within parameter bounds of (0...3.0]"},
      {"zero slopes", zero, 0, nullptr},
      {"no entry 63", last62, 0, nullptr},
      {"method 15", m15, kControlFileErrorCode, "snow model method 15 is not one of the methods"},
      {"unreadable", unreadable, kControlFileErrorCode, "T0 for "},
      {"negative CWH", negative_cwh, kControlFileErrorCode,
       "CWH for snow_model is -0.5, it must "
       "lie within 0 to 1"},
      {"roughness 0", no_roughness, kControlFileErrorCode, "z0 for snow_model is 0"},
      {"albedo 1.5", albedo, kControlFileErrorCode, "ALBsnow_max for snow_model is 1.5"},
      {"EnBalScaling 1e308", huge_scaling, kControlFileErrorCode, "EnBalScaling for snow_model"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Make(Section(c.section)), c.code) << c.name;
    if (c.message != nullptr) {
      EXPECT_TRUE(ScreenHas(c.message)) << c.name;
    }
  }
  // Method 3 ends the section after entry 41: no temperature, balance or slide grids.
  EXPECT_EQ(Make(Section(m3)), 0);
  EXPECT_EQ(model_->GetMethod(), 3);
  for (const char* grid : {"snowtemp", "surftemp", "EnergyBalance", "input_mass", "max_deposition"})
    EXPECT_EQ(Registered(grid), nullptr) << grid;
  for (const char* grid :
       {"snowstorage_solid", "snowstorage_liquid", "snow_storage_total", "days_snow", "snow_age",
        "snow_fraction", "rain_fraction", "snowcover_outflow", "melt_from_snowcover"})
    EXPECT_NE(Registered(grid), nullptr) << grid;
  EXPECT_EQ(Registered("snowstorage_solid")[3][1], N);
  EXPECT_EQ(Registered("snowstorage_solid")[3][2], 0.0);
  // Method 10 reads the extended entries but makes neither temperature nor slide grids.
  EXPECT_EQ(Make(Section(m10)), 0);
  EXPECT_EQ(model_->snowtemp_output.grid_name, "stemp.asc");
  for (const char* grid : {"snowtemp", "surftemp", "EnergyBalance", "input_mass", "max_deposition"})
    EXPECT_EQ(Registered(grid), nullptr) << grid;
  EXPECT_EQ(model_->deposition_index, grids_["deposition_index"].get());
  // Method 5 makes the temperature grids, nodata until the step writes them.
  EXPECT_EQ(Make(Section(m5)), 0);
  EXPECT_EQ(Registered("snowtemp")[1][1], N);
  EXPECT_EQ(Registered("EnergyBalance")[3][1], 0.0);
  EXPECT_EQ(Make(Section(zero)), 0);
  EXPECT_EQ(model_->EnBalScaling, 0.8);
  EXPECT_EQ(model_->maxDepositionSlope, 0.0);
  EXPECT_EQ(Make(Section(last62)), 0);
  EXPECT_EQ(model_->EnBalScaling, 1.0);
  EXPECT_TRUE(ScreenHas("Could not read the optional parameter EnBalScaling (double)"));
}

TEST_F(SnowTest, Method10RequiresTheDepositionIndex) {
  SnowSection m10;
  m10.method = 10;
  EXPECT_EQ(Make(Section(m10)), kGridMissingCode);
  EXPECT_TRUE(ScreenHas("deposition_index"));
}

TEST_F(SnowTest, RainThresholdBelowMeltThresholdIsRaised) {
  SnowSection low, equal;
  low.T0R = "-1";
  equal.T0R = "0";
  ASSERT_EQ(Make(Section(equal)), 0);
  EXPECT_FALSE(ScreenHas("T0R was set to T0"));
  ASSERT_EQ(Make(Section(low)), 0);
  EXPECT_TRUE(ScreenHas("T0R was set to T0"));
  EXPECT_EQ(model_->T0R, 0.0);
  EXPECT_DOUBLE_EQ(model_->RMFmean, 1.5 + 0.75);  // RMFMIN 1.5, RMFMAX 3
}

// A slide method builds its capacity and order grids on process 0 over all rows.
TEST_F(SnowTest, SlideMethodBuildsCapacityAndElevationOrder) {
  for (int i = 1; i <= 4; ++i) Add("slidefraction" + std::to_string(i), Fill(0.25));
  Add("slope_angle", {{20, 55, 60, N}, {0, 0, 0, 0}, {N, 0, 0, 0}});
  grids_["[elevation_model]"] =
      test::MakeGrid(diag_, {{500, 700, 700, 600}, {700, 400, 300, 200}, {N, 100, 150, 100}});
  registry_[2].grid = grids_["[elevation_model]"].get();
  SnowSection m8;
  m8.method = 8;
  m8.bounds = "55\n2\n30\n0.01\n1\n1\n";
  ASSERT_EQ(Make(Section(m8)), 0) << screen_.str();
  double** capacity = Registered("max_deposition");
  ASSERT_NE(capacity, nullptr);
  EXPECT_NEAR(capacity[1][1], 2 * 0.6364, 1e-4);
  EXPECT_EQ(capacity[1][2], 0.0);
  EXPECT_EQ(capacity[1][4], 0.0);  // nodata slope inside the zones
  EXPECT_EQ(capacity[2][1], 2.0);
  EXPECT_EQ(capacity[3][1], N);
  // Highest first; the three cells at 700 m in row order, then 600, 500, ...
  const double rows[3][4] = {{1, 1, 2, 1}, {1, 2, 2, 2}, {N, 3, 3, 3}};
  const double cols[3][4] = {{2, 3, 1, 4}, {1, 2, 3, 4}, {N, 3, 2, 4}};
  for (int r = 1; r <= 3; ++r) {
    for (int c = 1; c <= 4; ++c) {
      EXPECT_EQ(Registered("elev_order_row")[r][c], rows[r - 1][c - 1]) << r << "," << c;
      EXPECT_EQ(Registered("elev_order_col")[r][c], cols[r - 1][c - 1]) << r << "," << c;
    }
  }
  EXPECT_NE(Registered("input_mass"), nullptr);
  EXPECT_TRUE(model_->wholeGridOnRoot);
}

TEST_F(SnowTest, RegisteredGridIsLinkedNotMadeAndReleaseLeavesNothing) {
  GridMatrix& solid = Add("snowstorage_solid", Fill(12.5));
  const int64_t live = LiveMatrixCount();
  const int solid_index = registry_.FindIdentifier("snowstorage_solid");
  ASSERT_EQ(Make(Section(SnowSection{})), 0);
  const schneemodellklasse::OwnGrid* own = model_->FindOwnGrid("snowstorage_solid");
  ASSERT_NE(own, nullptr);
  EXPECT_TRUE(own->linked);
  EXPECT_EQ(own->grid, solid.get());
  EXPECT_EQ(registry_.FindIdentifier("snowstorage_solid"), solid_index);
  EXPECT_EQ(model_->FindOwnGrid("snowstorage_liquid")->index, solid_index + 1);
  Release();
  EXPECT_EQ(registry_.FindIdentifier("snowstorage_solid"), solid_index);
  EXPECT_EQ(registry_.FindIdentifier("snowstorage_liquid"), 0);
  EXPECT_EQ(solid[2][3], 12.5);
  EXPECT_EQ(LiveMatrixCount(), live);
}

TEST_F(SnowTest, SwitchedOffModelDoesNothing) {
  WriteControlFile("[snow_model]\n0 flow control parameter for\n60 time interval for\n");
  int32_t error = -1;
  model_ = std::make_unique<schneemodellklasse>(error, setup_);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(model_->GetMethod(), 0);
  int32_t tracer_error = -1;
  model_->SetupTracers(tracer_error, 1, nullptr, nullptr, 0);
  EXPECT_EQ(tracer_error, 0);
  EXPECT_TRUE(model_->own_grids.empty());
}

TEST_F(SnowTest, TracerInputPrefersIrrigation) {
  ASSERT_EQ(Make(Section(SnowSection{})), 0);
  std::vector<TracerDefinition> tracers(2);
  tracers[1].name = "Cl";
  std::vector<ZoneStatisticsRecord> statistics(kZoneStatisticsCapacity);
  int32_t error = -1;
  model_->SetupTracers(error, 1, tracers.data(), statistics.data(), kZoneStatisticsCapacity);
  EXPECT_EQ(error, kGridMissingCode);
  model_->ReleaseTracers();
  Add("concflux_tracer_1_input", Fill(0));
  Add("concflux_tracer_1_irrigation", Fill(0));
  model_->SetupTracers(error, 1, tracers.data(), statistics.data(), kZoneStatisticsCapacity);
  ASSERT_EQ(error, 0);
  EXPECT_EQ(model_->TracerInputIndex(1), registry_.FindIdentifier("concflux_tracer_1_irrigation"));
  model_->ReleaseTracers();
}

// Static glaciers: storages of every subbasin, shares per subbasin, the snow-on-ice table.
TEST_F(SnowTest, StaticGlacierSetUp) {
  Add("ice_firn", {{1.3, 0.4, -0.2, 0}, {0, 0, 0, 0}, {N, 0, 0, 0}});
  GlacierSection glacier;
  glacier.statistics_code = 2001;
  ASSERT_EQ(Make(Section(SnowSection{}) + IceFirn(glacier)), 0) << screen_.str();
  ASSERT_EQ(model_->soil_zone_count, 2);
  for (int i = 1; i <= 2; ++i) {
    EXPECT_EQ(model_->Qice_els[i], 5.0);
    EXPECT_EQ(model_->Qfirn_els[i], 6.0);
    EXPECT_EQ(model_->Qsnow_els[i], 7.0);
  }
  const GlacierShareRecord& first = model_->glacier_shares[1];
  EXPECT_TRUE(first.hasGlacier);
  EXPECT_DOUBLE_EQ(first.glacierized, 1.4);
  EXPECT_DOUBLE_EQ(first.nonGlacierized, 3.6);
  EXPECT_FALSE(model_->glacier_shares[2].hasGlacier);
  EXPECT_DOUBLE_EQ(model_->glacier_shares[2].nonGlacierized, 6.0);
  EXPECT_EQ(model_->snow_on_ice_statistics.statistics_name, "qglac_qsgl_.txt");
  EXPECT_EQ(model_->snow_on_ice_statistics.statistics_code, 2001);
  EXPECT_TRUE(std::filesystem::exists(dir_ / "qglac_qsgl_.txt"));
  EXPECT_EQ(Registered("melt_from_ice")[3][1], N);
  EXPECT_EQ(Registered("melt_from_ice")[3][2], 0.0);
  EXPECT_EQ(Registered("firn_WE_stack"), nullptr);
  // A glacier appears in subbasin 2 and leaves subbasin 1: the recount flags 2 and keeps 1, so
  // the melt of both still reaches the runoff.
  grids_["ice_firn"][2][3] = 0.5;
  grids_["ice_firn"][1][1] = 0;
  grids_["ice_firn"][1][2] = 0;
  model_->RecountGlacierShares();
  EXPECT_TRUE(model_->glacier_shares[2].hasGlacier);
  EXPECT_DOUBLE_EQ(model_->glacier_shares[2].glacierized, 0.5);
  EXPECT_TRUE(model_->glacier_shares[1].hasGlacier);
  EXPECT_DOUBLE_EQ(model_->glacier_shares[1].glacierized, 0.0);
}

TEST_F(SnowTest, GlacierSectionFaults) {
  GlacierSection method3, method10, no_dot, method1;
  method3.method = 3;
  method10.method = 10;
  no_dot.qglac = "qglac";
  Add("GlacierizedCells", Fill(0.5));
  // "GlacierizedCells" starts the glacier part; method 1 then needs "ice_firn".
  EXPECT_EQ(Make(Section(SnowSection{}) + IceFirn(method1)), kGridMissingCode);
  EXPECT_TRUE(ScreenHas("ice_firn"));
  EXPECT_EQ(Make(Section(SnowSection{}) + IceFirn(method3)), kGlacierSetupCode);
  EXPECT_EQ(Make(Section(SnowSection{}) + IceFirn(method10)), kGlacierSetupCode);
  EXPECT_TRUE(ScreenHas("Method for glacier melt must be 1(resp 11 for dynamic model; t-index)"));
  Add("ice_firn", Fill(0));
  EXPECT_EQ(Make(Section(SnowSection{}) + IceFirn(no_dot)), kSnowOnIceTableNameCode);
  EXPECT_TRUE(ScreenHas("the name of the qglac-statistic-file qglac has no extension"));
  EXPECT_EQ(Make(Section(SnowSection{})), kControlFileErrorCode);  // [ice_firn] missing
  // Values no glacier has: the volume-area relation and the bands divide by them.
  struct Case {
    const char* what;
    std::string firn, volume_area;
    const char* message;
  };
  const Case cases[] = {
      {"firn base 1e308", "3 1e308 0.5", "28.5 1.36 10 1", "firn_base (m) for "},
      {"VAexponent 0", "3 2000 0.5", "28.5 0 10 1", "VAexponent for "},
      {"no elevation band", "3 2000 0.5", "28.5 1.36 0 1", "numElevBands for "},
  };
  Add("GlacierCodes", Fill(7));
  for (const Case& c : cases) {
    GlacierSection dynamic;
    dynamic.method = 11;
    dynamic.firn = c.firn;
    dynamic.volume_area = c.volume_area;
    EXPECT_EQ(Make(Section(SnowSection{}) + IceFirn(dynamic)), kControlFileErrorCode) << c.what;
    EXPECT_TRUE(ScreenHas(c.message)) << c.what;
  }
}

// Dynamic glaciers: the firn stack's start levels, the optional entry and its check, the glacier
// list with its start size and bands, a glacier in two subbasins.
TEST_F(SnowTest, DynamicGlacierSetUp) {
  Add("GlacierizedCells", {{1, 0.5, 0, 0}, {0, 0, 0, 0}, {N, 0, 0, 0}});
  Add("GlacierCodes", {{7, 7, N, N}, {N, N, N, N}, {N, N, N, N}});
  GlacierSection dynamic;
  dynamic.method = 11;
  dynamic.optional = "";
  ASSERT_EQ(Make(Section(SnowSection{}) + IceFirn(dynamic)), 0);
  EXPECT_TRUE(ScreenHas("Setting default values of 1000 and 0.25"));
  EXPECT_EQ(model_->maxSnowPackToCreateGlacier, 1000.0);
  EXPECT_EQ(model_->relSizeNewGlacier, 0.25);
  ASSERT_EQ(model_->firn_levels, 3);
  double*** firn = model_->firn_WE_stack;
  for (int k = 1; k <= 3; ++k) {
    EXPECT_EQ(firn[1][1][k], 0.0) << k;   // 200 m below the firn base
    EXPECT_EQ(firn[1][2][k], 50.0) << k;  // 100 m above it
  }
  EXPECT_EQ(firn[1][2][0], 150.0);
  EXPECT_EQ(Registered("firn_WE_stack")[1][2], 150.0);
  EXPECT_EQ(firn[1][3][2], N);  // not glacierized
  EXPECT_EQ(Registered("GlacierizedCellsOld")[1][2], 0.5);
  // Glacier 7: 1.5 cells of 1 km², volume 28.5·1.5^1.36; only (1,1) without firn sets the range
  // and lies at the margin, so band 0 of ten flat bands takes it.
  ASSERT_EQ(model_->glacier_list.size(), 1u);
  const GlacierRecord& glacier = model_->glacier_list[0];
  EXPECT_EQ(glacier.code, 7);
  EXPECT_EQ(glacier.subbasin, 1);
  EXPECT_EQ(glacier.cellCount, 2);
  EXPECT_DOUBLE_EQ(glacier.area, 1.5);
  EXPECT_NEAR(glacier.volume, 28.5 * std::pow(1.5, 1.36), 1e-12);
  EXPECT_NEAR(glacier.oldArea, 1.5, 1e-12);
  EXPECT_EQ(glacier.minElevation, 1800.0);
  EXPECT_EQ(glacier.maxElevation, 1800.0);
  ASSERT_EQ(glacier.bands.size(), 10u);
  EXPECT_EQ(glacier.cellsInBands, 1);
  EXPECT_EQ(glacier.bands[0].rows, std::vector<int32_t>{1});
  EXPECT_EQ(glacier.bands[0].cols, std::vector<int32_t>{1});
  // A cell of fraction 0 that growth gave to the glacier joins a band, so it can grow.
  grids_["GlacierCodes"][2][2] = 7;
  ASSERT_EQ(Make(Section(SnowSection{}) + IceFirn(dynamic)), 0);
  EXPECT_EQ(model_->glacier_list[0].cellsInBands, 2);
  EXPECT_EQ(model_->glacier_list[0].bands[0].rows, (std::vector<int32_t>{1, 2}));
  grids_["GlacierCodes"][2][2] = N;
  grids_["GlacierCodes"][1][3] = 7;  // soil zone 2
  grids_["GlacierizedCells"][1][3] = 0.2;
  EXPECT_EQ(Make(Section(SnowSection{}) + IceFirn(dynamic)), kGlacierSubbasinCode);
  EXPECT_TRUE(
      ScreenHas("glacier 7 is located in more than one subbasin:\nFirst cell was found in "
                "subbasin 1,\nwhereas the cell in row 1 and col 3 belongs to subbasin 2"));
  grids_["GlacierCodes"][1][3] = N;
  grids_["GlacierizedCells"][1][3] = 0;
  // A new glacier covering no part of a cell would divide the excess snow by zero.
  dynamic.optional = "1500 0\n";
  EXPECT_EQ(Make(Section(SnowSection{}) + IceFirn(dynamic)), kGlacierSetupCode);
  EXPECT_TRUE(ScreenHas("relSizeNewGlacier (share of a cell covered by a new glacier) must lie"));
  dynamic.optional = "1500 0.3\n";
  // An evaluation date no year has would never change the glaciers; 29 February changes them
  // in leap years, which the run is told.
  struct EvalDate {
    const char* date;
    int code;
    const char* message;
  };
  const EvalDate dates[] = {
      {"1 13", kGlacierSetupCode, "name no date of any year"},
      {"31 4", kGlacierSetupCode, "name no date of any year"},
      {"30 2", kGlacierSetupCode, "name no date of any year"},
      {"0 6", kGlacierSetupCode, "name no date of any year"},
      {"29 2", 0,
       "GMBEvalDay 29 and GMBEvalMonth 2 name 29 February: the yearly "
       "glacier evaluation runs in leap years only"},
  };
  for (const EvalDate& d : dates) {
    std::string text = Section(SnowSection{}) + IceFirn(dynamic);
    text.replace(text.find("\n30 9\n"), 6, "\n" + std::string(d.date) + "\n");
    EXPECT_EQ(Make(text), d.code) << d.date;
    EXPECT_TRUE(ScreenHas(d.message)) << d.date;
  }
  grids_["GlacierCodes"][1][2] = N;
  EXPECT_EQ(Make(Section(SnowSection{}) + IceFirn(dynamic)), kGlacierSetupCode);
  EXPECT_TRUE(ScreenHas(" (must be an integer ID for each separate glacier) at row 1 and col 2"));
  // A code no integer holds would turn into another glacier's code.
  grids_["GlacierCodes"][1][2] = 1e308;
  EXPECT_EQ(Make(Section(SnowSection{}) + IceFirn(dynamic)), kGlacierSetupCode);
  EXPECT_TRUE(ScreenHas("GlacierCodes holds no integer glacier code at row 1 and col 2: 1e+308"));
}

TEST_F(SnowTest, PermafrostSection) {
  Add("ThawCoeffPermaFrost", Fill(0.01));
  Add("PermafrostThawDepth", Fill(0));
  Add("root_depth1", Fill(0.5));
  EXPECT_EQ(Make(Section(SnowSection{}) + Permafrost(2)), kGlacierSetupCode);
  EXPECT_TRUE(ScreenHas("method for permafrost melt must be 1 (alpha*sqrt(time))"));
  ASSERT_EQ(Make(Section(SnowSection{}) + Permafrost(1)), 0);
  EXPECT_EQ(model_->reducedKsat, 1e-7);
  EXPECT_EQ(Registered("SnowFreeDaysGrid")[2][2], 0.0);
  EXPECT_EQ(Registered("SnowCoverDaysGrid")[3][1], N);
}

TEST_F(SnowTest, StorageGridsAreReadWhenAsked) {
  Add("cloudiness", Fill(0.5));
  test::WriteFile(dir_ / "solid.asc", test::AsciiGrid(4, 3, 0, 0, 1000, -9999, [](int r, int c) {
                    return r == 3 && c == 1 ? -9999.0 : 10.0 * r + c;
                  }));
  for (const char* name : {"liquid.asc", "total.asc", "days.asc", "age.asc", "surft.asc"})
    test::WriteFile(dir_ / name, test::AsciiGrid(4, 3, 0, 0, 1000, -9999, [&](int, int) {
                      return name == std::string("surft.asc") ? 260.0 : 1.0;  // K for surft
                    }));
  // A snow temperature file with a hole inside the zones: the hole stays, no temperature yet.
  test::WriteFile(dir_ / "stemp.asc", test::AsciiGrid(4, 3, 0, 0, 1000, -9999, [](int r, int c) {
                    return r == 2 && c == 2 ? -9999.0 : 270.0;
                  }));
  SnowSection read;
  read.method = 5;
  read.entry42 = "stemp.asc";
  read.read_storage = 1;
  ASSERT_EQ(Make(Section(read)), 0) << screen_.str();
  EXPECT_EQ(Registered("snowstorage_solid")[2][3], 23.0);
  EXPECT_EQ(Registered("snow_age")[1][1], 1.0);
  EXPECT_EQ(Registered("snowtemp")[1][1], 270.0);
  EXPECT_EQ(Registered("snowtemp")[2][2], -9999.0);
  EXPECT_EQ(Registered("surftemp")[3][3], 260.0);
  // A state without the pack's albedo keeps the land-use albedo, with one warning.
  EXPECT_TRUE(ScreenHas("of the snow albedo: the first step takes the albedo of the land-use"));
  EXPECT_EQ(Registered("albedo")[2][3], 0.7);
  // With it, the albedo of the last step; a basin cell no albedo can have is refused. The run
  // writes binary floats here, so the state is named "snowalbedo.flt"; a state of an earlier
  // version, which named it "snowalbedo.asc" in every form, is read under that name.
  const int state = registry_.FindIdentifier("snow_albedo_state");
  ASSERT_GT(state, 0);
  EXPECT_EQ(registry_[state].file_name.value_or(""), "snowalbedo.flt");
  for (const double bright : {0.8, 1.5}) {
    SCOPED_TRACE(bright);
    test::WriteFile(dir_ / "snowalbedo.asc",
                    test::AsciiGrid(4, 3, 0, 0, 1000, -9999,
                                    [&](int r, int c) { return r == 2 && c == 3 ? bright : 0.2; }));
    screen_.str("");
    ASSERT_EQ(Make(Section(read)), bright > 1 ? kGridFormatCode : 0) << screen_.str();
    EXPECT_FALSE(ScreenHas("of the snow albedo"));
    EXPECT_TRUE(ScreenHas("the name an earlier version gave it")) << screen_.str();
    if (bright > 1) {
      EXPECT_TRUE(ScreenHas("outside 0 to 1")) << screen_.str();
      continue;
    }
    EXPECT_EQ(Registered("albedo")[2][3], 0.8);
    EXPECT_EQ(Registered("albedo")[1][1], 0.2);
  }
}

}  // namespace
}  // namespace velorn
