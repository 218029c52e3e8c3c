// Solar geometry against published tables (FAO-56 Annex 2) and hand computations: declination,
// equation of time, daylight hours and extraterrestrial radiation, sun position, sunrise and
// sunset, polar days and nights, months outside 1..12, and the daylight share of a step.
#include "core/solar_geometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/submodel.h"
#include "tests/support/submodel_fixture.h"

namespace velorn {
namespace {

const MonthLengths kYear = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
constexpr double kPi = 3.14159265358979323846;

struct AnnexRow {
  double latitude;
  std::vector<double> values;  // January..December, 15th day
};

// Daylight hours of the 15th of a month as sunset - sunrise at the reference meridian.
double DaylightHours(double latitude, int month) {
  const SunTimes sun = SunriseSunset(15, month, latitude, 0, 0, kYear);
  return sun.sunset - sun.sunrise;
}

// Extraterrestrial radiation of the 15th of a month, FAO-56 Eq. 21 (Gsc 0.0820 MJ m-2 min-1,
// inverse relative distance Eq. 23) with the declination and sunset hour angle of the model.
double ExtraterrestrialRadiation(double latitude, int month) {
  const int julian_day =
      15 + std::vector<int>{0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334}[month - 1];
  const double dr = 1 + 0.033 * std::cos(2 * kPi * julian_day / 365);
  const double delta = SolarDeclination(15, month, kYear) * kPi / 180;
  const double phi = latitude * kPi / 180;
  const SunTimes sun = SunriseSunset(15, month, latitude, 0, 0, kYear);
  const double solar_sunrise = sun.sunrise + EquationOfTime(15, month, kYear);
  const double omega_s = (12 - solar_sunrise) * kPi / 12;
  return 24 * 60 / kPi * 0.0820 * dr *
         (omega_s * std::sin(phi) * std::sin(delta) +
          std::cos(phi) * std::cos(delta) * std::sin(omega_s));
}

// FAO Irrigation and Drainage Paper 56 (Allen et al. 1998), Annex 2, Tables 2.6 (Ra, MJ m-2 d-1)
// and 2.7 (mean daylight hours N). The tables are printed to 0.1, and FAO computes them with
// the declination 0.409 sin(2 pi J / 365 - 1.39); the model's -23.4 cos((n + 10) / 58.09) departs
// from it by up to half a degree in spring and autumn, which moves the values by up to 0.16 MJ
// and 0.08 h. The tolerances are those two bounds.
TEST(SolarGeometry, MatchesTheFaoTablesOfRadiationAndDaylightHours) {
  const AnnexRow radiation[] = {
      {50, {8.9, 14.4, 22.2, 31.5, 38.5, 41.7, 40.2, 34.4, 25.7, 16.9, 10.2, 7.5}},
      {0, {36.2, 37.5, 37.9, 36.8, 34.8, 33.4, 33.9, 35.7, 37.2, 37.4, 36.3, 35.6}},
      {-50, {42.7, 35.6, 26.6, 16.7, 10.0, 7.1, 8.2, 13.4, 22.2, 32.1, 40.6, 44.5}},
  };
  const AnnexRow daylight[] = {
      {60, {6.4, 8.8, 11.4, 14.2, 16.8, 18.4, 17.7, 15.3, 12.5, 9.7, 7.1, 5.6}},
      {0, {12.0, 12.0, 12.0, 12.0, 12.0, 12.0, 12.0, 12.0, 12.0, 12.0, 12.0, 12.0}},
      {-50, {15.7, 14.2, 12.4, 10.5, 8.8, 7.9, 8.3, 9.7, 11.7, 13.6, 15.3, 16.1}},
  };
  for (const AnnexRow& row : radiation)
    for (int m = 1; m <= 12; ++m)
      EXPECT_NEAR(ExtraterrestrialRadiation(row.latitude, m), row.values[m - 1], 0.16)
          << row.latitude << " month " << m;
  for (const AnnexRow& row : daylight)
    for (int m = 1; m <= 12; ++m)
      EXPECT_NEAR(DaylightHours(row.latitude, m), row.values[m - 1], 0.08)
          << row.latitude << " month " << m;
}

TEST(SolarGeometry, DeclinationAndEquationOfTimeFollowTheirTables) {
  EXPECT_NEAR(SolarDeclination(1, 1, kYear), -23.4 * std::cos(11 / 58.09155423), 1e-12);
  EXPECT_NEAR(SolarDeclination(1, 1, kYear), -22.98, 0.01);
  // The first of a month gives its table value; the last day the weighted pair.
  EXPECT_NEAR(EquationOfTime(1, 2, kYear), -13.6 / 60, 1e-12);
  EXPECT_NEAR(EquationOfTime(31, 12, kYear), 11.3 / 60 / 31 + -3.2 / 60 * 30 / 31, 1e-12);
  // A month outside 1..12 (runs without meteorological input) reads no table.
  for (int month : {0, 13, -9999}) {
    EXPECT_EQ(SolarDeclination(1, month, kYear), 0.0);
    EXPECT_EQ(EquationOfTime(1, month, kYear), 0.0);
  }
}

TEST(SolarGeometry, SunriseSunsetOnTheEquatorAndAtThePoles) {
  for (int month = 1; month <= 12; ++month) {
    // Longitude 10 at a reference meridian of 15: clock = solar + 1/3 h - equation of time.
    const SunTimes sun = SunriseSunset(10, month, 0, 10, 15, kYear);
    const double shift = 5.0 / 15 - EquationOfTime(10, month, kYear);
    EXPECT_NEAR(sun.sunrise - shift, 6, 1e-9);
    EXPECT_NEAR(sun.sunset - shift, 18, 1e-9);
    EXPECT_EQ(sun.state, SunState::kRisesAndSets);
  }
  const SunTimes midsummer = SunriseSunset(21, 6, 80, 0, 0, kYear);
  const SunTimes midwinter = SunriseSunset(21, 12, 80, 0, 0, kYear);
  EXPECT_EQ(midsummer.state, SunState::kPolarDay);
  EXPECT_EQ(midwinter.state, SunState::kPolarNight);
  EXPECT_EQ(SunriseSunset(21, 6, -80, 0, 0, kYear).state, SunState::kPolarNight);
  for (const SunTimes& sun : {midsummer, midwinter}) {
    EXPECT_EQ(sun.sunrise, 24);
    EXPECT_EQ(sun.sunset, 0);
  }
}

TEST(SolarGeometry, ElevationAndPositionOfTheSun) {
  const double delta = SolarDeclination(15, 6, kYear);
  const double e = EquationOfTime(15, 6, kYear);
  const double noon = 12 - e;  // clock hour of solar noon at the reference meridian
  struct Case {
    double latitude, hour, elevation_deg;
  } cases[] = {
      {47, noon, 90 - (47 - delta)},     // noon: 90 - (latitude - declination)
      {47, noon + 12, 90 - 47 - delta},  // midnight: the depth below, positive
      {0, noon + 12, 90 - delta},
      {-30, noon, 90 - (30 + delta)},
  };
  for (const Case& c : cases) {
    EXPECT_NEAR(SolarElevation(15, 6, c.latitude, 0, c.hour, 0, kYear), c.elevation_deg, 1e-6)
        << c.latitude << " " << c.hour;
  }
  double azimuth = 0, elevation = 0;
  SolarPosition(15, 6, 47, 0, noon, 0, kYear, azimuth, elevation);  // due south
  EXPECT_NEAR(azimuth, kPi, 1e-6);
  EXPECT_NEAR(elevation, (90 - (47 - delta)) * kPi / 180, 1e-6);
  SolarPosition(15, 6, -30, 0, noon, 0, kYear, azimuth, elevation);  // due north
  EXPECT_NEAR(azimuth, 0, 1e-6);
  SolarPosition(15, 6, delta, 0, noon, 0, kYear, azimuth, elevation);  // at the zenith
  EXPECT_FALSE(std::isnan(azimuth));
  EXPECT_NEAR(azimuth, kAzimuthSouth, 1e-9);
  EXPECT_NEAR(elevation, kPi / 2, 1e-6);
  // Morning and afternoon mirror each other about the meridian; at night the elevation is
  // negative.
  double morning = 0, afternoon = 0, up = 0, night = 0;
  SolarPosition(15, 6, 47, 0, noon - 3, 0, kYear, morning, up);
  SolarPosition(15, 6, 47, 0, noon + 3, 0, kYear, afternoon, up);
  EXPECT_NEAR(morning + afternoon, 2 * kPi, 1e-6);
  EXPECT_GT(morning, 0);
  EXPECT_LT(morning, kPi);
  SolarPosition(15, 6, 47, 0, noon + 12, 0, kYear, azimuth, night);
  EXPECT_LT(night, 0);
  EXPECT_NEAR(-night * 180 / kPi, SolarElevation(15, 6, 47, 0, noon + 12, 0, kYear), 1e-6);
}

struct ShareCase {
  double sunrise, sunset, step_end, step_hours;
  double before, after, night_fraction;
  int night_flag;
};

TEST(SolarGeometry, DaylightShareOfAStep) {
  const ShareCase cases[] = {
      {6, 18, 24, 24, 6, 6, 0.5, 0},     // a daily step: half of it dark
      {6, 18, 12, 1, 0, 0, 0, 0},        // an hour of full day
      {6, 18, 3, 1, 0, 1, 1, 1},         // an hour before sunrise
      {6, 18, 6.5, 1, 0.5, 0, 0.5, 0},   // sunrise in the step
      {6, 18, 18.5, 1, 0, 0.5, 0.5, 0},  // sunset in the step
      {6, 18, 19, 1, 0, 1, 1, 1},        // an hour after sunset
      {5, 20, 24, 24, 5, 4, 0.375, 0},
  };
  for (const ShareCase& c : cases) {
    const DaylightShare share = DaylightFraction(c.sunrise, c.sunset, SunState::kRisesAndSets,
                                                 c.step_end, c.step_hours, c.step_hours);
    EXPECT_NEAR(share.dark_before_sunrise, c.before, 1e-12) << c.step_end;
    EXPECT_NEAR(share.dark_after_sunset, c.after, 1e-12) << c.step_end;
    EXPECT_NEAR(share.night_fraction, c.night_fraction, 1e-12) << c.step_end;
    EXPECT_NEAR(share.daylight_fraction, 1 - c.night_fraction, 1e-12) << c.step_end;
    EXPECT_EQ(share.night_flag, c.night_flag) << c.step_end;
  }
  // Polar night is night and polar day is day, whatever the step.
  const DaylightShare dark = DaylightFraction(0, 0, SunState::kPolarNight, 12, 1, 1);
  const DaylightShare light = DaylightFraction(0, 0, SunState::kPolarDay, 12, 24, 24);
  EXPECT_EQ(dark.night_flag, 1);
  EXPECT_EQ(dark.daylight_fraction, 0);
  EXPECT_EQ(light.night_flag, 0);
  EXPECT_EQ(light.daylight_fraction, 1);
}

class SubModelDaylight : public test::SubModelTest {};

TEST_F(SubModelDaylight, FillsTheFieldsForTheStepAndSkipsStepsWithoutAMonth) {
  WriteControlFile("[day]\n1 flow\n1440 min\n");
  setup_.latitude = 80;
  teilmodellklasse model(setup_, "day");
  model.RunStep(24, 21, 12, 2001);
  model.DaylightFraction();
  EXPECT_EQ(model.night_flag, 1);  // polar night
  EXPECT_EQ(model.daylight_fraction, 0);
  model.RunStep(24, 21, 6, 2001);
  model.DaylightFraction();
  EXPECT_EQ(model.night_flag, 0);  // polar day
  EXPECT_EQ(model.daylight_fraction, 1);
  model.daylight_fraction = 0.25;
  model.RunStep(24, -9999, -9999, -9999);
  model.DaylightFraction();
  EXPECT_EQ(model.daylight_fraction, 0.25);
}

}  // namespace
}  // namespace velorn
