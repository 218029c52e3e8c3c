// Radiation and temperature correction: daylight of sub-intervals, clear-sky and slope
// radiation, corrected temperature, the shading scan, and the sub-model's steps against
// incidence angles computed here from the sun's declination.
#include "meteo/radiation_correction.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <memory>

#include "core/error_code.h"
#include "meteo/radiation_correction_formulas.h"
#include "tests/support/submodel_fixture.h"

namespace velorn {
namespace {

constexpr double kNodataRadiationCorrection = -9999;
constexpr double kDeg = 3.141592653589793 / 180.0;

TEST(SubIntervalDaylight, SharesAtSunriseSunsetAndUnderTimeShifts) {
  const auto rises = SunState::kRisesAndSets;
  struct Case {
    const char* what;
    double sunrise, sunset;
    SunState state;
    double centre, length, day_fraction;
    bool night;
    double sun_time;
  } cases[] = {
      {"midday", 6, 18, rises, 12, 1, 1, false, 12},
      {"ends exactly at sunset", 6, 18, rises, 17.5, 1, 1, false, 17.5},
      {"starts exactly at sunrise", 6, 18, rises, 6.5, 1, 1, false, 6.5},
      {"half after sunrise", 6.5, 18, rises, 6.5, 1, 0.5, false, 6.75},
      {"half before sunset", 6, 17.5, rises, 17.5, 1, 0.5, false, 17.25},
      {"deep night", 6, 18, rises, 2, 1, 0, true, 0},
      {"sunlit 3 %: night", 6.97, 18, rises, 6.5, 1, 0.03, true, 6.985},
      {"noon of the next day", 6, 18, rises, 36, 1, 1, false, 12},
      {"night of the next day", 6, 18, rises, 25.5, 1, 0, true, 0},
      {"noon of the day before", 6, 18, rises, -12, 1, 1, false, 12},
      {"shifted sunset after midnight", 8, 24.5, rises, 0.25, 0.5, 1, false, 0.25},
      {"negative sunrise wraps", -18, 18, rises, 12, 1, 1, false, 12},
      {"whole day", 6, 18, rises, 12, 24, 0.5, false, 12},
      {"two sunlit parts: the earlier one", 6, 18, rises, 0, 24, 0.5, false, 15},
      {"polar day", 24, 0, SunState::kPolarDay, 2, 1, 1, false, 2},
      {"polar night", 24, 0, SunState::kPolarNight, 12, 1, 0, true, 0},
  };
  for (const Case& c : cases) {
    const SubIntervalDaylight d =
        SubIntervalDaylightShare(c.sunrise, c.sunset, c.state, c.centre, c.length);
    EXPECT_NEAR(d.day_fraction, c.day_fraction, 1e-12) << c.what;
    EXPECT_EQ(d.night, c.night) << c.what;
    if (!c.night) {
      EXPECT_NEAR(d.sun_time, c.sun_time, 1e-12) << c.what;
    }
  }
}

TEST(SlopeRadiation, ClearSkyBeamShareAndCorrectedTemperature) {
  // 1367 W/m² through 0.86^0.9 at the zenith: 1193.5 W/m², per sunlit hour.
  EXPECT_NEAR(ClearSkyRadiation(1, 1, 90 * kDeg), 1193.5, 0.05);
  EXPECT_NEAR(ClearSkyRadiation(0.5, 2, 30 * kDeg), 1367 * 0.76224, 0.05);  // 0.86^1.8
  EXPECT_EQ(ClearSkyRadiation(1, 1, 0.0169), 0.0);

  struct Beam {
    double cos_i, cos_z;
    bool shaded, overcast;
    double share;
  } beams[] = {{0.8, 0.6, false, false, 0.8}, {0.8, 0.6, true, false, 0},
               {-0.1, 0.6, false, false, 0},  {0.8, 0.6, false, true, 0.6},
               {0.9, 0.1, false, false, 0.5}, {-0.1, 0.6, false, true, 0}};
  for (const Beam& b : beams)
    EXPECT_DOUBLE_EQ(SlopeBeamShare(b.cos_i, b.cos_z, b.shaded, b.overcast), b.share)
        << b.cos_i << " " << b.cos_z << " " << b.shaded << b.overcast;

  struct Temp {
    double factor;
    bool had_radiation;
    double scaling, weight, expected;
  } temps[] = {{0.1, true, 1, 0.5, 10 - 0.8047},
               {1, true, 1, 0.5, 10},
               {2, true, 2, 1, 10 + 2 * 0.6931471805599453},
               {0, false, 1, 0.5, 10},
               {0.2, true, 1, 1, 10 - 1.6094}};
  for (const Temp& t : temps)
    EXPECT_DOUBLE_EQ(CorrectedTemperature(10, t.factor, t.had_radiation, t.scaling, t.weight),
                     t.expected)
        << t.factor;
}

// A 1000 m high ridge across the middle of a flat 7 x 7 grid of 1000 m cells, the sun 30°
// high: each step drops the ray by 577 m, so exactly the first cell behind the ridge lies in
// its shadow and every cell in front of and beside it in the sun.
TEST(ShadingScan, ARidgeShadesTheCellBehindItForEveryQuadrant) {
  struct Case {
    const char* sun;
    double azimuth;
    bool ridge_is_column;  // a north-south ridge in column 4, else an east-west one in row 4
    int shaded_row, shaded_col;
  } cases[] = {
      {"east", 90 * kDeg, true, 0, 3},
      {"west", 270 * kDeg, true, 0, 5},
      {"north", 0.0, false, 5, 0},
      {"south", 180 * kDeg, false, 3, 0},
      {"north-north-east", 10 * kDeg, false, 5, 0},
  };
  test::CapturedDiag d;
  for (const Case& c : cases) {
    GridMatrix dem = test::FilledGrid(d.diag, 7, 7, 0.0);
    for (int i = 1; i <= 7; ++i) (c.ridge_is_column ? dem[i][4] : dem[4][i]) = 1000;
    dem[7][7] = kNodataRadiationCorrection;  // passed over
    GridMatrix shadow = test::FilledGrid(d.diag, 7, 7, 0.0);
    ShadingScan(dem.get(), 7, 7, kNodataRadiationCorrection, 1000, c.azimuth, 30 * kDeg,
                shadow.get());
    for (int r = 1; r <= 7; ++r)
      for (int col = 1; col <= 7; ++col) {
        const bool behind = c.ridge_is_column ? col == c.shaded_col : r == c.shaded_row;
        EXPECT_EQ(shadow[r][col], behind && dem[r][col] != kNodataRadiationCorrection ? 1.0 : 0.0)
            << c.sun << " row " << r << " col " << col;
      }
  }
}

// A process scans only its own rows, on several threads: on rough terrain (with nodata holes)
// every band of rows gets the values of the whole scan on one thread, for suns in every
// quadrant, on both sides of the diagonals and on the quadrant boundaries.
TEST(ShadingScan, BandsOnFourThreadsMatchTheWholeScanOnOne) {
  constexpr int kRows = 41;
  constexpr int kCols = 29;
  test::CapturedDiag d;
  GridMatrix dem = test::FilledGrid(d.diag, kRows, kCols, 0.0);
  for (int r = 1; r <= kRows; ++r)
    for (int c = 1; c <= kCols; ++c)
      dem[r][c] = (r * 7919 + c * 104729) % 97 == 0 ? kNodataRadiationCorrection
                                                    : ((r * 37 + c * 61) * 2654435761u % 3001);
  const int bands[][2] = {{1, 9}, {10, 10}, {11, 30}, {31, 41}};
  const int threads = omp_get_max_threads();
  for (double degrees : {0.0, 20.0, 44.0, 46.0, 90.0, 120.0, 180.0, 200.0, 250.0, 270.0, 315.0}) {
    omp_set_num_threads(1);
    GridMatrix whole = test::FilledGrid(d.diag, kRows, kCols, 0.0);
    ShadingScan(dem.get(), kRows, kCols, kNodataRadiationCorrection, 50, degrees * kDeg, 10 * kDeg,
                whole.get());
    omp_set_num_threads(4);
    for (const auto& band : bands) {
      GridMatrix part(d.diag, band[0], band[1], kCols, kRows);
      ShadingScanRows(dem.get(), kRows, kCols, kNodataRadiationCorrection, 50, degrees * kDeg,
                      10 * kDeg, band[0], band[1], part.get());
      for (int r = band[0]; r <= band[1]; ++r)
        for (int c = 1; c <= kCols; ++c)
          ASSERT_EQ(part[r][c], whole[r][c]) << degrees << " degrees, row " << r << " col " << c;
    }
  }
  omp_set_num_threads(threads);
}

// The sub-model on a 3 x 4 grid: row 1 flat, row 2 facing south, row 3 facing north (30°),
// one nodata cell; elevation flat except a ridge in column 4 where a test puts it.
class RadiationCorrection : public test::SubModelTest {
 protected:
  RadiationCorrection()
      : zone_(test::FilledGrid(diag_, 3, 4, 1)),
        dem_(test::FilledGrid(diag_, 3, 4, 500)),
        aspect_(test::MakeGrid(diag_, {{0, 0, 0, 0}, {180, 180, 180, 180}, {0, 0, 0, 0}})),
        slope_(test::MakeGrid(diag_, {{0, 0, 0, 0}, {30, 30, 30, 30}, {30, 30, 30, 30}})),
        temperature_(test::FilledGrid(diag_, 3, 4, 10)) {
    zone_[1][1] = kNodataRadiationCorrection;
    dem_[1][1] = kNodataRadiationCorrection;
    Register("zone.asc", zone_, "zones");
    Register("dem.asc", dem_, "[elevation_model]");
    Register("aspect.asc", aspect_, "slope_aspect");
    Register("slope.asc", slope_, "slope_angle");
    Register("t.asc", temperature_, "temperature");
    setup_.latitude = 47;
    setup_.longitude = 15;
    setup_.reference_meridian = 15;
  }
  ~RadiationCorrection() override {
    if (model_) model_->ReleaseMemory();
  }

