// Hydrologic response units from class keys and from a given grid: ids in scan order, master
// cells, keys, the square-root spacing, keys ended by nodata, and the class limit.
#include "setup/response_units.h"

#include <gtest/gtest.h>

#include "setup/derived_grids.h"
#include "tests/support/settings_test.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

constexpr double kNodataResponseUnits = -9999.0;
using test::FilledGrid;
using test::MakeGrid;

struct UnitFixture {
  test::CapturedDiag d;
  GridMatrix zone, units, masters;
  std::vector<ColumnRange> ranges;
  HruGrids grids;
  std::vector<HruRecord> table = EmptyHruTable();
  explicit UnitFixture(const std::vector<std::vector<double>>& zone_rows) {
    zone = MakeGrid(d.diag, zone_rows);
    const int rows = static_cast<int>(zone_rows.size());
    const int cols = static_cast<int>(zone_rows[0].size());
    units = FilledGrid(d.diag, rows, cols, 0);
    masters = FilledGrid(d.diag, rows, cols, 0);
    ranges = ZoneColumnRanges({cols, rows, 0, 0, 1, kNodataResponseUnits}, zone.get(), 1, rows);
    grids = {cols,          rows,        kNodataResponseUnits, zone.get(),
             ranges.data(), units.get(), masters.get()};
  }
};

TEST(HruClass, LinearAndSquareRootSpacing) {
  struct Case {
    double value, width;
    const char* spacing;
    double expected;
  } cases[] = {
      {25, 10, "linear", 2}, {-25, 10, "linear", -3}, {400, 5, "sqrt", 4},
      {-400, 5, "sqrt", 4},  {0, 3, "sqrt", 0},       {99999, 1, "usesqrtspacing", 316},
  };
  for (const Case& c : cases)
    EXPECT_EQ(HruClass(c.value, {"g", c.width, c.spacing, nullptr}), c.expected) << c.value;
  EXPECT_EQ(HruKeyPart(12), "0012'");
  EXPECT_EQ(HruKeyPart(12345), "12345'");
}

TEST(BuildUnitsFromDefinitions, UnitsNumberedInScanOrderWithMasterCells) {
  UnitFixture f({{1, 1, 1}, {1, 1, kNodataResponseUnits}});
  GridMatrix a = MakeGrid(f.d.diag, {{10, 12, 25}, {19, 31, 7}});
  GridMatrix b = MakeGrid(f.d.diag, {{1, 1, 1}, {kNodataResponseUnits, 2, 1}});
  const std::vector<HruDefinition> defs{{"a", 10, "lin", a.get()}, {"b", 1, "lin", b.get()}};
  ASSERT_EQ(BuildUnitsFromDefinitions(f.grids, defs, f.table).row, 0);
  // Keys: (1,1) "0001'0001'", (1,2) same, (1,3) "0002'0001'", (2,1) "0001'" (b nodata ends
  // it), (2,2) "0003'0002'"; (2,3) lies outside the zone.
  const std::vector<std::vector<double>> expected_units{{1, 1, 2}, {3, 4, kNodataResponseUnits}};
  const std::vector<std::vector<double>> expected_masters{{1, kNodataResponseUnits, 2},
                                                          {3, 4, kNodataResponseUnits}};
  for (int r = 1; r <= 2; ++r)
    for (int c = 1; c <= 3; ++c) {
      EXPECT_EQ(f.units[r][c], expected_units[r - 1][c - 1]) << r << "," << c;
      EXPECT_EQ(f.masters[r][c], expected_masters[r - 1][c - 1]) << r << "," << c;
    }
  ASSERT_EQ(f.table.size(), 5u);
  EXPECT_EQ(f.table[0].id, 0u);
  EXPECT_EQ(f.table[3].key, "0001'");
  EXPECT_EQ(f.table[4].key, "0003'0002'");
  EXPECT_EQ(f.table[4].row, 2);
  EXPECT_EQ(f.table[4].column, 2);
}

