// Test fixture for the meteorological interpolators: the sub-model fixture's grid of rows x cols
// cells of 1000 m with its lower-left corner at (0, 0), plus the grids an interpolator looks up
// (zone grid at entry 1, elevation at entry 2, "RelCellArea", "CoordX", "CoordY" holding the
// lower-left corners of the cells as the set-up makes them, and, when a test sets owners,
// "MPIRegions"), a writer of station tables and one of interpolation sections.
//
// Station tables are written as "name" -> path in the fixture's directory; records are given as
// text lines "Y M D H v1 v2 ...". Row r of this process's range is owned by `owner(r)`.
#pragma once

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "core/matrix.h"
#include "meteo/meteo_interpolator.h"
#include "tests/support/submodel_fixture.h"

namespace velorn::test {

struct SectionSpec {
  int method = 1;
  std::string station_line = "stations.txt";
  std::string parameter_line = "none";  // regression file name or method parameters
  int write_code = 0;
  double scaling = 1.0;
  double nodata = 9999;
  double weight = 2.0;
  double fraction = 0.0;
  double max_distance = 1e6;
  double slope = 0.0;
  double ratio = 1.0;
  std::vector<double> limits = {-1e10, -1e10, 1e10, 1e10};
  int scenario_use = 0;
  int scenario_method = 0;
  std::vector<std::string> scenario_rows;
  int statistics_code = 0;
};

class MeteoTest : public SubModelTest {
 protected:
  MeteoTest(int rows = 3, int cols = 4, int first_row = 1, int last_row = 0)
      : SubModelTest(rows, cols) {
    setup_.first_local_row = first_row;
    setup_.last_local_row = last_row > 0 ? last_row : rows;
    const int f = setup_.first_local_row, l = setup_.last_local_row;
    zone_ = GridMatrix(diag_, f, l, cols, rows);
    elevation_ = GridMatrix(diag_, f, l, cols, rows);
    area_ = GridMatrix(diag_, f, l, cols, rows);
    x_ = GridMatrix(diag_, f, l, cols, rows);
    y_ = GridMatrix(diag_, f, l, cols, rows);
    for (int r = f; r <= l; ++r)
      for (int c = 1; c <= cols; ++c) {
        zone_[r][c] = 1;
        elevation_[r][c] = 100.0 * r;
        area_[r][c] = 1.0;
        x_[r][c] = (c - 1) * 1000.0;
        y_[r][c] = (rows - r) * 1000.0;
      }
    Register("zones.asc", zone_.get(), "zone_grid");
    Register("dem.asc", elevation_.get(), "elevation");
    Register("", area_.get(), "RelCellArea");
    Register("", x_.get(), "CoordX");
    Register("", y_.get(), "CoordY");
  }

  void Register(const std::string& file, double** grid, const std::string& id) {
    registry_.Register(diag_, registry_.FirstFreeIndex(), file, grid, nullptr, 0, id, 0,
                       setup_.first_local_row, setup_.last_local_row, setup_.ncols, setup_.nrows);
  }

  // "MPIRegions" with owner(r) in every cell of row r.
  void SetOwners(const std::function<int(int)>& owner) {
    owners_ = GridMatrix(diag_, setup_.first_local_row, setup_.last_local_row, setup_.ncols,
                         setup_.nrows);
    for (int r = setup_.first_local_row; r <= setup_.last_local_row; ++r)
      for (int c = 1; c <= setup_.ncols; ++c) owners_[r][c] = owner(r);
    Register("", owners_.get(), "MPIRegions");
  }

  // A station table with the stations' altitude, x and y and the record lines.
  std::string WriteStations(const std::string& name, const std::vector<double>& alt,
                            const std::vector<double>& xs, const std::vector<double>& ys,
                            const std::vector<std::string>& records, int extra_columns = 0) {
    std::ostringstream out;
    std::string skipped = "a b c d";
    for (int i = 0; i < extra_columns; ++i) skipped += " e";
    out << "test stations\n";
    for (const auto* row : {&alt, &xs, &ys}) {
      out << skipped;
      for (double v : *row) out << " " << v;
      out << "\n";
    }
    out << "YY MM DD HH names\n";
    for (const std::string& record : records) out << record << "\n";
    WriteFile(dir_ / name, out.str());
    return dir_ / name;
  }

  // The section of `name` as the control file holds it.
  static std::string Section(const std::string& name, const SectionSpec& s) {
    std::ostringstream out;
    out << "[" << name << "]\n"
        << s.method << " method\n"
        << s.station_line << "\n"
        << s.parameter_line << "\n"
        << name << ".asc\n"
        << s.write_code << " write code\n"
        << s.scaling << " scaling\n"
        << name << ".stat " << s.statistics_code << "\n"
        << s.nodata << "\n"
        << s.weight << "\n"
        << s.fraction << "\n"
        << s.max_distance << "\n"
        << s.slope << "\n"
        << s.ratio << "\n";
    for (double l : s.limits) out << l << "\n";
    out << s.scenario_use << "\n";
    if (s.scenario_use == 1) {
      out << s.scenario_method << "\n" << s.scenario_rows.size() << "\n";
      for (const std::string& row : s.scenario_rows) out << row << "\n";
    }
    return out.str();
  }

  // Writes the control file with the sections and constructs the interpolator of `name`.
  template <class Interpolator = meteointerpol>
  std::unique_ptr<Interpolator> Make(const std::string& name, const std::string& sections,
                                     ModelDate start, ModelDate end) {
    WriteControlFile(sections);
    int status = -1;
    auto made = std::make_unique<Interpolator>(setup_, name, registry_.FirstFreeIndex(), start, end,
                                               status);
    EXPECT_EQ(status, 0);
    made->SetTimeStepHours(24);
    return made;
  }

  GridMatrix zone_, elevation_, area_, x_, y_, owners_;
};

}  // namespace velorn::test
