// File and variable names of netCDF grid output.
//
// The grid and stack writers derive, from a grid's output file name (output directory already
// in front), the netCDF file it goes to and the variable that holds it: "out/tsoil_20190101.001"
// goes to "out/tsoil_20190101.001.nc" as the variable "tsoil". Both are pure text functions; the
// names they give are the ones NetcdfGridWriter::WriteGrid takes.
//
// Limits: a derived variable name never equals one of the coordinate variables of our files
// ("x", "y", "t", "lat", "lon") and is never empty when the base name has text before its
// first "." (see StripNetcdfVariableName).
#pragma once

#include <string>

namespace velorn {

// out = name + ".nc" (the whole name, extension included: "temp.asc" gives "temp.asc.nc").
void MakeNetcdfFileName(std::string& out, const std::string& name);

// out = the variable name of a grid written under the file name `name`: the base name (text
// after the last "/" and then after the last "\"), cut before its first "." and then before its
// first "_". Where that cut gives an empty name or the name of a coordinate variable
// ("x_wind.asc" would give "x"), the name is only cut before its first "." ("x_wind"); where even
// that is a coordinate name ("lat.asc"), "_grid" is appended ("lat_grid").
void StripNetcdfVariableName(std::string& out, const std::string& name);

// True for the names of the coordinate variables that our files hold beside the data.
bool IsNetcdfCoordinateName(const std::string& name);

}  // namespace velorn