  void Register(const std::string& file, GridMatrix& grid, const std::string& name) {
    registry_.Register(diag_, registry_.FirstFreeIndex(), file, grid.get(), nullptr, 0, name, 0, 1,
                       3, 4, 3);
  }

  // Constructs the model with `method`, kNodataRadiationCorrection, S and the time interval;
  // returns its error code.
  int32_t Make(int method, int divisor = 1, int splittings = 1, int interval = 60) {
    WriteControlFile("[radiation_correction]\n1 flow control parameter for\n" +
                     std::to_string(interval) + " time interval for\n" + std::to_string(method) +
                     " methode of correction for\ntkorr.asc name\n0 Writegrid EXKORR for\n"
                     "1.0 scaling factor for Tkorr for\nexkorr.asc name\n0 Writegrid\n"
                     "shape.asc name\n0 Writegrid SHAPE for\n" +
                     std::to_string(divisor) + " number if timesteps for\n" +
                     std::to_string(splittings) + " number of splittings for\n");
    int32_t error = -1;
    model_ = std::make_unique<expokorrklasse>(error, setup_);
    return error;
  }

  // The clock shift that puts the centre of a one-hour step ending at hour 12 on solar noon
  // of 21 March (the equation of time moves solar noon off 12 o'clock).
  double NoonShift() const {
    return 0.5 -
           EquationOfTime(21, 3, MonthLengths{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31});
  }

