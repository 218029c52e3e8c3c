// Cell formulas of the silting-up model.
#include "lateral/silting_up_formulas.h"

#include <algorithm>
#include <cmath>

namespace velorn {

double RainEnergy(double intensity) {
  if (intensity <= kDryIntensity) return 0.0;
  if (intensity >= kMaximumEnergyIntensity) return 28.33;
  return 11.89 + 8.73 * std::log10(intensity);
}

double GeometricMeanDiameter(const GrainSizes& g) {
  // Weights: log10 of the geometric means of the class limits (clay 0.04-2 um, silt 2-63 um,
  // sand 63-2000 um, stones up to 2000-200000 um) times 2, as the exponent is halved.
  const double exponent = -1.0969100130080562 * g.clay + 2.1003620619491743 * g.silt +
                          5.100385157531412 * g.sand + 7.100370545117563 * g.stones1 +
                          8.100370545117563 * g.stones2 + 9.100370545117563 * g.stones3 +
                          10.100370545117563 * g.stones4;
  return std::pow(10.0, 0.5 * exponent);
}

bool HasTillage(int count, const int* days) {
  return days != nullptr && count >= 0 && days[0] >= kNoTillageMark;
}

double TillageAge(int day, int count, const int* days) {
  if (!HasTillage(count, days)) return 0.0;
  double age = 0.0;
  if (day >= days[count]) {
    age = day - days[count];
  } else if (count > 0) {
    int j = 0;
    for (int k = 0; k < count; ++k)
      if (days[k] <= day) j = k;
    age = day - days[j];
  }
  return age <= 0.0 ? kFreshTillageAge : age;
}

double FinalInfiltrationRate(const SiltingUpParameters& p, double dg, double sand) {
  return p.B * std::pow(dg, p.C) * std::pow(100.0 * sand, p.D);
}

double SiltingDisposition(const SiltingUpParameters& p, double dg, double sand, double tsbb) {
  if (!(tsbb > 0.0)) return 0.0;
  return p.E * std::pow(100.0 * sand, p.F) * std::pow(dg, p.G) * std::pow(tsbb, p.H);
}

double InfiltrationCapacity(double initial_rate, double final_rate, double disposition,
                            double kinetic_energy, double minutes) {
  return ((initial_rate - final_rate) * std::exp(-disposition * kinetic_energy) + final_rate) *
         minutes / 60.0;
}

double StepKineticEnergy(double intensity, double energy, double cover, double minutes) {
  return intensity * energy * (1.0 - cover) * minutes / 60.0;
}

double UpdateKineticEnergy(double previous, double step_energy, double tsbb, double rain_pause,
                           double minimum_rain_pause) {
  if (!(tsbb > 0.0)) return 0.0;
  return minimum_rain_pause > rain_pause ? previous + step_energy : step_energy;
}

SurfaceWater SplitSurfaceWater(double water_input, double storage, double capacity, bool tilled) {
  SurfaceWater out;
  const double total = water_input + storage;
  if (tilled && !std::isnan(capacity))
    out.runoff = total - std::min(total, std::max(capacity, 0.0));
  out.water_input = total - out.runoff;
  return out;
}

}  // namespace velorn
