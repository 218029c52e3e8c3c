// Restructuring of the layered snow pack of one cell.
#include "unsatzone/layered_snow_column.h"

#include <algorithm>
#include <cmath>

namespace velorn {

double FreezingCurveTemperature(double f, double a, double b, double c, double factor) {
  const double e = 1.0 / (b * c);
  return -std::pow(1.0 - f, e) / (factor * a * std::pow(f, e));
}

namespace {

// The pack of one cell with its layers numbered 1..M from the top.
class SnowPack {
 public:
  SnowPack(const SnowColumnArrays& s, int M, const SnowLayerParameters& p) : s_(s), M_(M), p_(p) {}

  double Restructure() {
    for (int j = 1; j <= M_; ++j) SettleLayer(j);
    if (Exists(M_)) {
      for (int j = M_; j >= 2 && Exists(j - 1); --j) CompactLayer(j);
    }
    return released_;
  }

 private:
  int Col(int j) const { return j - M_; }
  bool Exists(int j) const { return s_.theta[Col(j)] >= 0; }
  double Water(int j) const { return s_.swes[j] + s_.swel[j]; }

  void Clear(int j) {
    const int c = Col(j);
    s_.thickness[c] = s_.density[j] = s_.theta[c] = s_.temperature[c] = kAbsentSnow;
    s_.swes[j] = s_.swel[j] = 0.0;
    s_.liquid[c] = 0.0;
  }
  void Copy(int from, int to) {
    const int f = Col(from), t = Col(to);
    s_.thickness[t] = s_.thickness[f];
    s_.temperature[t] = s_.temperature[f];
    s_.theta[t] = s_.theta[f];
    s_.liquid[t] = s_.liquid[f];
    s_.density[to] = s_.density[from];
    s_.swes[to] = s_.swes[from];
    s_.swel[to] = s_.swel[from];
  }
  // Water content and density of layer j from its water and thickness. A layer given the
  // thickness of its water can come out a bit above 1 by round-off; it holds water at 1.
  void Recompute(int j) {
    const int c = Col(j);
    s_.theta[c] = s_.density[j] = std::min(1.0, Water(j) / (1000.0 * s_.thickness[c]));
  }

  // Layers 1..j-1 move down by one; the top position then takes the part of layer 2 beyond the
  // standard thickness of layer 1 (with its share of layer 2's water), or becomes absent.
  void ShiftDownAndRefill(int j) {
    for (int k = j; k >= 2; --k) Copy(k - 1, k);
    const double standard = p_.standardThickness[1];
    const double h2 = s_.thickness[Col(2)];
    if (M_ >= 2 && Exists(2) && standard < h2) {
      // The top layer takes the thickness beyond the standard one; layer 2 keeps the standard
      // thickness, so that thickness and water are both conserved.
      const double t1 = h2 - standard;
      const double share = t1 / h2;
      Copy(2, 1);
      s_.thickness[Col(1)] = t1;
      s_.thickness[Col(2)] = standard;
      s_.swes[1] = s_.swes[2] * share;
      s_.swel[1] = s_.swel[2] * share;
      s_.swes[2] -= s_.swes[1];
      s_.swel[2] -= s_.swel[1];
      Recompute(1);
      Recompute(2);
    } else {
      Clear(1);
    }
  }

  // Pass 1 for layer j: ice and liquid, removal, holding capacity, pore limit.
  void SettleLayer(int j) {
    const int c = Col(j);
    // A layer without thickness holds no snow whatever lies above it; a layer with a slightly
    // negative water content below an existing one is removed below, with the shift.
    if (!(s_.thickness[c] > 0) || (s_.theta[c] < 0 && (j == 1 || s_.theta[c - 1] < 0))) {
      Clear(j);
      return;
    }
    const double before = s_.swes[j];
    const double water = s_.theta[c] * 1000.0 * s_.thickness[c];
    s_.swel[j] = water * s_.liquid[c];
    s_.swes[j] = water * (1.0 - s_.liquid[c]);
    if (s_.swes[j] <= kMinimumLayerIce) {
      // The layer leaves with all its water: its liquid and the trace of ice left.
      released_ += std::max(0.0, Water(j));
      Clear(j);
      if (j > 1) ShiftDownAndRefill(j);
      return;
    }
    if (s_.swes[j] < before && s_.theta[c] >= s_.thetaSat[c])
      s_.thickness[c] *= s_.swes[j] / before;
    const double hold = p_.holdingCapacity * s_.swes[j];
    if (s_.swel[j] > hold) {
      const double total = Water(j);
      released_ += s_.swel[j] - hold;
      s_.swel[j] = hold;
      const double f = hold + s_.swes[j] > 0 ? hold / (hold + s_.swes[j]) : 1.0;
      s_.liquid[c] = f;
      if (f <= 0 || f >= 1) {
        s_.temperature[c] -= 2.0;
      } else {
        s_.temperature[c] = FreezingCurveTemperature(f, p_.a[j], p_.b[j], p_.c[j], p_.factor);
      }
      s_.thickness[c] *= Water(j) / total;
    }
    const double pores = std::max(0.0, s_.thickness[c] * s_.thetaSat[c] * 1000.0 - s_.swes[j]);
    if (s_.swel[j] > pores) {
      released_ += s_.swel[j] - pores;
      s_.swel[j] = pores;
    }
    // Ice denser than water in its thickness would need a water content above 1: the layer is
    // given the thickness of its water instead, so that no water is lost.
    s_.thickness[c] = std::max(s_.thickness[c], Water(j) / 1000.0);
    Recompute(j);
  }

  // Pass 2 for layer j: compaction, and the merge of a thin layer with the one above.
  void CompactLayer(int j) {
    const int c = Col(j);
    // A snow type denser than water (a layer without "DryDensity" takes the soil's) compacts to
    // the density of water at most: density and water content never exceed 1.
    const double max_density = std::min(p_.maxDensity[j], 1000.0) / 1000.0;
    if (s_.density[j] < 0.8 * max_density && Water(j - 1) > 0) {
      s_.thickness[c] = Water(j) / max_density / 1000.0;
      Recompute(j);
    }
    if (!(s_.thickness[c] < 0.25 * p_.standardThickness[j])) return;
    const int u = Col(j - 1);
    const double heat = s_.swes[j] * p_.cIce + s_.swel[j] * p_.cWater;
    const double heat_above = s_.swes[j - 1] * p_.cIce + s_.swel[j - 1] * p_.cWater;
    if (heat + heat_above > 0)
      s_.temperature[c] =
          (heat * s_.temperature[c] + heat_above * s_.temperature[u]) / (heat + heat_above);
    s_.thickness[c] += s_.thickness[u];
    s_.swes[j] += s_.swes[j - 1];
    s_.swel[j] += s_.swel[j - 1];
    s_.liquid[c] = Water(j) > 0 ? s_.swel[j] / Water(j) : 0.0;
    Recompute(j);
    ShiftDownAndRefill(j - 1);
  }

  const SnowColumnArrays& s_;
  int M_;
  const SnowLayerParameters& p_;
  double released_ = 0;
};

}  // namespace

double RestructureSnowLayers(const SnowColumnArrays& s, int M, const SnowLayerParameters& p) {
  if (M <= 0) return 0.0;
  return SnowPack(s, M, p).Restructure();
}

}  // namespace velorn