TEST(BuildUnitsFromDefinitions, FirstGridNodataGivesNoUnitAndClassLimitStops) {
  UnitFixture f({{1, 1}});
  GridMatrix a = MakeGrid(f.d.diag, {{kNodataResponseUnits, 5}});
  ASSERT_EQ(BuildUnitsFromDefinitions(f.grids, {{"a", 1, "lin", a.get()}}, f.table).row, 0);
  EXPECT_EQ(f.units[1][1], kNodataResponseUnits);
  EXPECT_EQ(f.units[1][2], 1);

  UnitFixture g({{1, 1}});
  GridMatrix big = MakeGrid(g.d.diag, {{5, 100000}});
  const HruClassFailure failure =
      BuildUnitsFromDefinitions(g.grids, {{"big", 10, "lin", big.get()}}, g.table);
  EXPECT_EQ(failure.row, 1);
  EXPECT_EQ(failure.column, 2);
  EXPECT_EQ(failure.hru_class, 10000);
  EXPECT_EQ(failure.identifier, "big");
  // The square root spacing keeps the same grid within the limit.
  UnitFixture h({{1, 1}});
  EXPECT_EQ(BuildUnitsFromDefinitions(h.grids, {{"big", 10, "sqrt", big.get()}}, h.table).row, 0);
}

TEST(BuildUnitsFromGrid, GivenValuesBecomeIdsAndNodataFormsAUnit) {
  UnitFixture f({{1, 1, 1, kNodataResponseUnits}, {1, 1, 1, 1}});
  const double given[2][4] = {{7, kNodataResponseUnits, 7, 8}, {3.4, 2.6, kNodataResponseUnits, 5}};
  for (int r = 1; r <= 2; ++r)
    for (int c = 1; c <= 4; ++c) f.units[r][c] = given[r - 1][c - 1];
  BuildUnitsFromGrid(f.grids, f.table);
  // "7" 1, "-9999" 2, "3" 3 (2.6 prints as 3 too), "5" 4; (1,4) lies outside the column range.
  const double expected[2][4] = {{1, 2, 1, 3}, {3, 3, 2, 4}};
  for (int r = 1; r <= 2; ++r)
    for (int c = 1; c <= 3; ++c) EXPECT_EQ(f.units[r][c], expected[r - 1][c - 1]) << r << c;
  EXPECT_EQ(f.units[1][4], 8);  // kept: outside the column range
  EXPECT_EQ(f.table[2].key, "-9999");
  EXPECT_EQ(f.masters[2][1], 3);
  EXPECT_EQ(f.masters[2][2], kNodataResponseUnits);
}

// Without [SpinUp], or with its switch at 0, spin-up is off and only the placeholder exists;
// a bad definition count or class width is a control-file error.
class SpinUpSection : public test::SettingsTest {};

TEST_F(SpinUpSection, OffOrRefused) {
  struct Case {
    const char* text;
    int code;
  } cases[] = {
      {"[other]\n1\n", 0},
      {"[SpinUp]\n0 off\n", 0},
      {"[SpinUp]\n1\n0\n1\n-2\n", 17},
      {"[SpinUp]\n1\n0\n1\n1\ngrid 0 linear\n", 17},
      {"[SpinUp]\n1\n0\n1\n1\ngrid 5\n", 17},
      {"[SpinUp]\n1\n", 17},
  };
  for (const Case& c : cases) {
    test::WriteFile(dir_ / "spin.ctl", c.text);
    settings_.control_file_name = dir_ / "spin.ctl";
    int32_t on = -1, pre = -1, repeat = -1;
    std::vector<HruRecord> units;
    EXPECT_EQ(test::ThrownCode(
                  [&] { settings_.CreateHydrologicResponseUnits(on, pre, repeat, units); }, 0),
              c.code)
        << c.text;
    if (c.code != 0) continue;
    EXPECT_EQ(on + pre + repeat, 0);
    ASSERT_EQ(units.size(), 1u);
    EXPECT_EQ(units[0].id, 0u);
  }
}

}  // namespace
}  // namespace velorn
