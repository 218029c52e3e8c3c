// The first temperature profile of a layered snow pack on the soil (the step start of the soil
// zone with heat transfer and layered snow, when the snow temperature stack was created empty).
//
// Pure function of one cell's column, unit-tested; the caller (the soil zone's BeginStep, after
// the first soil temperatures) runs it per own cell through the row loop. Snow levels are
// numbered 1..M from the top, level M lies on the soil surface; `height` is the geodetic height
// of a level's lower boundary, `thickness` its thickness (m).
#pragma once

#include <cstdint>

namespace velorn {

// The upper snow index of a pack: the uppermost layer of the run of layers with solid water
// equivalent > 0 that starts at M (levels 1..M of `swe_solid`); M + 1: no snow on the soil.
int32_t UpperSnowIndex(const double* swe_solid, int32_t m);

// Sets `temperature` (levels 1..M) of the snow layers from the upper snow index down to M to
// f T_soil + (1 - f) T_air, at most 0 degC, and every other level to `nodata`. The upper snow
// index is the uppermost layer of the run of layers with solid water equivalent > 0 that starts
// at M (M + 1: no snow on the soil, every level nodata). f = d / D: D the depth of the pack (top
// of the upper layer minus the bottom of layer M), d the depth of a layer's middle below the
// snow surface, so f rises from half the top layer's share to near 1 at the soil. Returns the
// upper snow index.
int32_t InitialSnowTemperatures(const double* swe_solid, const double* height,
                                const double* thickness, int32_t m, double soil_top, double air,
                                double nodata, double* temperature);

}  // namespace velorn
