// Lateral snow redistribution over whole grids (see snow/snow_slide.h): reset, the pass in
// elevation order (release, passing on, deposition up to the capacity) and the return.
#include "snow/snow_slide.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "core/nodata.h"
#include "snow/snow_setup_formulas.h"

namespace velorn {
namespace {

// The four neighbours in the order of the slide-fraction grids 1..4.
constexpr int kSlideRowStep[5] = {0, -1, 0, 0, 1};
constexpr int kSlideColStep[5] = {0, 0, -1, 1, 0};

class SlidePass {
 public:
  SlidePass(const SlideGrids& grids, const SlideSettings& settings, int32_t nrows, int32_t ncols,
            const ColumnRange* ranges)
      : g_(grids),
        s_(settings),
        nrows_(nrows),
        ncols_(ncols),
        ranges_(ranges),
        mobile_solute_(grids.tracers.size()),
        deposited_solute_(grids.tracers.size()),
        released_solute_(grids.tracers.size()) {
    const std::size_t cells =
        static_cast<std::size_t>(nrows + 1) * static_cast<std::size_t>(ncols + 1);
    for (std::size_t t = 0; t < grids.tracers.size(); ++t) {
      mobile_solute_[t].assign(cells, 0.0);
      deposited_solute_[t].assign(cells, 0.0);
    }
  }

  void Run() {
    Reset();
    ForEachZoneCell([&](int32_t r, int32_t c) {
      MoveCell(static_cast<int32_t>(g_.order_row[r][c]), static_cast<int32_t>(g_.order_col[r][c]));
    });
    ForEachZoneCell([&](int32_t r, int32_t c) { ReturnMass(r, c); });
  }

 private:
  bool HasZone(int32_t r, int32_t c) const { return IsNotNodata(g_.zone[r][c], s_.nodata); }
  bool HasGlacierPack() const { return g_.glacier != nullptr && g_.glacier_pack.total != nullptr; }
  std::size_t At(int32_t r, int32_t c) const {
    return static_cast<std::size_t>(r) * static_cast<std::size_t>(ncols_ + 1) +
           static_cast<std::size_t>(c);
  }

  template <class Fn>
  void ForEachZoneCell(Fn&& fn) const {
    for (int32_t r = 1; r <= nrows_; ++r) {
      const int32_t last = std::min(ranges_[r].last, ncols_);
      for (int32_t c = std::max(ranges_[r].first, 1); c <= last; ++c)
        if (HasZone(r, c)) fn(r, c);
    }
  }

  void Reset() {
    for (int32_t r = 1; r <= nrows_; ++r) {
      const int32_t last = std::min(ranges_[r].last, ncols_);
      for (int32_t c = std::max(ranges_[r].first, 1); c <= last; ++c) {
        const double value = HasZone(r, c) ? 0.0 : s_.nodata;
        g_.input_mass[r][c] = value;
        g_.mobile_mass[r][c] = value;
        g_.deposition[r][c] = value;
      }
    }
  }

  // Neighbour k of (r, c) lies in the grid and in the same zone.
  bool SameZoneNeighbour(int32_t r, int32_t c, int k) const {
    const int32_t nr = r + kSlideRowStep[k];
    const int32_t nc = c + kSlideColStep[k];
    if (nr < 1 || nr > nrows_ || nc < 1 || nc > ncols_) return false;
    return HasZone(nr, nc) && g_.zone[nr][nc] == g_.zone[r][c];
  }

