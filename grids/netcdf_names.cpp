// File and variable names of netCDF grid output (see netcdf_names.h).
#include "grids/netcdf_names.h"

#include <array>
#include <string_view>

namespace velorn {

namespace {

// Coordinate variables that NetcdfGridWriter defines in every file it creates.
constexpr std::array<std::string_view, 5> kCoordinateNames = {"x", "y", "t", "lat", "lon"};

// Text after the last `separator`, or the whole text when it has none.
std::string AfterLast(const std::string& text, char separator) {
  const auto pos = text.rfind(separator);
  return pos == std::string::npos ? text : text.substr(pos + 1);
}

// Text before the first `separator`, or the whole text when it has none.
std::string BeforeFirst(const std::string& text, char separator) {
  return text.substr(0, text.find(separator));
}

}  // namespace

void MakeNetcdfFileName(std::string& out, const std::string& name) {
  out = name + ".nc";
}

bool IsNetcdfCoordinateName(const std::string& name) {
  for (const auto coordinate : kCoordinateNames)
    if (name == coordinate) return true;
  return false;
}

void StripNetcdfVariableName(std::string& out, const std::string& name) {
  const std::string base = AfterLast(AfterLast(name, '/'), '\\');
  const std::string stem = BeforeFirst(base, '.');
  out = BeforeFirst(stem, '_');
  // A data variable named like a coordinate variable could not be defined beside it, and an
  // empty name cannot be defined at all: keep the "_" part of the name in those cases.
  if (out.empty() || IsNetcdfCoordinateName(out)) out = stem;
  if (IsNetcdfCoordinateName(out)) out += "_grid";
}

}  // namespace velorn
