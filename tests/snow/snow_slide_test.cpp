// Lateral snow redistribution on whole grids: a 3 x 3 cone followed by hand, and random
// basins of two zones with glaciers, where the cell-mean snow of each zone is conserved, no
// snow crosses a zone border, packs keep their liquid share and deposition keeps within the
// capacity; the snow's solute moves with it.
#include "snow/snow_slide.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "core/matrix.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

constexpr double kNodataSnowSlide = -9999;
constexpr double kUniformMass = 0.3;  // solute per mm of snow
constexpr double kUniformConcentration = 0.7;

// Whole grids of one basin, every grid 0 (nodata outside the zones for the outputs).
class SlideTest : public test::DiagTest {
 protected:
  void Build(int nrows, int ncols) {
    nrows_ = nrows;
    ncols_ = ncols;
    grids_.clear();
    for (const char* name :
         {"zone", "elevation", "order_row", "order_col", "slope",  "f1",         "f2",
          "f3",   "f4",        "capacity",  "input",     "mobile", "deposition", "S",
          "L",    "solid",     "g",         "G",         "Lg",     "Gsolid",     "A",
          "Ag",   "E",         "Eg",        "U",         "Ug",     "V",          "Vg"}) {
      GridMatrix& grid = grids_[name] = GridMatrix(diag_, 1, nrows, ncols, nrows);
      for (int r = 1; r <= nrows; ++r) std::fill(grid[r], grid[r] + ncols + 1, 0.0);
    }
    ranges_.assign(static_cast<std::size_t>(nrows) + 1, ColumnRange{1, ncols});
  }
  double** operator[](const char* name) { return grids_.at(name).get(); }
  SlideGrids Grids(bool glacier) {
    SlideGrids g;
    g.zone = (*this)["zone"];
    g.order_row = (*this)["order_row"];
    g.order_col = (*this)["order_col"];
    g.slope = (*this)["slope"];
    g.fraction = {nullptr, (*this)["f1"], (*this)["f2"], (*this)["f3"], (*this)["f4"]};
    g.max_deposition = (*this)["capacity"];
    g.input_mass = (*this)["input"];
    g.mobile_mass = (*this)["mobile"];
    g.deposition = (*this)["deposition"];
    g.pack = {(*this)["S"], (*this)["L"], (*this)["solid"]};
    if (glacier) {
      g.glacier = (*this)["g"];
      g.glacier_pack = {(*this)["G"], (*this)["Lg"], (*this)["Gsolid"]};
    }
    for (const auto& [pack, glacier_pack, evaporating] : kTracers)
      g.tracers.push_back({(*this)[pack], glacier ? (*this)[glacier_pack] : nullptr, evaporating});
    return g;
  }
  void Run(bool glacier, double f) {
    FillElevationOrder((*this)["zone"], (*this)["elevation"], nrows_, ncols_, kNodataSnowSlide,
                       (*this)["order_row"], (*this)["order_col"]);
    RedistributeSnow(Grids(glacier), SlideSettings{30.0, f, kNodataSnowSlide}, nrows_, ncols_,
                     ranges_.data());
  }

  // Tracers of the packs: masses and concentrations, random and uniform.
  static constexpr std::tuple<const char*, const char*, bool> kTracers[] = {
      {"A", "Ag", false}, {"E", "Eg", true}, {"U", "Ug", false}, {"V", "Vg", true}};
  int nrows_ = 0, ncols_ = 0;
  std::map<std::string, GridMatrix> grids_;
  std::vector<ColumnRange> ranges_;
};