  // The snow released by the cell this step (cell mean, mm).
  double Release(int32_t r, int32_t c, double g) {
    SnowPackGrids p = g_.pack;
    const bool on_glacier = HasGlacierPack();
    const double glacier_total = on_glacier ? g_.glacier_pack.total[r][c] : 0.0;
    std::fill(released_solute_.begin(), released_solute_.end(), 0.0);
    if (!(p.total[r][c] > 0 || glacier_total > 0) || g_.slope[r][c] < s_.min_slide_slope) {
      g_.input_mass[r][c] = 0;
      return 0;
    }
    const double f = s_.slide_mass_fraction;
    double released = 0;
    if (g < 1 && p.total[r][c] > 0) {
      released = p.total[r][c] * f * (1 - g);
      for (std::size_t t = 0; t < g_.tracers.size(); ++t)
        released_solute_[t] +=
            ReleaseSolute(g_.tracers[t].pack, g_.tracers[t].evaporating, r, c, p.total[r][c], f) *
            (1 - g);
      ChangeCellPack(p, r, c, -p.total[r][c] * f);
    }
    if (on_glacier && glacier_total > 0 && g > 0) {
      released += glacier_total * f * g;
      for (std::size_t t = 0; t < g_.tracers.size(); ++t)
        released_solute_[t] += ReleaseSolute(g_.tracers[t].glacier_pack, g_.tracers[t].evaporating,
                                             r, c, glacier_total, f) *
                               g;
      ChangeCellPack(g_.glacier_pack, r, c, -glacier_total * f);
    }
    g_.input_mass[r][c] = released;
    return released;
  }

  // The solute (per area of the pack) that leaves with the fraction f of a pack of `water` mm:
  // a mass keeps the rest, a concentration stays as it is.
  static double ReleaseSolute(double** solute, bool evaporating, int32_t r, int32_t c, double water,
                              double f) {
    if (solute == nullptr) return 0;
    if (evaporating) return solute[r][c] * water * f;
    const double leaving = solute[r][c] * f;
    solute[r][c] -= leaving;
    return leaving;
  }

  // A pack of `water` mm (nothing at 0 or less) takes `amount` mm of snow carrying `mass`.
  static void AddSolute(double** solute, bool evaporating, int32_t r, int32_t c, double water,
                        double amount, double mass) {
    if (solute == nullptr) return;
    if (!evaporating) {
      solute[r][c] += mass;
      return;
    }
    const double kept = water > 0 ? water : 0.0;
    solute[r][c] = (solute[r][c] * kept + mass) / (kept + amount);
  }

  static void ChangeCellPack(const SnowPackGrids& p, int32_t r, int32_t c, double amount) {
    double liquid = p.liquid != nullptr ? p.liquid[r][c] : 0.0;
    double solid = 0;
    ChangePackKeepingLiquidShare(p.total[r][c], liquid, solid, amount);
    if (p.liquid != nullptr) p.liquid[r][c] = liquid;
    if (p.solid != nullptr) p.solid[r][c] = solid;
  }

  void MoveCell(int32_t r, int32_t c) {
    const double g = HasGlacierPack() ? std::clamp(g_.glacier[r][c], 0.0, 1.0) : 0.0;
    double w[5] = {0, 0, 0, 0, 0};
    double sum = 0;
    for (int k = 1; k <= 4; ++k) {
      if (SameZoneNeighbour(r, c, k)) w[k] = g_.fraction[k][r][c];
      sum += w[k];
    }
    if (sum > 0)
      for (int k = 1; k <= 4; ++k) w[k] /= sum;
    const double released = Release(r, c, g);
    const std::size_t here = At(r, c);
    if (!(sum > 0)) {
      g_.mobile_mass[r][c] += released;
      for (std::size_t t = 0; t < g_.tracers.size(); ++t)
        mobile_solute_[t][here] += released_solute_[t];
      return;
    }
    const double moving = released + g_.mobile_mass[r][c];
    g_.mobile_mass[r][c] = 0;
    for (std::size_t t = 0; t < g_.tracers.size(); ++t) {
      released_solute_[t] += mobile_solute_[t][here];
      mobile_solute_[t][here] = 0;
    }
    for (int k = 1; k <= 4; ++k) {
      const double share = moving * w[k];
      if (!(share > 0) || !SameZoneNeighbour(r, c, k)) continue;
      const int32_t nr = r + kSlideRowStep[k];
      const int32_t nc = c + kSlideColStep[k];
      const std::size_t there = At(nr, nc);
      const double deposited = g_.deposition[nr][nc] + share;
      const double capacity = g_.max_deposition[nr][nc];
      if (capacity < deposited) {
        g_.mobile_mass[nr][nc] += deposited - capacity;
        g_.deposition[nr][nc] = capacity;
      } else {
        g_.deposition[nr][nc] = deposited;
      }
      // What the capacity does not hold moves on at the mixed concentration of the deposition.
      for (std::size_t t = 0; t < g_.tracers.size(); ++t) {
        const double solute = deposited_solute_[t][there] + released_solute_[t] * w[k];
        const double kept = capacity < deposited ? solute * (capacity / deposited) : solute;
        mobile_solute_[t][there] += solute - kept;
        deposited_solute_[t][there] = kept;
      }
    }
  }

