// The snow balance of one cell for one call (see snow/snow_cell.h).
#include "snow/snow_cell.h"

#include <algorithm>
#include <cmath>

#include "snow/snow_formulas.h"

namespace velorn {
namespace {

bool IsEnergyBalance(int32_t method) {
  return method == 5 || method == 6 || method == 7 || method == 11;
}
bool Deposits(int32_t method) {
  return method == 7 || method == 9 || method == 10 || method == 11 || method == 13 || method == 14;
}
bool IsUnset(double value, double nodata) {
  return value == nodata || value == 0.0;
}

// Saturation vapour pressure of the air: over ice at or below the melting point, else over
// water.
double AirSaturation(double celsius) {
  return celsius + kSnowZeroKelvin <= kSnowZeroKelvin ? MagnusOverIce(celsius)
                                                      : MagnusOverWater(celsius);
}

// The terms of the energy balance that do not depend on the surface temperature.
ColdBalanceTerms BalanceTerms(const SnowCellSettings& s, const SnowCellInput& in,
                              const SnowCellState& state) {
  ColdBalanceTerms t;
  const double ds = s.minutes * 60.0;
  t.air_kelvin = in.T + kSnowZeroKelvin;
  t.vapour = AirSaturation(in.T) * in.humidity;
  const double k = CloudCoefficient(in.P, in.cloudiness);
  t.long_wave_in = IncomingLongWave(s.LWINcorr, t.air_kelvin, t.vapour, k, in.cloudiness);
  if (in.long_wave > 0 && s.LWINcorr * in.long_wave > 0) t.long_wave_in = s.LWINcorr * in.long_wave;
  t.wind_function = WindFunction(in.wind);
  t.short_wave = (1.0 - in.albedo) * in.radiation * 60.0 / s.minutes;
  t.heat_rain_snow = (t.air_kelvin - kSnowZeroKelvin) * kWaterHeatCapacity * state.rain / ds +
                     (t.air_kelvin - kSnowZeroKelvin) * kSnowHeatCapacity * state.snowfall / ds +
                     1.0;
  t.LWOUTcorr = s.LWOUTcorr;
  return t;
}

// Warm branch of the energy-balance methods: returns the melt, weighted by w (the pack is warmed
// by the weighted energy of the call).
double WarmBalance(const SnowCellSettings& s, const SnowCellInput& in, double w, bool takes_over,
                   double Ts, SnowCellState& st) {
  const ColdBalanceTerms t = BalanceTerms(s, in, st);
  const double ds = s.minutes * 60.0;
  const double H = LatentFlux(t.wind_function, t.vapour, 6.1071);
  double m = H * ds * w / kSublimationHeat;
  double Q = s.EnBalScaling *
             (t.short_wave + t.long_wave_in - s.LWOUTcorr * kStefanBoltzmann * std::pow(Ts, 4) +
              t.wind_function * 18.85 * (t.air_kelvin - Ts) + H + t.heat_rain_snow);
  if (!takes_over && Q > 0 && (st.solid > 0 || st.liquid > 0))
    st.snow_temperature +=
        ds * w * Q / (kSnowHeatCapacity * st.solid + kWaterHeatCapacity * st.liquid);
  double melt = 0;
  if (WetBulbTemperature(in.T, t.vapour, in.elevation) <= 0) {
    // The energy of the step sublimates snow instead of melting it (m carries w already).
    m -= w * ds * Q / kSublimationHeat;
    Q = 0;
  } else if (!takes_over) {
    melt = std::max(
        0.0, (st.snow_temperature - kSnowZeroKelvin) * kSnowHeatCapacity * st.solid / kFusionHeat);
  }
  if (!takes_over) st.snow_temperature = kSnowZeroKelvin;
  if (m < 0) {
    const double removed = std::min(st.solid, -m);
    st.solid -= removed;
    st.total = st.solid + st.liquid;
    st.evaporation = removed;
    st.sublimation = removed;
    if (s.layered) st.layered_removed += removed;
  }
  st.surface_temperature = Ts;
  if (st.total <= 0) {
    st.snow_temperature = s.nodata;
    st.surface_temperature = s.nodata;
  }
  st.balance = Q;
  return melt;
}

// Cold branch of the energy-balance methods: sublimation, refreezing, temperatures.
void ColdBalanceBranch(const SnowCellSettings& s, const SnowCellInput& in, double w,
                       bool takes_over, double Ts_given, SnowCellState& st) {
  if (st.solid <= 0) {
    st.snow_temperature = s.nodata;
    st.surface_temperature = s.nodata;
    return;
  }
  const ColdBalanceTerms t = BalanceTerms(s, in, st);
  const double Tk = t.air_kelvin;
  double Ts = Tk - 2.0;
  if (st.liquid > 0 || Tk > kSnowZeroKelvin + 2.0) {
    Ts = kSnowZeroKelvin;
  } else if (in.has_surface_grid) {
    Ts = Ts_given;
  }
  double Q = 0, H = 0;
  const bool search = !in.has_surface_grid && (st.liquid <= 0 || (s.heat_transfer && s.layered));
  if (search) {
    Ts = SearchSurfaceTemperature(t, Ts, Q, H, st.evaluations);
  } else {
    Q = ColdBalance(t, Ts, H);
    st.evaluations = 1;
  }
  if (!in.has_surface_grid) {
    if (Tk - Ts > 13.0) {
      Ts = Tk - 13.0;
      ColdBalance(t, Ts, H);
    }
    if (Ts > kSnowZeroKelvin) {
      Ts = kSnowZeroKelvin;
      H = LatentFlux(t.wind_function, t.vapour, 6.1071);
    }
  }
  st.balance = 0;
  const double Tsn = st.snow_temperature;
  const double a =
      2.0 * (s.minutes * w * 60.0 * 1000.0) * 0.3 / (st.total * st.total * kSnowHeatCapacity);
  double T1 = Tsn + (Ts - Tsn) * 0.3 * a;
  T1 = std::clamp(T1, std::min(Tsn, Ts), std::max(Tsn, Ts));
  T1 = std::min(T1, kSnowZeroKelvin);
  double m = s.minutes * 60.0 * H / kSublimationHeat * w;
  st.solid += m;
  if (st.solid < 0) {
    m -= st.solid;
    st.solid = 0;
  }
  st.sublimation = -m;
  if (s.layered) {
    if (m > 0) st.layered_added += m;
    if (m < 0) st.layered_removed -= m;
  }
  if (!takes_over) {
    const double r = -Q * w * s.minutes * 60.0 / kFusionHeat;
    if (r > 0 && st.liquid > 0) {
      if (s.layered) st.layered_added += std::min(r, st.liquid);
      if (r <= st.liquid) {
        st.liquid -= r;
        st.solid += r;
      } else {
        const double L = st.liquid, S = st.solid;
        st.solid += L;
        st.liquid = 0;
        T1 += L * kFusionHeat / ((L + S) * kSnowHeatCapacity);
        T1 = std::min(std::max(T1, Ts - 3.0), kSnowZeroKelvin);
      }
    }
  }
  st.total = st.solid + st.liquid;
  st.evaporation = -m;
  st.surface_temperature = Ts;
  if (!takes_over) st.snow_temperature = T1;
  if (st.total <= 0) {
    st.snow_temperature = s.nodata;
    st.surface_temperature = s.nodata;
  }
}

}  // namespace

double ColdBalance(const ColdBalanceTerms& t, double surface_kelvin, double& latent) {
  const double Ts = surface_kelvin;
  latent = LatentFlux(t.wind_function, t.vapour, MagnusOverIce(Ts - kSnowZeroKelvin));
  return t.short_wave + t.long_wave_in - t.LWOUTcorr * kStefanBoltzmann * std::pow(Ts, 4) +
         t.wind_function * 18.85 * (t.air_kelvin - Ts) + latent + t.heat_rain_snow;
}

double SearchSurfaceTemperature(const ColdBalanceTerms& t, double start, double& balance,
                                double& latent, int& evaluations) {
  double Ts = start;
  double step = -10.0;
  double previous = 0.0;
  bool crossed = false;
  evaluations = 0;
  while (true) {
    const double Q = ColdBalance(t, Ts, latent);
    ++evaluations;
    balance = Q;
    if (std::fabs(Q) <= 0.25 || evaluations >= 151) break;
    double factor = 0;
    if ((Q < 0 && previous <= 0) || (Q >= 0 && previous > 0)) {
      factor = crossed ? 0.5 : 1.0;
    } else if (evaluations == 1) {
      factor = -1.0;  // a first balance >= 0: warm the surface instead
    } else {
      const double secant = std::fabs(Q / (Q - previous));
      factor = secant < 1.0 ? -secant : -0.5;
      crossed = true;
    }
    step *= factor;
    Ts += step;
    previous = Q;
  }
  return Ts;
}

double ComputeSnowCell(const SnowCellSettings& s, const SnowCellInput& in, double w, int g,
                       SnowCellState& st) {
  const double spd = s.steps_per_day;
  st.deposited = 0;
  st.sublimation = 0;
  st.evaluations = 0;
  st.layered_added = st.layered_removed = 0;
  // Phase and accumulation.
  if (g == 0) {
    st.share = in.lake ? 0.0 : SnowShare(in.T, s.T0R, s.transzone);
    double snowfall = st.share * in.P;
    st.rain = (1.0 - st.share) * in.P;
    if (Deposits(s.method)) {
      st.deposited = w * snowfall * in.deposition;
      snowfall *= 1.0 + in.deposition;
    }
    st.snowfall = snowfall + in.unload;
  }
  st.solid += w * st.snowfall;
  st.liquid += w * st.rain;
  if (s.layered && g == 0 && st.snowfall > 0) st.layered_added += w * st.snowfall;
  st.total = st.solid + st.liquid;
  // The energy-balance temperatures.
  const bool energy = IsEnergyBalance(s.method);
  const bool takes_over = s.heat_transfer && s.layered && g == 0;
  const double Tk = in.T + kSnowZeroKelvin;
  double Ts = 0;
  if (energy) {
    if (IsUnset(st.surface_temperature, s.nodata)) st.surface_temperature = Tk - 3.0;
    Ts = st.surface_temperature;
    if (in.has_surface_grid)
      Ts = in.surface_given < 100 ? in.surface_given + kSnowZeroKelvin : in.surface_given;
    Ts = std::min(Ts, kSnowZeroKelvin);
    if (IsUnset(st.snow_temperature, s.nodata)) st.snow_temperature = std::min(Tk, kSnowZeroKelvin);
  }
  double melt = 0;
  const int32_t m = s.method;
  if (in.T > s.T0) {
    if (st.solid <= 0) {
      if (energy) {
        st.snow_temperature = s.nodata;
        st.surface_temperature = s.nodata;
      }
      return 0.0;
    }
    if (m == 1 || (m >= 8 && m <= 10)) {
      melt = DegreeDayMelt(s.C0, in.T, s.T0, spd);
    } else if (m == 2 || m == 12 || m == 13 || m == 14) {
      melt = WindIndexMelt(s.C1, s.C2, in.wind, in.T, s.T0, spd);
    } else if (m == 3 || m == 4) {
      if (in.P > 2.4 / spd) {
        const double e = m == 3 ? VapourPressureIce(in.T) : in.vapour;
        melt = RainOnSnowMelt(s.C1, s.C2, in.wind, in.T, e, in.P, spd);
      } else {
        melt = RadiationIndexMelt(in.T, s.T0, in.correction, s.RMF, spd);
      }
    } else {
      // The energy balance raised the pack temperature with the weighted energy already: its
      // melt carries w and is not weighted again.
      return WarmBalance(s, in, w, takes_over, Ts, st);
    }
    return melt * w;
  }
  if ((m == 3 || m == 4) && takes_over) {
    // The layers' heat refreezes their water in the soil step, which hands the change of their
    // ice back to this pack; refreezing here as well would create ice the layers never had.
  } else if (m == 3 || m == 4) {
    const double r = std::fabs(s.CRFR * s.RMF * (in.T - s.T0) / spd) * w;
    if (!s.heat_transfer && g == 0 && s.layered) st.layered_added += std::min(r, st.liquid);
    if (st.liquid < r) {
      st.solid += st.liquid;
      st.liquid = 0;
    } else {
      st.liquid -= r;
      st.solid += r;
    }
    st.total = st.solid + st.liquid;
  } else if (energy) {
    ColdBalanceBranch(s, in, w, takes_over, Ts, st);
  }
  return 0.0;
}

}  // namespace velorn
