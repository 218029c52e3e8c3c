// Per-tracer bookkeeping of a sub-model: the TracerBlock and the pure mass and concentration
// formulas that the sub-models apply per cell.
//
// A sub-model (core/submodel.h) keeps one TracerBlock per solute tracer of [substance_transport]
// (setup/tracer_definitions.h), indexed 1..tracer count. teilmodellklasse::SetupTracers
// (core/submodel_tracers.cpp) fills the fields below for every sub-model after all of them are
// constructed:
//   - the concentration grid "concstor_tracer_<i>_<module>" (read from the grid file when the
//     sub-model's grid read parameter is 1, else 0 on zone cells and nodata elsewhere) and the
//     flux grid "concflux_tracer_<i>_<module>", both registered in the grid registry;
//   - a per-zone balance table and the zone statistics table of the concentration;
//   - the decay factor of a radioactive tracer for this sub-model's own time step (each
//     sub-model keeps its own: sub-models step at different intervals).
// teilmodellklasse::ReleaseTracers frees them at the end of the run. Sub-models that need more
// per-tracer state keep it next to the block, indexed the same way.
//
// File names are "<path><tracer name, 3 chars><module name, 5 chars>.<extension, 3 chars>", as
// in "/out/cl_unsat.sta" for tracer "cl_" of "unsatzon_model" with path "/out/" and extension
// "stat".
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/matrix.h"
#include "core/zone_statistics.h"
#include "core/zone_types.h"

namespace velorn {

// 1 / ln 2, as the half-life conversion of the decay factor writes it.
inline constexpr double kInverseLn2 = 1.442695041111;

// Frees a grid made by AllocateMatrix (or handed out by the grid reader) with its recorded
// layout.
struct MatrixRelease {
  void operator()(double** grid) const noexcept { FreeMatrix(grid); }
};
using OwnedGrid = std::unique_ptr<double*, MatrixRelease>;

// One solute tracer as [substance_transport] defines it; the settings reader
// (setup/tracer_definitions.h) fills the table, the sub-models set up their blocks from it.
struct TracerDefinition {
  std::string name;         // 3 characters, lower case, padded with "_"
  int32_t radioactive = 0;  // 1 radioactive
  int32_t evaporating = 0;  // 1 "evaporating", 0 "non_evaporating"
  double min_conc = 0;
  double max_conc = 0;
  double half_time = 0;     // days; -9999 for a tracer that is not radioactive
  double gwini = 0;         // initial concentration in groundwater
  double soilini = 0;       // initial concentration in the soil
  double decay_factor = 0;  // unused: sub-models keep their own (TracerBlock)
  std::string path;         // directory prefix of the tracer's output files
  std::string statext;      // extension of the statistics file names
  std::string gridext;      // extension of the grid file names
  // The extension given when it named another form than the written one (then gridext is the
  // written form's): a warm start reads state grids under it when they are not under gridext.
  std::string older_gridext;
  int32_t statcode = 0;  // code of the tracer's zone statistics
  int32_t gridcode = 0;  // write code of the tracer's concentration grids
};

struct TracerBlock {
  std::vector<ZoneRecord> balance_table;  // 0..zone count: 0, 0, zone code, area share, 0
  std::unique_ptr<zonalstatistic> statistics;
  std::string statistics_file_name;
  std::string grid_file_name;
  int32_t concentration_index = 0;  // registry entries of the two grids
  int32_t flux_index = 0;
  OwnedGrid concentration;  // rows 1..nrows, columns 1..ncols
  OwnedGrid flux;
  double decay_factor = 1.0;  // per step of the owning sub-model; 1 for a stable tracer
};

// Solute mass c * V of a concentration in a volume.
double TracerMass(double concentration, double volume);
// Concentration of two volumes q1 and q2 of concentrations c1 and c2 mixed:
// (q1 c1 + q2 c2) / (q1 + q2); 0 when q1 + q2 = 0.
double MixConcentration(double c1, double c2, double q1, double q2);
// Concentration after the volume V of concentration c loses the amount E of water while its
// solute stays: V c / (V - E); 0 when V = E.
double EnrichConcentration(double concentration, double volume, double loss);
// Fraction of a radioactive tracer left after one step of `interval_minutes`, for a half-life
// in days: exp(-(interval / 1440) / (half-life / ln 2)).
double DecayFactor(double interval_minutes, double half_time_days);
// "%s%.3s%.5s.%.3s" of path, tracer name, module name and extension.
std::string TracerFileName(const std::string& path, const std::string& tracer_name,
                           const std::string& module_name, const std::string& extension);

}  // namespace velorn
