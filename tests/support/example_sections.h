// Control-file sections that whole-model tests add to the example basin's control file
// (examples/front-range/front-range.ctl). Used by tests/runs/.
#pragma once

#include <string>
#include <utility>

namespace velorn::test {

// Heat transfer and frozen soil in the soil columns (implicit scheme, n-factors 0.8 and 1.0).
inline const std::string kHeatTransfer =
    "[heat_transfer]\n1\n11         # method 11: implicit\n0\n0\n12.0\n-0.007\n800\n1500\n0.58\n"
    "1e-10\n0.5562\n2.33\n4187\n1940\n2090\n334000\n1000\n1.22\n0.5\n60\n1800\n0.8\n1.0\n"
    "temper.txt\nthaw.stat 2001\ntemper.stk\n0\nthaw.asc\n0\nse.stk\n0\n\n";
// A layered snow pack of three layers of up to 5 cm on the soil columns (with heat transfer).
inline const std::string kLayeredSnow =
    "[LayeredSnowModel]\n1\n1 method\n350 maximum density\n500\n-1.5 fresh-snow offset\n"
    "0.01 drainage density\n0.08 holding capacity\n0.5\n0.4\n"
    "swes.stk\n0\nswel.stk\n0\ntsnow.stk\n0\nthsnow.stk\n0\nhhsnow.stk\n0\nhgsnow.stk\n0\n"
    "qusnow.stk\n0\nthick.stk\n0\ndens.stk\n0\nupper.asc\n0\n"
    "[LayeredSnowProperties]\n1 snow type\n1 snow method MultipleHorizons {\n"
    "  layers = 3; ksat = 5e-6; theta_sat = 0.9; theta_res = 0.02; alpha = 10; Par_n = 2;\n"
    "  thickness = 0.05; DryDensity = 120;\n}\n\n";
// The ten grids of the canopy snow (interception methods 21 to 32), none written, with their
// statistics off but the daily tables of the canopy's snow load (the fifth) "canopy_load.stat"
// and of its sublimation (the eighth) "canopy_sublimation.stat".
inline const std::string kCanopyGrids = [] {
  std::string grids;
  for (int i = 0; i < 10; ++i)
    grids += "canopy" + std::to_string(i) + ".asc\n0\n" +
             (i == 4   ? "canopy_load.stat 2001\n"
              : i == 7 ? "canopy_sublimation.stat 2001\n"
                       : "c.sta 0\n");
  return grids;
}();
// The line before which the sections above go.
inline const std::string kSectionsEnd = "# ---- Time series at single cells";

// Two tracers for a copy of an example control file (its text): "con", non-evaporating, at 10
// in the rain (from a variable grid), and "eva", evaporating, at 10 in the soil water and the
// aquifer and absent from the rain; both tables daily, both grids written at the end. Returns
// the edit that declares them in [substance_transport] (from, to); the rain's concentrations
// join the text's variable grids here.
inline std::pair<std::string, std::string> AddRainTracers(std::string& text) {
  const std::string tracer =
      " non_radioactive min_conc = 0 max_conc = 1000 mg/l statcode = 2001 gridcode = 3 "
      "path = ./ statext = sta gridext = asc";
  const std::size_t grids = text.find("[variable_grids]\n") + 17;
  const std::size_t count_end = text.find('\n', grids);
  text.replace(grids, count_end - grids,
               std::to_string(std::stoi(text.substr(grids, count_end - grids)) + 2) +
                   "\ncin concflux_tracer_1_input 0 10\n0\n0\n"
                   "ein concflux_tracer_2_input 0 0\n0\n0");
  return {"0          # no solute tracers",
          "2\ncon non_evaporating soilini = 0 gwini = 0" + tracer +
              "\neva evaporating soilini = 10 gwini = 10" + tracer};
}

// The lines of the example's control file that name its state (the soil columns, the
// groundwater, the snow pack, the interception storage), each followed by its write code 0:
// code 3 writes it at the end. And the switches (0) that read it back with 1.
inline const char* const kStateLines[] = {
    "theta.stk  # water content per layer",
    "hh.stk     # hydraulic head per layer",
    "hgeo.stk   # elevation of the layer boundaries",
    "qunten.stk # flux through the lower boundary of each layer",
    "gwstand.dbl",
    "gwtheta.dbl",
    "gwlevel.dbl",
    "deltagw.dbl",
    "snowsolid.dbl  # solid snow storage (mm water equivalent)",
    "snowliquid.dbl # liquid water in the pack (mm)",
    "snowstorage.dbl   # total snow storage grid",
    "snowdays.dbl   # days with snow cover",
    "snowage.dbl    # snow age (days)",
    "interception_storage.dbl"};
inline const char* const kStateReadSwitches[] = {
    "0          # the pack starts empty (1: read from the storage grids above)",
    "0          # the storages start empty (1: read from the grids above)",
    "0          # cold start (1: read the stacks and grids named above)"};

}  // namespace velorn::test
