// The trim of the whole set-up grids of process 0 to the rows it holds as a process.
//
// The set-up reads, checks and derives its grids whole on process 0 (code checks, slope and
// aspect, coordinates, region weights need every row there) and scatters them. Once it is done,
// defaultini::TrimSetUpGrids (called by the application before the sub-models allocate their
// grids) keeps of every such grid only process 0's own rows with one halo row on each side, as
// every other process holds them, and records that range in the registry. A few grids stay
// whole because readers of the run walk every row of them on process 0; KeptWholeOnProcessZero
// names them. On one process nothing is trimmed.
#pragma once

#include <string_view>

namespace velorn {

// Whether process 0 keeps the set-up grid of registry entry `index` with `identifier` whole;
// `glaciers` and `slide` say whether glaciers and the snow slide are modelled. Kept: the zone grid
// (the reference of every fill of a grid read in the run), the elevation model (the shading scan
// hands process 0's whole copy to every process), the owner grid and strip table (the output
// gather), the soil zones and relative cell areas (the sub-models rank their zones on process
// 0), and, when glaciers or the snow slide are modelled, the grids they walk whole.
bool KeptWholeOnProcessZero(int index, std::string_view identifier, bool glaciers, bool slide);

}  // namespace velorn