  void ReturnMass(int32_t r, int32_t c) {
    const double x = g_.deposition[r][c] + g_.mobile_mass[r][c];
    const double raw = g_.glacier != nullptr ? g_.glacier[r][c] : 0.0;
    const std::size_t here = At(r, c);
    // Snow that arrives brings its solute; a cell nothing reached keeps its tracers untouched.
    if (x > 0) {
      for (std::size_t t = 0; t < g_.tracers.size(); ++t) {
        const SlideTracerGrids& tracer = g_.tracers[t];
        const double mass = deposited_solute_[t][here] + mobile_solute_[t][here];
        if (!HasGlacierPack() || raw < 1)
          AddSolute(tracer.pack, tracer.evaporating, r, c, g_.pack.total[r][c], x, mass);
        if (HasGlacierPack() && raw > 0)
          AddSolute(tracer.glacier_pack, tracer.evaporating, r, c, g_.glacier_pack.total[r][c], x,
                    mass);
      }
    }
    if (!HasGlacierPack() || raw < 1) ChangeCellPack(g_.pack, r, c, x);
    if (HasGlacierPack() && raw > 0) ChangeCellPack(g_.glacier_pack, r, c, x);
  }

  const SlideGrids& g_;
  const SlideSettings& s_;
  int32_t nrows_, ncols_;
  const ColumnRange* ranges_;
  // Per tracer: the solute (cell mean) of the mobile and the deposited snow of every cell, and
  // what the cell in its turn released.
  std::vector<std::vector<double>> mobile_solute_, deposited_solute_;
  std::vector<double> released_solute_;
};

}  // namespace

void ChangePackKeepingLiquidShare(double& total, double& liquid, double& solid, double amount) {
  if (total > 0) {
    const double share = liquid / total;
    total += amount;
    liquid = total * share;
  } else {
    liquid = 0;
    total = amount;
  }
  solid = total - liquid;
}

void FillElevationOrder(double** zone, double** elevation, int32_t nrows, int32_t ncols,
                        double nodata, double** order_row, double** order_col) {
  std::vector<double> keys;
  std::vector<std::pair<int32_t, int32_t>> cells;
  for (int32_t r = 1; r <= nrows; ++r) {
    std::fill(order_row[r], order_row[r] + ncols + 1, nodata);
    std::fill(order_col[r], order_col[r] + ncols + 1, nodata);
    for (int32_t c = 1; c <= ncols; ++c) {
      if (IsNodata(zone[r][c], nodata)) continue;
      keys.push_back(elevation[r][c]);
      cells.emplace_back(r, c);
    }
  }
  const std::vector<std::size_t> order = ElevationOrder(keys);
  for (std::size_t k = 0; k < cells.size(); ++k) {
    const auto [r, c] = cells[k];
    order_row[r][c] = cells[order[k]].first;
    order_col[r][c] = cells[order[k]].second;
  }
}

void RedistributeSnow(const SlideGrids& grids, const SlideSettings& settings, int32_t nrows,
                      int32_t ncols, const ColumnRange* ranges) {
  SlidePass(grids, settings, nrows, ncols, ranges).Run();
}

}  // namespace velorn
