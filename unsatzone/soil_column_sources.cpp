// Infiltration, macropores, root weights and column aggregates of one soil column.
#include "unsatzone/soil_column_sources.h"

#include <algorithm>
#include <cmath>

#include "core/running_statistics.h"

namespace velorn {

namespace {

// Ends of the depth interval that count as equal.
constexpr double kDepthTolerance = 1e-8;
// Deepest wetting zone of the infiltration, m.
constexpr double kMaxWettingDepth = 1.0;

}  // namespace

InfiltrationResult ComputeInfiltration(const SoilRecord& soil, int layers, const double* theta,
                                       double gwDepth, int clayLayer, double input,
                                       double stepFactor, double& saturation) {
  InfiltrationResult result;
  // Depth of the wetting zone: the table, or the top of the clay layer (below layer 1).
  double z = gwDepth;
  if (clayLayer > 0) {
    z = 0;
    for (int k = 1; k < clayLayer && k <= layers; ++k) z += soil.thickness[k];
    if (z <= soil.thickness[1]) z = soil.thickness[1] + 0.01;
  }
  z = std::min(z, kMaxWettingDepth);
  result.wettingDepth = z;
  const double s = AverageOverDepth(soil, layers, theta, 0, 0.0, z, -9999.0);
  // The deficit takes theta_sat of layer 2 (layer 1 in a one-layer soil).
  const double deficit = std::max(0.0, (1.0 - s) * soil.theta_sat[std::min(2, layers)]);
  const double storable = 1000.0 * deficit;
  const double kf = stepFactor * soil.ksat[1];
  double infiltrated = input;
  if (input <= kf || kf <= 0 || deficit <= 0) {
    if (input > storable) {
      result.excess = input - storable;
      infiltrated = storable;
      saturation = 1;
    } else {
      saturation = 0;
    }
    result.infiltrated = infiltrated;
    return result;
  }
  const double sf = soil.suction;  // wetting-front suction, mm
  double ts = 0;
  double r = 1;
  if (saturation < 0.5) {
    ts = (deficit * sf / input) / (input / kf - 1.0);  // Mein-Larson time to ponding
    if (ts > 1) {
      saturation = 0;
      result.infiltrated = input;
      return result;
    }
    r = 1.0 - ts;
  }
  const double fs = ts * input;
  const double k = kf * r;
  double f = k / 2 + std::sqrt(k * k / 4 + k * (2 * deficit * sf + fs) + fs * fs);
  f = std::min(std::clamp(f, 0.0, input), storable);
  result.excess = input - f;
  result.infiltrated = f;
  saturation = 1;
  return result;
}

double ComputeMacroporeInfiltration(const SoilRecord& soil, int layers, const double* thetaSat,
                                    const double* dz, double* theta, double* inflow, double& input,
                                    double stepLength) {
  const double threshold = soil.PMacroThresh;
  if (input <= threshold) return 0.0;
  const double c = soil.MacroCapacity;
  // Layers whose centre lies above the macropore depth, each with its capacity.
  int count = 0;
  double upper = 0;
  for (int k = 1; k <= layers; ++k) {
    const double centre = upper + 0.5 * dz[k];
    if (centre >= soil.MacroDepth) break;
    count = k;
    upper += dz[k];
  }
  double avail = std::min(c, input - threshold);
  if (count < 1 || avail <= 0) return 0.0;
  double amount = 0;
  for (int k = count; k >= 1 && avail > 0; --k) {
    upper -= dz[k];  // now the top of layer k
    const double centre = upper + 0.5 * dz[k];
    const double capacity = c * std::pow(soil.CapacityRedu, centre);
    const double room = (thetaSat[k] - theta[k]) * dz[k] * 1000.0;
    if (room <= 0) continue;
    if (avail * stepLength > room && capacity * stepLength > room) {
      theta[k] = thetaSat[k];
      inflow[k] = room / stepLength;
      avail -= room / stepLength;
      amount += room;
    } else if (avail > capacity) {
      theta[k] += capacity * stepLength / (dz[k] * 1000.0);
      inflow[k] = capacity;
      avail -= capacity;
      amount += capacity * stepLength;
    } else {
      theta[k] += avail * stepLength / (dz[k] * 1000.0);
      inflow[k] = avail;
      amount += avail * stepLength;
      break;
    }
  }
  input -= amount / stepLength;
  return amount;
}

double AverageOverDepth(const SoilRecord& soil, int layers, const double* values, int mode,
                        double top, double bottom, double nodata) {
  if (bottom <= 0 || top < -0.0001) return nodata;
  double depth = -kDepthTolerance;
  for (int k = 1; k <= layers; ++k) depth += soil.thickness[k];
  const double b = (bottom > depth || bottom == 9999) ? depth : bottom;
  // An empty interval holds no water and counts as saturated.
  if (b - top <= kDepthTolerance) return mode == 1 ? 0.0 : 1.0;
  double sum = 0;
  double upper = 0;
  for (int k = 1; k <= layers; ++k) {
    const double lower = upper + soil.thickness[k];
    const double relative = values[k] / soil.theta_sat[k];
    // Inside one layer: that layer's saturation, or the water in the interval's part of it.
    if (top >= upper - kDepthTolerance && b <= lower + kDepthTolerance)
      return mode == 1 ? values[k] * (b - top) : relative;
    const double part = std::min(lower, b) - std::max(upper, top);
    if (part > kDepthTolerance) sum += mode == 1 ? values[k] * part : relative * part / (b - top);
    upper = lower;
    if (upper >= b) break;
  }
  return sum;
}

double RootZoneTheta(const SoilRecord& soil, int layers, const double* theta, double roots) {
  if (!(roots > 0)) return theta[1];
  double top = 0, water = 0, depth = 0;
  for (int k = 1; k <= layers && top < roots; ++k) {
    const double part = std::min(soil.thickness[k], roots - top);
    water += theta[k] * part;
    depth += part;
    top += soil.thickness[k];
  }
  return depth > 0 ? water / depth : theta[1];
}

double RootZoneSuction(const SoilRecord& soil, int layers, const double* theta, double root_depth,
                       double nodata) {
  const double saturation = root_depth > 0
                                ? AverageOverDepth(soil, layers, theta, 0, 0.0, root_depth, nodata)
                                : theta[1] / soil.theta_sat[1];
  return soil.GetSuction(1, saturation * soil.theta_sat[1]);
}

int RootWeights(const double* dz, int layers, double rootDepth, double shape, double* weights) {
  const double rd = std::max(rootDepth, dz[1]);
  double upper = 0;
  double total = 0;
  int count = 0;
  for (int k = 1; k <= layers; ++k) weights[k] = 0;
  for (int k = 1; k <= layers && upper < rd; ++k) {
    const double lower = std::min(upper + dz[k], rd);
    const double t = lower - upper;
    const double zc = 0.5 * (upper + lower);
    weights[k] = (t / rd) * (1.0 - zc / rd) * (1.0 + shape * zc / rd);
    total += weights[k];
    count = k;
    upper += dz[k];
  }
  if (total > 0)
    for (int k = 1; k <= count; ++k) weights[k] /= total;
  return count;
}

double StressThreshold(const SoilRecord& soil, int layer, double stressSuction,
                       double fieldCapacity) {
  const double threshold = soil.GetTheta(layer, stressSuction);
  if (fieldCapacity >= threshold) return (2.0 * fieldCapacity + soil.theta_sat[layer]) / 3.0;
  return threshold;
}

double UptakeFactor(double theta, double thetaRes, double threshold, double thetaSat,
                    double wetFraction, double wetFactor) {
  if (theta <= thetaRes) return 0.0;
  if (theta < threshold) return (theta - thetaRes) / (threshold - thetaRes);
  const double wet = wetFraction * thetaSat;
  if (theta > wet)
    return InterpolateLinear(wet, 1.0, thetaSat, wetFactor, std::min(theta, thetaSat));
  return 1.0;
}

double DistributeEvapotranspiration(const SoilRecord& soil, const double* fieldCapacity, int layers,
                                    const double* dz, const double* thetaSat,
                                    const double* thetaRes, const double* theta,
                                    const RootUptakeSettings& settings, double* weights,
                                    double* uptake, double* uptakeTotal, double* evaporation) {
  if (settings.rootWeights == nullptr) {
    RootWeights(dz, layers, settings.rootDepth, settings.shape, weights);
  } else {
    double* kept = settings.rootWeights;
    if (std::isnan(kept[0])) {
      RootWeights(dz, layers, settings.rootDepth, settings.shape, kept);
      kept[0] = 0;
    }
    std::copy(kept + 1, kept + layers + 1, weights + 1);
  }
  const int limit = std::min(settings.layerLimit, layers);
  double unmet = 0;
  for (int k = 1; k <= layers; ++k) {
    if (weights[k] <= 0) continue;
    double threshold = 0;
    if (settings.thresholds == nullptr) {
      threshold = StressThreshold(soil, k, settings.stressSuction, fieldCapacity[k]);
    } else {
      double& kept = settings.thresholds[k];
      if (std::isnan(kept))
        kept = StressThreshold(soil, k, settings.stressSuction, fieldCapacity[k]);
      threshold = kept;
    }
    const double factor = UptakeFactor(theta[k], thetaRes[k], threshold, thetaSat[k],
                                       settings.wetFraction, settings.wetFactor);
    const double missing = weights[k] * (1.0 - factor);
    weights[k] *= factor;
    if (k + 1 > limit) {
      unmet += missing;
    } else if (missing > 2.0 * weights[k + 1]) {
      unmet += missing - 2.0 * weights[k + 1];
      weights[k + 1] *= 3.0;
    } else {
      weights[k + 1] += missing;
    }
  }
  const double potential = settings.potentialRate * settings.stepLength;
  for (int k = 1; k <= layers; ++k) {
    uptake[k] = potential * weights[k];
    uptakeTotal[k] += uptake[k];
  }
  // Soil evaporation from the layers whose top lies above the evaporation depth.
  double demand = unmet * potential + settings.evaporationDemand;
  double total = 0;
  double top = 0;
  for (int k = 1; k <= layers && (k == 1 || top < settings.evaporationDepth); ++k) {
    evaporation[k] = 0;
    if (demand > 0) {
      const double dry = (thetaSat[k] - theta[k]) / thetaSat[k];
      const double held = std::max(0.0, (theta[k] - thetaRes[k]) * dz[k] * 1000.0 - uptake[k]);
      evaporation[k] = std::min({demand, demand * (1.0 - dry * dry), held});
      demand -= evaporation[k];
      total += evaporation[k];
    }
    top += dz[k];
  }
  evaporation[0] = total;
  return unmet * potential;
}

double DrainablePoreVolume(const SoilRecord& soil, const double* fieldCapacity, int gwLayer,
                           int layers) {
  double sum = 0;
  for (int k = std::max(gwLayer, 1); k <= layers - 1; ++k)
    sum += 1000.0 * soil.thickness[k] * (soil.theta_sat[k] - fieldCapacity[k]);
  return sum;
}

double ComputeGroundwaterRecharge(const SoilColumnWorkspace& ws, const SoilRecord& soil,
                                  const TableMove& move, const double* gwExchange) {
  using W = SoilColumnWorkspace;
  const double* t0 = ws[W::kTheta0];
  const double* theta = ws[W::kTheta];
  const double* sat = ws[W::kThetaSat];
  const double* z = ws[W::kZBound];
  const double* dz = ws[W::kDz];
  if (move.coupled) return move.newLayer >= 2 ? -move.factor * ws[W::kQ][move.newLayer - 1] : 0.0;
  const int a = move.oldLayer, b = move.newLayer;
  double r = 0;
  if (a == b) {
    const bool rise = move.zOld < move.zNew;
    const double zt = rise ? move.zOld : move.zNew;
    const double content = rise ? t0[a] : theta[a];
    const double unsaturated = z[a - 1] - zt;
    if (unsaturated != 0) {
      const double mean = (soil.thickness[a] * content - (zt - z[a]) * sat[a]) / unsaturated;
      r = (move.zNew - move.zOld) * (sat[a] - mean) * 1000.0;
    }
  } else if (a < b) {  // the table fell
    r = (z[a] - move.zOld) * (sat[a] - theta[a]) * 1000.0;
    for (int k = a + 1; k <= b; ++k) r -= soil.thickness[k] * (t0[k] - theta[k]) * 1000.0;
  } else {  // the table rose
    for (int k = b + 1; k <= a; ++k) r += (theta[k] - t0[k]) * soil.thickness[k] * 1000.0;
    r += (move.zNew - z[b]) * (sat[b] - (theta[b] - move.dt * gwExchange[b] / dz[b])) * 1000.0;
  }
  double out = move.baseflow + gwExchange[0];
  if (move.riverOn) out += move.riverOut - move.riverIn;
  return r + move.factor * out;
}

}  // namespace velorn
