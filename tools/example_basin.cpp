// Generator of the example basin's input files (examples/front-range/).
//
//   velorn_example_basin --dem SRTM.asc --knmi etmgeg_260.txt --year 2019 --out DIR
//
// Brings the geographic SRTM tile onto a metric grid of 200 m cells, finds the basin of its
// largest outlet and splits it into subbasins at the major confluences, assigns land use and
// soil by rules, and writes into DIR: dem.asc, zones.asc, landuse.asc, soil.asc, river_links.asc,
// river_width.asc and river_depth.asc (the channel of every stream cell, for surface routing),
// gw_boundary_fix_h_1.asc (the bed of every stream channel, the groundwater's fixed head there),
// lake_codes.asc and lake_ponding_max.asc (a small lake above the outlet), snow_survey.asc (a
// synthetic snow water equivalent for the lake variant's data assimilation; all grids the basin's
// bounding box with two cells of margin) and one station table per meteorological
// variable from the KNMI daily series of the year, with the station at the basin outlet. The
// files in examples/front-range/ are this program's output; a test runs it again and compares.
// Prints a short summary of the basin. Exits with 1 and a message on any failure.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "grids/grid_formats.h"
#include "tools/basin_terrain.h"
#include "tools/station_series.h"

namespace velorn::tools {
namespace {

constexpr double kCellSize = 100.0;
constexpr double kTributaryShare = 0.08;
constexpr int kMaxTributaries = 2;
constexpr int kMargin = 2;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteText(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

Raster ReadAsciiRaster(const std::string& path) {
  const std::string text = ReadText(path);
  const AsciiHeaderResult header = ParseAsciiHeader(text);
  if (header.failed_pair != 0) throw std::runtime_error(path + ": " + header.reason);
  if (const std::string wrong = CheckGridHeader(header.values); !wrong.empty())
    throw std::runtime_error(path + ": " + wrong);
  Raster g(static_cast<int>(header.values[0]), static_cast<int>(header.values[1]), 0.0);
  g.xll = header.values[2];
  g.yll = header.values[3];
  g.cellsize = header.values[4];
  g.nodata = header.values[5];
  // The parser fills rows 1..n and columns 1..n of a row-pointer table.
  std::vector<std::vector<double>> rows(g.nrows + 1, std::vector<double>(g.ncols + 1));
  std::vector<double*> pointers(g.nrows + 1);
  for (int r = 0; r <= g.nrows; ++r) pointers[r] = rows[r].data();
  if (!ParseAsciiCells(text, header.data_offset, g.nrows, g.ncols, pointers.data()).ok)
    throw std::runtime_error(path + ": a cell value is missing or not a number");
  for (int r = 0; r < g.nrows; ++r)
    for (int c = 0; c < g.ncols; ++c) g.at(r, c) = rows[r + 1][c + 1];
  return g;
}

// Bank-full width and depth (m) of a stream draining `area` km², by the downstream hydraulic
// geometry of Leopold and Maddock (1953, USGS Prof. Paper 252): width grows with the square root
// and depth with the 0.4th power of the discharge, taken proportional to the area; 1.5 m wide
// and 0.5 m deep at 2 km², as the channels of discharge routing in the example.
double ChannelWidth(double area) {
  return std::round(15 * std::sqrt(area / 2)) / 10;
}
double ChannelDepth(double area) {
  return std::round(50 * std::pow(area / 2, 0.4)) / 100;
}

// The window [r0, r0 + rows) x [c0, c0 + cols) of `g` as an ASCII grid, values as "%g".
std::string AsciiWindow(const Raster& g, int r0, int c0, int rows, int cols) {
  GridGeometry geometry;
  geometry.ncols = cols;
  geometry.nrows = rows;
  geometry.xll = g.xll + c0 * g.cellsize;
  geometry.yll = g.yll + (g.nrows - r0 - rows) * g.cellsize;
  geometry.cellsize = g.cellsize;
  geometry.nodata = g.nodata;
  std::string text = FormatAsciiHeader(geometry);
  for (int r = r0; r < r0 + rows; ++r) {
    for (int c = c0; c < c0 + cols; ++c) {
      if (c > c0) text += ' ';
      AppendGeneral(text, g.at(r, c));
    }
    text += '\n';
  }
  return text;
}

// The lake of the variant front-range-lake.ctl: three cells of the valley floor of subbasin 5
// above the outlet (rows 22-23, columns 61-62 of the written window, counted from 1), lake code
// 5, sharing the top level 2432 m. The maximum ponding storage holds each lake cell's depth
// below the top (mm, to the millimetre) and a pond of 15 mm on every other cell with elevation.
std::pair<Raster, Raster> LakeGrids(const Raster& dem, int r0, int c0) {
  constexpr double kTop = 2432.0, kPond = 15.0;
  const int cells[3][2] = {{22, 61}, {23, 61}, {23, 62}};
  Raster codes = dem, ponding = dem;
  for (std::size_t i = 0; i < dem.Size(); ++i) {
    codes.values[i] = dem.nodata;
    if (dem.values[i] != dem.nodata) ponding.values[i] = kPond;
  }
  for (const auto& cell : cells) {
    const int r = r0 + cell[0] - 1, c = c0 + cell[1] - 1;
    codes.at(r, c) = 5;
    ponding.at(r, c) = std::round((kTop - dem.at(r, c)) * 1000);
  }
  return {codes, ponding};
}

// A synthetic snow survey for the grid rule of data assimilation in front-range-lake.ctl (not a
// measurement): snow water equivalent (mm, to 0.1 mm) growing by 10 mm per 100 m above 2400 m,
// none below, on every cell with elevation.
Raster SnowSurveyGrid(const Raster& dem) {
  constexpr double kBase = 2400.0, kPerMetre = 0.1;
  Raster swe = dem;
  for (double& z : swe.values)
    if (z != dem.nodata) z = std::round(std::max(z - kBase, 0.0) * kPerMetre * 10) / 10;
  return swe;
}

struct Options {
  std::string dem, knmi, out;
  int year = 2019;
};

Options ParseArguments(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i], value = argv[i + 1];
    if (key == "--dem")
      o.dem = value;
    else if (key == "--knmi")
      o.knmi = value;
    else if (key == "--out")
      o.out = value;
    else if (key == "--year")
      o.year = std::stoi(value);
    else
      throw std::runtime_error("unknown option " + key);
  }
  if (o.dem.empty() || o.knmi.empty() || o.out.empty() || argc % 2 == 0)
    throw std::runtime_error(
        "usage: velorn_example_basin --dem SRTM.asc --knmi etmgeg_260.txt [--year 2019] --out DIR");
  return o;
}

int Generate(const Options& o) {
  const Raster geographic = ReadAsciiRaster(o.dem);
  Raster dem = ResampleToMetric(geographic, TileProjection(geographic), kCellSize);
  for (double& z : dem.values)
    if (z != dem.nodata) z = std::round(z * 10) / 10;  // decimetres, as the file holds them
  const auto down = FlowDirections(FillDepressions(dem, 1e-4));
  const auto acc = FlowAccumulation(down);
  const Subbasins basins = DelineateSubbasins(dem, down, acc, kTributaryShare, kMaxTributaries);
  Raster slope, aspect;
  SlopeAndAspect(dem, slope, aspect);

  const ClassRules rules;
  Raster zones = dem, landuse = dem, soil = dem, rivers = dem, width = dem, depth = dem, bed = dem;
  int r_min = dem.nrows, r_max = -1, c_min = dem.ncols, c_max = -1;
  std::map<int, int> cells_of_zone, cells_of_landuse, cells_of_soil;
  for (int r = 0; r < dem.nrows; ++r)
    for (int c = 0; c < dem.ncols; ++c) {
      const std::size_t i = static_cast<std::size_t>(r) * dem.ncols + c;
      const int zone = basins.zone[i];
      zones.values[i] = landuse.values[i] = soil.values[i] = rivers.values[i] = dem.nodata;
      width.values[i] = depth.values[i] = bed.values[i] = dem.nodata;
      if (zone == 0) continue;
      r_min = std::min(r_min, r), r_max = std::max(r_max, r);
      c_min = std::min(c_min, c), c_max = std::max(c_max, c);
      zones.values[i] = zone;
      landuse.values[i] =
          LanduseClass(rules, dem.values[i], slope.values[i], aspect.values[i], acc[i]);
      soil.values[i] = SoilClass(rules, slope.values[i], acc[i]);
      if (acc[i] >= rules.river_cells) {
        const double area = acc[i] * kCellSize * kCellSize / 1e6;
        rivers.values[i] = zone;
        width.values[i] = ChannelWidth(area);
        depth.values[i] = ChannelDepth(area);
        bed.values[i] = std::round((dem.values[i] - depth.values[i]) * 100) / 100;
      }
      ++cells_of_zone[zone];
      ++cells_of_landuse[static_cast<int>(landuse.values[i])];
      ++cells_of_soil[static_cast<int>(soil.values[i])];
    }
  const int r0 = std::max(0, r_min - kMargin), c0 = std::max(0, c_min - kMargin);
  const int rows = std::min(dem.nrows, r_max + kMargin + 1) - r0;
  const int cols = std::min(dem.ncols, c_max + kMargin + 1) - c0;

  const std::filesystem::path out = o.out;
  std::filesystem::create_directories(out / "stations");
  const std::pair<const char*, const Raster*> grids[] = {{"dem.asc", &dem},
                                                         {"zones.asc", &zones},
                                                         {"landuse.asc", &landuse},
                                                         {"soil.asc", &soil},
                                                         {"river_links.asc", &rivers},
                                                         {"river_width.asc", &width},
                                                         {"river_depth.asc", &depth},
                                                         {"gw_boundary_fix_h_1.asc", &bed}};
  for (const auto& [name, grid] : grids)
    WriteText(out / name, AsciiWindow(*grid, r0, c0, rows, cols));
  const auto [lake_codes, lake_ponding] = LakeGrids(dem, r0, c0);
  WriteText(out / "lake_codes.asc", AsciiWindow(lake_codes, r0, c0, rows, cols));
  WriteText(out / "lake_ponding_max.asc", AsciiWindow(lake_ponding, r0, c0, rows, cols));
  WriteText(out / "snow_survey.asc", AsciiWindow(SnowSurveyGrid(dem), r0, c0, rows, cols));

  // The station stands at the basin outlet and carries the outlet's elevation.
  const int64_t o_cell = basins.basin_outlet;
  const int orow = static_cast<int>(o_cell / dem.ncols),
            ocol = static_cast<int>(o_cell % dem.ncols);
  StationTable station;
  station.altitude = dem.at(orow, ocol);
  station.x = dem.xll + (ocol + 0.5) * dem.cellsize;
  station.y = dem.yll + (dem.nrows - orow - 0.5) * dem.cellsize;
  const auto days = ReadKnmiDaily(ReadText(o.knmi), o.year);
  const std::string source =
      "SOURCE: ROYAL NETHERLANDS METEOROLOGICAL INSTITUTE (KNMI), De Bilt (260), daily ";
  struct Variable {
    const char* file;
    const char* what;
    const char* format;
    double DailyWeather::*field;
  };
  const Variable variables[] = {
      {"temperature.txt", "mean air temperature in degC", "%.1f", &DailyWeather::temperature},
      {"precipitation.txt", "precipitation in mm", "%.1f", &DailyWeather::precipitation},
      {"wind_speed.txt", "mean wind speed in m/s", "%.1f", &DailyWeather::wind_speed},
      {"air_humidity.txt", "mean relative humidity as a fraction", "%.2f", &DailyWeather::humidity},
      {"global_radiation.txt", "global radiation in Wh/m2", "%.1f", &DailyWeather::radiation},
      {"sunshine_duration.txt", "relative sunshine duration as a fraction", "%.2f",
       &DailyWeather::sunshine},
  };
  for (const Variable& v : variables) {
    station.title = source + v.what;
    station.format = v.format;
    WriteText(out / "stations" / v.file, FormatStationTable(station, days, v.field));
  }

  std::printf(
      "metric grid %d x %d cells of %.0f m, basin of %lld cells (%.2f km2) in a window "
      "of %d x %d\n",
      dem.ncols, dem.nrows, dem.cellsize, static_cast<long long>(basins.basin_cells),
      basins.basin_cells * dem.cellsize * dem.cellsize / 1e6, cols, rows);
  std::printf("outlet at x %.1f, y %.1f, %.1f m; %zu days of station data\n", station.x, station.y,
              station.altitude, days.size());
  for (const auto& [zone, cells] : cells_of_zone) std::printf("zone %d: %d cells\n", zone, cells);
  for (const auto& [code, cells] : cells_of_landuse)
    std::printf("land use %d: %d cells\n", code, cells);
  for (const auto& [code, cells] : cells_of_soil) std::printf("soil %d: %d cells\n", code, cells);
  // The topology and the channel values of discharge routing, to check the example's routing
  // descriptions against ([routing_model] in front-range.ctl).
  for (const Reach& reach :
       ChannelReaches(dem, down, acc, basins, static_cast<int64_t>(rules.river_cells))) {
    std::printf(
        "subbasin %d: drains into %d, %.2f km2 at its outlet; reach of %d stream cells, L %.0f m, "
        "fall %.1f m, I %.3f; bank-full width %.1f m, depth %.2f m\n",
        reach.zone, reach.downstream_zone, reach.area, reach.cells, reach.length, reach.fall,
        reach.fall / reach.length, ChannelWidth(reach.area), ChannelDepth(reach.area));
  }
  return 0;
}

}  // namespace
}  // namespace velorn::tools

int main(int argc, char** argv) {
  try {
    return velorn::tools::Generate(velorn::tools::ParseArguments(argc, argv));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "velorn_example_basin: %s\n", e.what());
    return 1;
  }
}