// The centre (2,2) is the one steep cell and releases 10 % of its 100 mm, a quarter to each
// neighbour. North (1,2), capacity 1: deposits 1, its 1.5 mobile passes on west to (1,1),
// capacity 0.5 (0.5 deposited, 1.0 mobile stays: (1,1) has no weights). West and south deposit
// their 2.5. East (2,3) lies higher than the centre and has capacity 0: its 2.5 stay as mobile
// mass in its empty pack, as solid snow. The centre keeps its liquid share of 10 %.
TEST_F(SlideTest, ThreeByThreeConeByHand) {
  Build(3, 3);
  const double elevation[3][3] = {{60, 80, 40}, {50, 100, 120}, {40, 50, 40}};
  for (int r = 1; r <= 3; ++r) {
    for (int c = 1; c <= 3; ++c) {
      (*this)["zone"][r][c] = 1;
      (*this)["elevation"][r][c] = elevation[r - 1][c - 1];
      (*this)["slope"][r][c] = 10;
      (*this)["S"][r][c] = (*this)["solid"][r][c] = 100;
      (*this)["capacity"][r][c] = 5;
    }
  }
  (*this)["slope"][2][2] = 30;  // exactly the minimum slide slope
  (*this)["L"][2][2] = 10;
  (*this)["solid"][2][2] = 90;
  for (const char* f : {"f1", "f2", "f3", "f4"}) (*this)[f][2][2] = 2;
  (*this)["f2"][1][2] = 1;  // north passes west
  (*this)["capacity"][1][2] = 1;
  (*this)["capacity"][1][1] = 0.5;
  (*this)["capacity"][2][3] = 0;
  (*this)["S"][2][3] = (*this)["solid"][2][3] = 0;
  Run(false, 0.1);
  const double S[3][3] = {{101.5, 101, 100}, {102.5, 90, 2.5}, {100, 102.5, 100}};
  const double deposition[3][3] = {{0.5, 1, 0}, {2.5, 0, 0}, {0, 2.5, 0}};
  const double mobile[3][3] = {{1, 0, 0}, {0, 0, 2.5}, {0, 0, 0}};
  double sum = 0;
  for (int r = 1; r <= 3; ++r) {
    for (int c = 1; c <= 3; ++c) {
      SCOPED_TRACE(std::to_string(r) + "," + std::to_string(c));
      EXPECT_NEAR((*this)["S"][r][c], S[r - 1][c - 1], 1e-12);
      EXPECT_NEAR((*this)["deposition"][r][c], deposition[r - 1][c - 1], 1e-12);
      EXPECT_NEAR((*this)["mobile"][r][c], mobile[r - 1][c - 1], 1e-12);
      EXPECT_EQ((*this)["input"][r][c], r == 2 && c == 2 ? 10.0 : 0.0);
      EXPECT_NEAR((*this)["solid"][r][c] + (*this)["L"][r][c], (*this)["S"][r][c], 1e-12);
      sum += (*this)["S"][r][c];
    }
  }
  EXPECT_NEAR((*this)["L"][2][2], 9.0, 1e-12);
  EXPECT_EQ((*this)["L"][2][3], 0.0);
  EXPECT_NEAR(sum, 800, 1e-12);
}

