// Test fixture of the column numerics: a soil entry of Carsel and Parrish (1988) parsed from its
// keys (loam by default), a workspace holding its column under a surface at 100 m, and the
// ColumnCell that describes it (no snow, no heat, table at the bottom of the profile).
//
// Used by tests/unsatzone/soil_column_*_test.cpp. Header only.
#pragma once

#include <string>
#include <vector>

#include "tests/support/soil_column_fixture.h"
#include "tests/support/test_helpers.h"
#include "unsatzone/soil_column_state.h"
#include "unsatzone/soil_column_workspace.h"

namespace velorn::test {

class SoilColumnWork : public DiagTest {
 protected:
  static constexpr double kSurface = 100.0;

  // Parses `keys` (VanGenuchtenKeys plus extra keys) into the soil and loads a column of its
  // layers; every layer starts at `theta`.
  void Load(const std::string& keys, double theta) {
    soil_ = SoilRecord();
    soil_.ParseEntry(diag_, SoilBlock(keys, 1), "MultipleHorizons");
    const int n = soil_.layers;
    fc_.assign(static_cast<std::size_t>(n + 1), 0.0);
    for (int k = 1; k <= n; ++k) fc_[k] = soil_.GetTheta(k, kFieldCapacitySuction);
    ws_.Resize(0, n);
    LoadSoilLayers(ws_, soil_, kSurface);
    for (int k = 1; k <= n; ++k)
      for (auto a : {W::kTheta0, W::kTheta, W::kThetaMean}) ws_[a][k] = theta;
    cell_ = ColumnCell{};
    cell_.soil = &soil_;
    cell_.fieldCapacity = fc_.data();
    cell_.gwLayer = n;
    cell_.zGw = ws_[W::kZBound][n];
    cell_.cellSize = 100;
  }
  // The loam of Carsel and Parrish (alpha in 1/m, ksat 2.89e-6 m/s) in `layers` layers of `dz` m.
  void LoadLoam(int layers, double dz, double theta, const std::string& extra = "") {
    Load(VanGenuchtenKeys(0.43, 0.078, 3.6, 1.56, 2.89e-6, layers, dz) + extra, theta);
  }
  double* A(SoilColumnWorkspace::Array a) { return ws_[a]; }

  using W = SoilColumnWorkspace;
  SoilRecord soil_;
  std::vector<double> fc_;
  SoilColumnWorkspace ws_;
  ColumnCell cell_;
};

}  // namespace velorn::test
