// The radiation correction on 1, 2 and 3 processes gives the factors and corrected temperatures
// of a single-process run: process 0 scans the whole terrain and scatters the shadow.
#include <gtest/gtest.h>

#include <memory>

#include "meteo/radiation_correction.h"
#include "setup/mpi_regions.h"
#include "tests/support/submodel_fixture.h"

namespace velorn {
namespace {

constexpr int32_t kRows = 9;
constexpr int32_t kColsRadiationCorrection = 8;
constexpr double N = -9999;

using test::Rank;

// Terrain with a 3000 m ridge in column 6, slopes and aspects varying from cell to cell.
double Elevation(int r, int c) {
  if (r == 5 && c == 2) return N;
  return c == 6 ? 3000.0 : 400.0 + 10.0 * r;
}
double Aspect(int r, int c) {
  return (37.0 * r + 53.0 * c) - 360.0 * ((37 * r + 53 * c) / 360);
}
double Slope(int r, int c) {
  return (r * c) % 40;
}
double Temperature(int r, int c) {
  return 5.0 + 0.1 * r - 0.05 * c;
}

class RadiationCorrectionMpi : public test::SubModelTest {
 protected:
  RadiationCorrectionMpi() : test::SubModelTest(kRows, kColsRadiationCorrection) {
    setup_.latitude = 47;
    setup_.longitude = 8;
    setup_.reference_meridian = 15;
    WriteControlFile(
        "[radiation_correction]\n1 flow\n180 interval\n2 method\ntk.asc\n0 write\n1.5 scale\n"
        "ex.asc\n0 write\nsh.asc\n0 write\n1 timesteps\n3 splittings\n");
  }

  // Registers zone, elevation, slope, aspect and temperature over rows first..last of
  // `registry`, kept alive in `grids`.
  void RegisterInputs(GridRegistry& registry, std::vector<GridMatrix>& grids, int32_t first,
                      int32_t last) {
    const auto add = [&](const std::string& name, double (*value)(int, int)) {
      grids.emplace_back(diag_, first, last, kColsRadiationCorrection, kRows);
      for (int r = first; r <= last; ++r)
        for (int c = 1; c <= kColsRadiationCorrection; ++c) grids.back()[r][c] = value(r, c);
      registry.Register(diag_, registry.FirstFreeIndex(), name + ".asc", grids.back().get(),
                        nullptr, 0, name, 0, first, last, kColsRadiationCorrection, kRows);
    };
    add("zones", [](int r, int c) { return Elevation(r, c) == N ? N : 1.0; });
    add("[elevation_model]", Elevation);
    add("slope_angle", Slope);
    add("slope_aspect", Aspect);
    add("temperature", Temperature);
  }
};

TEST_F(RadiationCorrectionMpi, FactorsAndTemperaturesMatchASingleProcessRun) {
  GridMatrix zone(diag_, 1, kRows, kColsRadiationCorrection, kRows);
  GridMatrix dem(diag_, 1, kRows, kColsRadiationCorrection, kRows);
  for (int r = 1; r <= kRows; ++r)
    for (int c = 1; c <= kColsRadiationCorrection; ++c) {
      dem[r][c] = Elevation(r, c);
      zone[r][c] = dem[r][c] == N ? N : 1.0;
    }
  const RegionGrids whole =
      Rank() == 0 ? RegionGrids{zone.get(), dem.get(), nullptr} : RegionGrids{};
  MpiLayout layout =
      std::move(DecomposeRegions(diag_, {kColsRadiationCorrection, kRows, N}, whole, 1.0).layout);
  const HeldRows held = Rank() == 0 ? HeldRows{1, kRows} : layout.held_rows();

  std::vector<GridMatrix> grids;
  RegisterInputs(registry_, grids, held.first, held.last);
  RegisterMpiGrids(diag_, registry_, layout);
  SubModelSetup distributed = setup_;
  distributed.mpi = &layout;
  distributed.first_local_row = layout.first_row;
  distributed.last_local_row = layout.last_row;
  int32_t error = -1;
  expokorrklasse model(error, distributed);
  ASSERT_EQ(error, 0);

  // The reference: the same model on process 0 alone, every cell its own.
  GridRegistry alone_registry;
  std::vector<GridMatrix> alone_grids;
  std::unique_ptr<expokorrklasse> alone;
  if (Rank() == 0) {
    RegisterInputs(alone_registry, alone_grids, 1, kRows);
    SubModelSetup single = setup_;
    single.registry = &alone_registry;
    alone = std::make_unique<expokorrklasse>(error, single);
    ASSERT_EQ(error, 0);
  }

  for (int hour : {9, 12, 18}) {
    model.RunStep(hour, 15, 6, 2001);
    const GridMatrix factors = model.MPIGatherGridCopy(model.radiation_correction_index, nullptr);
    const GridMatrix temperatures = model.MPIGatherGridCopy(model.corr_temperature_index, nullptr);
    if (Rank() != 0) continue;
    alone->RunStep(hour, 15, 6, 2001);
    double** f = factors ? factors.get() : model.radiation_correction.get();
    double** t = temperatures ? temperatures.get() : model.corr_temperature.get();
    int shaded = 0;
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kColsRadiationCorrection; ++c) {
        if (dem[r][c] == N) continue;
        EXPECT_EQ(f[r][c], alone->radiation_correction[r][c]) << hour << ": " << r << "," << c;
        EXPECT_EQ(t[r][c], alone->corr_temperature[r][c]) << hour << ": " << r << "," << c;
        shaded += alone->shadow[r][c] > 0.5;
      }
    // The ridge shades the evening side.
    if (hour == 18) {
      EXPECT_GT(shaded, 0);
    }
  }
  if (alone) alone->ReleaseMemory();
  model.ReleaseMemory();
}

}  // namespace
}  // namespace velorn