  GridMatrix zone_, dem_, aspect_, slope_, temperature_;
  std::unique_ptr<expokorrklasse> model_;
};

TEST_F(RadiationCorrection, FactorsAtEquinoxNoonFollowTheIncidenceAngle) {
  const double delta =
      SolarDeclination(21, 3, MonthLengths{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31}) * kDeg;
  const double zenith = 47 * kDeg - delta;  // sun due south at solar noon
  const double south = std::cos(zenith - 30 * kDeg) / std::cos(zenith);
  const double north = std::cos(zenith + 30 * kDeg) / std::cos(zenith);
  // A shift of whole days changes nothing: day and night are judged on one clock.
  for (double days : {0.0, 1.0, -1.0}) {
    setup_.coordinates_time_shift = NoonShift() + 24 * days;
    ASSERT_EQ(Make(2), 0);
    model_->RunStep(12, 21, 3, 2001);
    double** f = model_->radiation_correction.get();
    double** t = model_->corr_temperature.get();
    EXPECT_EQ(f[1][1], kNodataRadiationCorrection);
    for (int c = 2; c <= 4; ++c) EXPECT_NEAR(f[1][c], 1.0, 1e-9) << days;
    for (int c = 1; c <= 4; ++c) {
      EXPECT_NEAR(f[2][c], south, 1e-6) << days;
      EXPECT_NEAR(f[3][c], north, 1e-6) << days;
      EXPECT_NEAR(t[2][c], 10 + std::log(south) * 0.5, 1e-6);
    }
    model_->ReleaseMemory();
    model_.reset();
  }
}

TEST_F(RadiationCorrection, ARidgeShadesItsWestSideInTheMorningWithMethodsOneAndTwoOnly) {
  for (int r = 1; r <= 3; ++r) dem_[r][4] = 5000;
  struct Case {
    int method;
    double shaded_factor;
  } cases[] = {{1, 0.0}, {2, 0.0}, {3, 1.0}, {4, 1.0}};
  for (const Case& c : cases) {
    ASSERT_EQ(Make(c.method), 0);
    model_->RunStep(9, 21, 3, 2001);  // 8 to 9 o'clock: the sun low in the east
    EXPECT_NEAR(model_->radiation_correction[1][3], c.shaded_factor, 1e-9) << c.method;
    EXPECT_NEAR(model_->radiation_correction[1][2], c.shaded_factor, 1e-9) << c.method;
    EXPECT_EQ(model_->corr_temperature.get() != nullptr, c.method % 2 == 0);
    model_->ReleaseMemory();
    model_.reset();
  }
}

TEST_F(RadiationCorrection, ANightStepGivesZeroFactorsAndTheTemperatureItself) {
  ASSERT_EQ(Make(7, 1, 4), 0);  // 7 acts as method 2
  EXPECT_EQ(model_->method, 2);
  model_->RunStep(2, 21, 3, 2001);
  EXPECT_EQ(model_->flat_sum, 0.0);
  for (int c = 2; c <= 4; ++c) {
    EXPECT_EQ(model_->radiation_correction[2][c], 0.0);
    EXPECT_EQ(model_->corr_temperature[2][c], 10.0);
  }
}

TEST_F(RadiationCorrection, EveryThirdCallComputesAndTheTemperatureNeverDrifts) {
  setup_.coordinates_time_shift = NoonShift();
  ASSERT_EQ(Make(2, 3), 0);
  const int hours[] = {12, 2, 2, 2, 12, 12, 2};
  const bool computed[] = {true, false, false, true, false, false, true};
  double factor = 0;
  for (int call = 0; call < 7; ++call) {
    temperature_[2][2] = 10 + call;
    // Another model warms the corrected temperature in place between the steps.
    model_->corr_temperature[2][2] += 3;
    model_->RunStep(hours[call], 21, 3, 2001);
    const double now = model_->radiation_correction[2][2];
    if (computed[call]) factor = hours[call] == 12 ? now : 0.0;
    EXPECT_DOUBLE_EQ(now, factor) << call;
    const double expected = factor > 0.2 ? 10 + call + std::log(factor) * 0.5 : 10 + call;
    EXPECT_NEAR(model_->corr_temperature[2][2], expected, 1e-12) << call;
  }
}

TEST_F(RadiationCorrection, NightTemperatureIsACopyForDailyStepsOnly) {
  ASSERT_EQ(Make(2, 1, 1, 60), 0);
  EXPECT_EQ(model_->temperature_night_index, registry_.Find("temperature", 0));
  EXPECT_EQ(registry_.Find("temperature_night", 0), 0);
  model_->ReleaseMemory();
  ASSERT_EQ(Make(2, 1, 4, 1440), 0);
  const int night = registry_.Find("temperature_night", 0);
  ASSERT_GT(night, 0);
  temperature_[3][3] = -4;
  model_->RunStep(24, 21, 3, 2001);
  EXPECT_EQ(registry_[night].grid[3][3], -4);
  EXPECT_EQ(registry_[night].grid[1][1], kNodataRadiationCorrection);
  model_->ReleaseMemory();
  EXPECT_EQ(registry_.Find("temperature_night", 0), 0);
  EXPECT_EQ(registry_.Find("radiation_correction", 0), 0);
  model_.reset();
}

TEST_F(RadiationCorrection, BadSettingsEndInTheirCodes) {
  EXPECT_EQ(Make(2, 1, 0), kControlFileErrorCode);
  EXPECT_TRUE(ScreenHas("number of splittings must be 1 or more"));
  model_.reset();
  WriteControlFile("[radiation_correction]\n1 flow\n60 interval\n2 method\n");
  int32_t error = -1;
  expokorrklasse model(error, setup_);
  EXPECT_EQ(error, kControlFileErrorCode);
  registry_.Unregister(registry_.Find("slope_angle", 0));
  EXPECT_EQ(Make(2), kGridMissingCode);
  model_.reset();
}

}  // namespace
}  // namespace velorn
