// The terrain shading scan of the radiation correction against its per-cell loop, on square
// DEMs of 500 to 4000 cells a side, one core. Process 0 runs the scan alone once per sunlit
// sub-interval, while the cell loop is shared by all processes (and their threads): comparing
// the two says when process 0 becomes the bottleneck. Also the scan of the last quarter of the
// rows (what each of four processes now scans for itself, the last one the most) and the cell
// loop with the slope and zenith terms kept.
//
//   build/bench/radiation_correction_bench [--benchmark_filter=...]
//
// Items per second are cells per second; the time per iteration is one sub-interval.
#include <benchmark/benchmark.h>

#include <cmath>
#include <filesystem>
#include <iostream>

#include "core/diagnostic_stream.h"
#include "core/matrix.h"
#include "core/solar_geometry.h"
#include "meteo/radiation_correction_formulas.h"

namespace {

using velorn::GridMatrix;

velorn::DiagnosticStream& Diag() {
  static velorn::DiagnosticStream diag(
      (std::filesystem::temp_directory_path() / "radiation_correction_bench.xml").string(), 0,
      std::cerr);
  return diag;
}

// Rolling hills of 100 m cells with a few hundred metres of relief.
GridMatrix Terrain(int side) {
  GridMatrix dem(Diag(), 1, side, side, side);
  for (int r = 1; r <= side; ++r)
    for (int c = 1; c <= side; ++c)
      dem[r][c] = 800 + 300 * std::sin(r * 0.013) * std::cos(c * 0.021) + 0.05 * r;
  return dem;
}

// One scan with the sun in the south-west, 20 degrees high (rays along columns).
void BM_ShadingScan(benchmark::State& state) {
  const int side = static_cast<int>(state.range(0));
  const GridMatrix dem = Terrain(side);
  GridMatrix shadow(Diag(), 1, side, side, side);
  for (auto _ : state) {
    velorn::ShadingScan(dem.get(), side, side, -9999, 100, 3.9, 0.35, shadow.get());
    benchmark::DoNotOptimize(shadow[side / 2][side / 2]);
  }
  state.SetItemsProcessed(state.iterations() * side * side);
}
BENCHMARK(BM_ShadingScan)->Arg(500)->Arg(1000)->Arg(2000)->Arg(4000)->Unit(benchmark::kMillisecond);

// The scan of one process of four: the quarter of the rows farthest from the sunward edge (the
// rays march through the three quarters before it), on the threads the environment gives.
void BM_ShadingScanLastQuarter(benchmark::State& state) {
  const int side = static_cast<int>(state.range(0));
  const GridMatrix dem = Terrain(side);
  GridMatrix shadow(Diag(), 1, side / 4, side, side);
  for (auto _ : state) {
    velorn::ShadingScanRows(dem.get(), side, side, -9999, 100, 3.9, 0.35, 1, side / 4,
                            shadow.get());
    benchmark::DoNotOptimize(shadow[side / 8][side / 2]);
  }
  state.SetItemsProcessed(state.iterations() * side * side / 4);
}
BENCHMARK(BM_ShadingScanLastQuarter)->Arg(2000)->Arg(4000)->Unit(benchmark::kMillisecond);

// The cell loop of one sub-interval on one core: incidence angle, beam share, accumulation.
void BM_CellLoop(benchmark::State& state) {
  const int side = static_cast<int>(state.range(0));
  const GridMatrix dem = Terrain(side);
  GridMatrix sum(Diag(), 1, side, side, side);
  const double zenith = 1.2;
  const double cos_z = std::cos(zenith);
  for (auto _ : state) {
    for (int r = 1; r <= side; ++r)
      for (int c = 1; c <= side; ++c) {
        const double slope = std::fmod(dem[r][c], 40.0) * 0.0174532925;
        const double aspect = std::fmod(dem[r][c] * 7, 360.0) * 0.0174532925;
        const double cos_i = velorn::CosIncidenceAngle(aspect, slope, 3.9, zenith);
        sum[r][c] += velorn::SlopeBeamShare(cos_i, cos_z, dem[r][c] < 0, false) * 900.0;
      }
    benchmark::DoNotOptimize(sum[side / 2][side / 2]);
  }
  state.SetItemsProcessed(state.iterations() * side * side);
}
// The same loop with the slope's cosine and sine and the aspect in radians kept per cell and the
// zenith's once per sub-interval, as the sub-model does now: one cosine per cell.
void BM_CellLoopKeptTerms(benchmark::State& state) {
  const int side = static_cast<int>(state.range(0));
  const GridMatrix dem = Terrain(side);
  GridMatrix sum(Diag(), 1, side, side, side);
  GridMatrix cos_slope(Diag(), 1, side, side, side);
  GridMatrix sin_slope(Diag(), 1, side, side, side);
  GridMatrix aspect(Diag(), 1, side, side, side);
  for (int r = 1; r <= side; ++r)
    for (int c = 1; c <= side; ++c) {
      const double slope = std::fmod(dem[r][c], 40.0) * 0.0174532925;
      cos_slope[r][c] = std::cos(slope);
      sin_slope[r][c] = std::sin(slope);
      aspect[r][c] = std::fmod(dem[r][c] * 7, 360.0) * 0.0174532925;
    }
  const double zenith = 1.2;
  const double cos_z = std::cos(zenith);
  const double sin_z = std::sin(zenith);
  for (auto _ : state) {
    for (int r = 1; r <= side; ++r)
      for (int c = 1; c <= side; ++c) {
        const double cos_i = velorn::CosIncidenceFromTerms(aspect[r][c], cos_slope[r][c],
                                                           sin_slope[r][c], 3.9, cos_z, sin_z);
        sum[r][c] += velorn::SlopeBeamShare(cos_i, cos_z, dem[r][c] < 0, false) * 900.0;
      }
    benchmark::DoNotOptimize(sum[side / 2][side / 2]);
  }
  state.SetItemsProcessed(state.iterations() * side * side);
}
BENCHMARK(BM_CellLoopKeptTerms)->Arg(2000)->Arg(4000)->Unit(benchmark::kMillisecond);

BENCHMARK(BM_CellLoop)->Arg(500)->Arg(1000)->Arg(2000)->Arg(4000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
