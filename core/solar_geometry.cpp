// Solar geometry formulas. Every argument of acos and sqrt is clamped to its domain, so that
// rounding just outside [-1, 1] never turns a result into NaN.
#include "core/solar_geometry.h"

#include <algorithm>
#include <cmath>

namespace velorn {
namespace {

constexpr double kRadiansPerDegree = kSolarPi / 180.0;

bool ValidMonth(int month) {
  return month >= 1 && month <= 12;
}

double Clamp1(double value) {
  return std::clamp(value, -1.0, 1.0);
}

int DayOfYear(int day, int month, const MonthLengths& month_lengths) {
  int n = day;
  for (int m = 1; m < month; ++m) n += month_lengths[m - 1];
  return n;
}

// Clock hours minus solar hours at `longitude` for a zone time of `reference_meridian`.
double MeridianShift(double longitude, double reference_meridian) {
  return (reference_meridian - longitude) / 15.0;
}

}  // namespace

double SolarDeclination(int day, int month, const MonthLengths& month_lengths) {
  if (!ValidMonth(month)) return 0.0;
  const int n = DayOfYear(day, month, month_lengths);
  return -23.4 * std::cos((n + 10) / 58.09155423);
}

double EquationOfTime(int day, int month, const MonthLengths& month_lengths) {
  if (!ValidMonth(month)) return 0.0;
  const double length = month_lengths[month - 1];
  return (length - day + 1) / length * kEquationOfTimeMinutes[month] / 60.0 +
         (day - 1) / length * kEquationOfTimeMinutes[month + 1] / 60.0;
}

double SolarElevation(int day, int month, double latitude, double longitude, double hour,
                      double reference_meridian, const MonthLengths& month_lengths) {
  const double e = EquationOfTime(day, month, month_lengths);
  const double delta = SolarDeclination(day, month, month_lengths) * kRadiansPerDegree;
  const double phi = latitude * kRadiansPerDegree;
  const double t = hour - MeridianShift(longitude, reference_meridian);
  const double s = Clamp1(std::sin(phi) * std::sin(delta) +
                          std::cos(phi) * std::cos(delta) *
                              std::cos((12.0 - (t + e)) * 15.0 / 180.0 * kSolarPi));
  const double zenith = std::acos(s) * 180.0 / kSolarPi;
  return s >= 0 ? 90.0 - zenith : zenith - 90.0;
}

void SolarPosition(int day, int month, double latitude, double longitude, double hour,
                   double reference_meridian, const MonthLengths& month_lengths, double& azimuth,
                   double& elevation) {
  latitude = std::fmod(latitude, 360.0);
  longitude = std::fmod(longitude, 360.0);
  const double e = EquationOfTime(day, month, month_lengths);
  const double delta = SolarDeclination(day, month, month_lengths) * kRadiansPerDegree;
  const double phi = latitude * kRadiansPerDegree;
  const double t = std::fmod(hour - MeridianShift(longitude, reference_meridian) + e + 24.0, 24.0);
  const double cos_omega = std::cos((12.0 - t) / 12.0 * kSolarPi);
  const double cos_z =
      Clamp1(std::sin(phi) * std::sin(delta) + std::cos(phi) * std::cos(delta) * cos_omega);
  const double sin_z = std::sqrt(std::max(0.0, 1.0 - cos_z * cos_z));
  elevation = kSolarPi / 2.0 - std::acos(cos_z);
  if (sin_z <= 0.0) {
    azimuth = kAzimuthSouth;  // the sun at the zenith has no direction
    return;
  }
  const double cos_a = Clamp1(
      (std::sin(delta) * std::cos(phi) - cos_omega * std::sin(phi) * std::cos(delta)) / sin_z);
  azimuth = std::acos(cos_a);
  if (t > 12.0) azimuth = kFullTurn - azimuth;
}

double CosIncidenceAngle(double a1, double z1, double a2, double z2) {
  return CosIncidenceFromTerms(a1, std::cos(z1), std::sin(z1), a2, std::cos(z2), std::sin(z2));
}

SunTimes SunriseSunset(int day, int month, double latitude, double longitude,
                       double reference_meridian, const MonthLengths& month_lengths) {
  latitude = std::fmod(latitude, 360.0);
  longitude = std::fmod(longitude, 360.0);
  const double e = EquationOfTime(day, month, month_lengths);
  const double delta = SolarDeclination(day, month, month_lengths) * kRadiansPerDegree;
  const double phi = latitude * kRadiansPerDegree;
  const double x = std::sin(phi) / std::cos(phi) * (std::sin(delta) / std::cos(delta));
  SunTimes times;
  if (x > 1.0 || x < -1.0) {
    times.sunrise = 24.0;
    times.sunset = 0.0;
    times.state = x > 1.0 ? SunState::kPolarDay : SunState::kPolarNight;
    return times;
  }
  times.sunrise = x == 0.0 ? 6.0 : 12.0 / kSolarPi * std::acos(x);
  times.sunset = 24.0 - times.sunrise;
  const double shift = MeridianShift(longitude, reference_meridian) - e;
  times.sunrise += shift;
  times.sunset += shift;
  return times;
}

DaylightShare DaylightFraction(double sunrise, double sunset, SunState state, double step_end,
                               double step_hours, double interval_hours) {
  DaylightShare share;
  if (state == SunState::kPolarDay) return share;
  if (state == SunState::kPolarNight) {
    share.night_fraction = 1.0;
    share.daylight_fraction = 0.0;
    share.night_flag = 1;
    return share;
  }
  const double r = sunrise;
  const double u = sunset;
  const double e = step_end;
  const double s = e - step_hours;
  const double a = (s <= r && r < e) ? r - s : 0.0;
  double b = 0.0;
  if (u > r) {
    if (u > e && r < e) {
      b = 0.0;
    } else if (s < u && u < e) {
      b = e - u;
    } else {
      b = interval_hours;
    }
  } else if (u > e) {
    b = 0.0;
  } else if (u > s) {
    b = e - u;
  } else if (r > e) {
    b = interval_hours;
  }
  double f = (a + b) / step_hours;
  if (f > 1.0) f -= 1.0;
  share.dark_before_sunrise = a;
  share.dark_after_sunset = b;
  if (f > kNightFractionLimit) {
    share.night_fraction = 1.0;
    share.daylight_fraction = 0.0;
    share.night_flag = 1;
  } else {
    share.night_fraction = f;
    share.daylight_fraction = 1.0 - f;
  }
  return share;
}

}  // namespace velorn