// Random basins: two zones side by side, a nodata corner, slopes around the slide slope,
// weights to the lower neighbours only, capacities down to 0, glacier fractions 0, partial and
// above 1, packs with liquid shares and tracers (random masses and concentrations, and a mass and
// a concentration uniform in all snow); five steps. Per zone the cell-mean snow and solute stay,
// the highest cell of a zone receives nothing, a uniform tracer stays uniform (the solute moves
// with the water), and every other property holds cell by cell.
TEST_F(SlideTest, RandomBasinsConserveEachZoneAndKeepLiquidShares) {
  std::mt19937 random(40);
  std::uniform_real_distribution<double> unit(0, 1);
  for (int trial = 0; trial < 20; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    const int nrows = 4 + trial % 5, ncols = 5 + trial % 3;
    Build(nrows, ncols);
    for (int r = 1; r <= nrows; ++r) {
      for (int c = 1; c <= ncols; ++c) {
        (*this)["zone"][r][c] =
            r + c <= 3 && trial % 2 == 0 ? kNodataSnowSlide : (c <= ncols / 2 ? 3 : 7);
        (*this)["elevation"][r][c] = 1000 * unit(random);
        (*this)["slope"][r][c] = 60 * unit(random);
        (*this)["capacity"][r][c] = unit(random) < 0.2 ? 0 : 3 * unit(random);
        const double u = unit(random);
        (*this)["g"][r][c] =
            u < 0.4 ? 0 : (u < 0.7 ? unit(random) : (u < 0.8 ? 1.3 : kNodataSnowSlide));
        for (const auto& [total, liquid, solid] :
             {std::tuple{"S", "L", "solid"}, {"G", "Lg", "Gsolid"}}) {
          (*this)[total][r][c] = unit(random) < 0.2 ? 0 : 200 * unit(random);
          (*this)[liquid][r][c] = 0.1 * unit(random) * (*this)[total][r][c];
          (*this)[solid][r][c] = (*this)[total][r][c] - (*this)[liquid][r][c];
        }
        for (const char* random_tracer : {"A", "Ag", "E", "Eg"})
          (*this)[random_tracer][r][c] = 5 * unit(random);
        (*this)["U"][r][c] = kUniformMass * (*this)["S"][r][c];
        (*this)["Ug"][r][c] = kUniformMass * (*this)["G"][r][c];
        (*this)["V"][r][c] = (*this)["Vg"][r][c] = kUniformConcentration;
      }
    }
    // Weights to lower neighbours only (the fraction grids of a terrain-derived basin).
    const int dr[5] = {0, -1, 0, 0, 1}, dc[5] = {0, 0, -1, 1, 0};
    const char* f[5] = {"", "f1", "f2", "f3", "f4"};
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c)
        for (int k = 1; k <= 4; ++k) {
          const int nr = r + dr[k], nc = c + dc[k];
          const bool inside = nr >= 1 && nr <= nrows && nc >= 1 && nc <= ncols;
          const double drop =
              inside ? (*this)["elevation"][r][c] - (*this)["elevation"][nr][nc] : 0.0;
          (*this)[f[k]][r][c] = std::max(drop, 0.0);
        }
    auto cell_mean = [&](int r, int c) {
      const double g = std::clamp((*this)["g"][r][c], 0.0, 1.0);
      return (1 - g) * (*this)["S"][r][c] + g * (*this)["G"][r][c];
    };
    // The cell-mean solute of tracer t.
    auto solute = [&](std::size_t t, int r, int c) {
      const auto& [pack, glacier_pack, evaporating] = kTracers[t];
      const double g = std::clamp((*this)["g"][r][c], 0.0, 1.0);
      const double free = (*this)[pack][r][c] * (evaporating ? (*this)["S"][r][c] : 1.0);
      const double on_glacier =
          (*this)[glacier_pack][r][c] * (evaporating ? (*this)["G"][r][c] : 1.0);
      return (1 - g) * free + g * on_glacier;
    };
    constexpr std::size_t kTracerCount = std::size(kTracers);
    for (int step = 0; step < 5; ++step) {
      std::map<double, double> before, after;
      std::map<double, std::array<double, kTracerCount>> solute_before, solute_after;
      std::vector<double> liquid_share(static_cast<std::size_t>((nrows + 1) * (ncols + 1)), -1);
      for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c) {
          before[(*this)["zone"][r][c]] += cell_mean(r, c);
          for (std::size_t t = 0; t < kTracerCount; ++t)
            solute_before[(*this)["zone"][r][c]][t] += solute(t, r, c);
          if ((*this)["S"][r][c] > 0)
            liquid_share[r * (ncols + 1) + c] = (*this)["L"][r][c] / (*this)["S"][r][c];
        }
      Run(true, 0.05 + 0.2 * unit(random));
      for (int r = 1; r <= nrows; ++r) {
        for (int c = 1; c <= ncols; ++c) {
          const double zone = (*this)["zone"][r][c];
          after[zone] += cell_mean(r, c);
          for (std::size_t t = 0; t < kTracerCount; ++t) solute_after[zone][t] += solute(t, r, c);
          if (zone == kNodataSnowSlide) {
            EXPECT_EQ((*this)["deposition"][r][c], kNodataSnowSlide);
            continue;
          }
          EXPECT_LE((*this)["deposition"][r][c], (*this)["capacity"][r][c] + 1e-12);
          const double share = liquid_share[r * (ncols + 1) + c];
          if (share >= 0) {
            EXPECT_NEAR((*this)["L"][r][c] / (*this)["S"][r][c], share, 1e-12);
          }
          EXPECT_NEAR((*this)["solid"][r][c] + (*this)["L"][r][c], (*this)["S"][r][c], 1e-9);
          for (const auto& [total, mass, concentration] :
               {std::tuple{"S", "U", "V"}, std::tuple{"G", "Ug", "Vg"}}) {
            EXPECT_NEAR((*this)[mass][r][c], kUniformMass * (*this)[total][r][c], 1e-9) << mass;
            if ((*this)[total][r][c] > 0) {
              EXPECT_NEAR((*this)[concentration][r][c], kUniformConcentration, 1e-12)
                  << concentration;
            }
          }
          bool higher = false;
          for (int k = 1; k <= 4; ++k) {
            const int nr = r + dr[k], nc = c + dc[k];
            if (nr >= 1 && nr <= nrows && nc >= 1 && nc <= ncols &&
                (*this)["zone"][nr][nc] == zone &&
                (*this)["elevation"][nr][nc] > (*this)["elevation"][r][c])
              higher = true;
          }
          if (!higher) {
            EXPECT_EQ((*this)["deposition"][r][c], 0.0);
            EXPECT_LE((*this)["mobile"][r][c], (*this)["input"][r][c] + 1e-12);
          }
        }
      }
      for (const auto& [zone, sum] : before)
        EXPECT_NEAR(after[zone], sum, 1e-9 * std::max(1.0, sum)) << "zone " << zone;
      for (const auto& [zone, sums] : solute_before)
        for (std::size_t t = 0; t < kTracerCount; ++t)
          EXPECT_NEAR(solute_after[zone][t], sums[t], 1e-9 * std::max(1.0, sums[t]))
              << "zone " << zone << " tracer " << std::get<0>(kTracers[t]);
    }
  }
}

}  // namespace
}  // namespace velorn
