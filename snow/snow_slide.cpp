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
      : g_(grids), s_(settings), nrows_(nrows), ncols_(ncols), ranges_(ranges) {}

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
    if (!(p.total[r][c] > 0 || glacier_total > 0) || g_.slope[r][c] < s_.min_slide_slope) {
      g_.input_mass[r][c] = 0;
      return 0;
    }
    const double f = s_.slide_mass_fraction;
    double released = 0;
    if (g < 1 && p.total[r][c] > 0) {
      released = p.total[r][c] * f * (1 - g);
      ChangeCellPack(p, r, c, -p.total[r][c] * f);
    }
    if (on_glacier && glacier_total > 0 && g > 0) {
      released += glacier_total * f * g;
      ChangeCellPack(g_.glacier_pack, r, c, -glacier_total * f);
    }
    g_.input_mass[r][c] = released;
    return released;
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
    if (!(sum > 0)) {
      g_.mobile_mass[r][c] += released;
      return;
    }
    const double moving = released + g_.mobile_mass[r][c];
    g_.mobile_mass[r][c] = 0;
    for (int k = 1; k <= 4; ++k) {
      const double share = moving * w[k];
      if (!(share > 0) || !SameZoneNeighbour(r, c, k)) continue;
      const int32_t nr = r + kSlideRowStep[k];
      const int32_t nc = c + kSlideColStep[k];
      const double deposited = g_.deposition[nr][nc] + share;
      const double capacity = g_.max_deposition[nr][nc];
      if (capacity < deposited) {
        g_.mobile_mass[nr][nc] += deposited - capacity;
        g_.deposition[nr][nc] = capacity;
      } else {
        g_.deposition[nr][nc] = deposited;
      }
    }
  }

  void ReturnMass(int32_t r, int32_t c) {
    const double x = g_.deposition[r][c] + g_.mobile_mass[r][c];
    const double raw = g_.glacier != nullptr ? g_.glacier[r][c] : 0.0;
    if (!HasGlacierPack() || raw < 1) ChangeCellPack(g_.pack, r, c, x);
    if (HasGlacierPack() && raw > 0) ChangeCellPack(g_.glacier_pack, r, c, x);
  }

  const SlideGrids& g_;
  const SlideSettings& s_;
  int32_t nrows_, ncols_;
  const ColumnRange* ranges_;
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
