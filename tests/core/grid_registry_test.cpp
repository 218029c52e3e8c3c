// Grid registry: write-code companions, index limits, searches that stop at gaps, release and
// re-registration.
#include "core/grid_registry.h"

#include <gtest/gtest.h>

#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

using test::ThrownCode;

// A registry with a 10 x 8 grid and helpers to register grids and stacks by name.
struct RegistryFixture : ::testing::Test {
  test::CapturedDiag d;
  GridRegistry registry;
  GridMatrix data{d.diag, 1, 10, 8, 0};
  StackMatrix stack{d.diag, 1, 10, 8, 3, 0};
  void AddGrid(int index, const std::string& name, int write_code = 0) {
    registry.Register(d.diag, index, name + ".asc", data.get(), nullptr, 0, name, write_code, 1, 10,
                      8, 10);
  }
  void AddStack(int index, const std::string& name) {
    registry.Register(d.diag, index, name + ".stk", nullptr, stack.get(), 3, name, 0, 1, 10, 8, 10);
  }
};

TEST_F(RegistryFixture, WriteCodeDigitsAllocateTheirCompanions) {
  AddGrid(1, "prec", 1234);
  const GridEntry& e = registry[1];
  EXPECT_EQ(e.units_digit, 4);
  EXPECT_EQ(e.tens_digit, 3);
  EXPECT_EQ(e.minimum_flag, 0);
  EXPECT_EQ(e.maximum_flag, 1);
  EXPECT_EQ(e.thousands_digit, 1);
  EXPECT_TRUE(e.period_grid);
  EXPECT_FALSE(e.minimum_grid);
  EXPECT_TRUE(e.maximum_grid);
  EXPECT_TRUE(e.vegetation_grid);
  EXPECT_EQ(e.maximum_file_name, "prec.asc");
  // Companions cover the registered rows and are zero.
  EXPECT_EQ(e.period_grid.first_row(), 1);
  EXPECT_EQ(e.period_grid.last_row(), 10);
  EXPECT_EQ(e.period_grid[10][8], 0.0);
  EXPECT_EQ(e.call_counter, 0.0);

  AddGrid(2, "temp", 1334);
  EXPECT_EQ(registry[2].minimum_flag, 1);
  EXPECT_EQ(registry[2].maximum_flag, 1);
  EXPECT_TRUE(registry[2].minimum_grid);
  EXPECT_EQ(registry[2].minimum_file_name, "temp.asc");

  AddGrid(3, "plain", 9);
  EXPECT_FALSE(registry[3].period_grid);
  EXPECT_FALSE(registry[3].maximum_grid);
}

TEST_F(RegistryFixture, IndexLimits) {
  AddGrid(999, "last");
  EXPECT_EQ(registry[999].identifier, "last");
  EXPECT_EQ(ThrownCode([&] { AddGrid(1000, "full"); }), 12);
  EXPECT_TRUE(d.HasFatal("no free grid in memory,(max. 1000)!"));
  EXPECT_EQ(ThrownCode([&] { AddGrid(0, "zero"); }), 12);
  EXPECT_EQ(ThrownCode([&] { AddGrid(-3, "negative"); }), 12);
  EXPECT_EQ(ThrownCode([&] { AddGrid(1001, "beyond"); }), 12);
  // Texts over the limits are refused, not cut.
  EXPECT_EQ(ThrownCode([&] { AddGrid(5, std::string(101, 'x')); }), 1);
  EXPECT_EQ(ThrownCode([&] {
              registry.Register(d.diag, 5, std::string(2401, 'f'), data.get(), nullptr, 0, "ok", 0,
                                1, 10, 8, 10);
            }),
            1);
  EXPECT_TRUE(registry[5].IsFree());
  AddGrid(6, std::string(100, 'x'));  // the longest identifier is accepted
}

TEST_F(RegistryFixture, SearchesStopAtTheFirstGap) {
  EXPECT_EQ(registry.Find("anything", 0), 0);  // empty registry: no identifier to compare
  EXPECT_EQ(registry.FindIdentifier("anything"), 0);
  EXPECT_EQ(registry.FirstFreeIndex(), 1);
  AddGrid(1, "zones");
  AddGrid(2, "elevation");
  AddGrid(3, "landuse");
  AddGrid(5, "beyond_gap");
  EXPECT_EQ(registry.Find("zones", 0), 1);
  EXPECT_EQ(registry.Find("landuse", 0), 3);
  EXPECT_EQ(registry.Find("beyond_gap", 0), 0);
  EXPECT_EQ(registry.Find("beyond_gap", 1), 0);
  EXPECT_EQ(registry.FindIdentifier("beyond_gap"), 0);
  EXPECT_EQ(registry.Find("Landuse", 0), 0);  // case-sensitive
  EXPECT_EQ(registry.FirstFreeIndex(), 4);
}

TEST_F(RegistryFixture, FlagZeroStopsAtStackEntries) {
  AddGrid(1, "zones");
  AddStack(2, "soil_layers");
  AddGrid(3, "temperature");
  EXPECT_EQ(registry.Find("temperature", 0), 0);
  EXPECT_EQ(registry.Find("temperature", 1), 3);
  EXPECT_EQ(registry.Find("soil_layers", 1), 2);
  EXPECT_EQ(registry.FindIdentifier("temperature"), 3);
  EXPECT_EQ(registry[2].level_count, 3);
}

TEST_F(RegistryFixture, UnregisterReleasesAndIsSafeTwice) {
  AddGrid(1, "zones");
  AddGrid(2, "runoff", 1334);
  AddGrid(3, "later");
  const int64_t live = LiveMatrixCount();
  registry.Unregister(2);
  EXPECT_EQ(LiveMatrixCount(), live - 4);  // period, minimum, maximum, vegetation
  const GridEntry& e = registry[2];
  EXPECT_TRUE(e.IsFree());
  EXPECT_EQ(e.grid, nullptr);
  EXPECT_FALSE(e.period_grid);
  EXPECT_FALSE(e.minimum_grid);
  EXPECT_FALSE(e.first_file_name);
  EXPECT_EQ(e.units_digit, 0);
  EXPECT_EQ(e.tens_digit, 3);  // kept until the next registration
  EXPECT_EQ(registry.Find("later", 0), 0);
  EXPECT_EQ(registry.FindIdentifier("later"), 0);
  registry.Unregister(2);  // nothing left to release
  EXPECT_EQ(LiveMatrixCount(), live - 4);
  registry.Unregister(-1);
  registry.Unregister(5000);
  EXPECT_EQ(data[1][1], 0.0);  // the data stay with their owner
}

TEST_F(RegistryFixture, ReRegistrationReplacesCompanionsAndKeepsTheOutputName) {
  AddGrid(1, "zones");
  registry.Register(d.diag, 2, "first.asc", data.get(), nullptr, 0, "q", 1334, 1, 10, 8, 10);
  registry[2].period_grid[1][1] = 5.0;
  const int64_t live = LiveMatrixCount();
  // Same index again with another name and code: the four old companions are released and one
  // new one is made; the output name stays that of the first registration.
  registry.Register(d.diag, 2, "second.asc", data.get(), nullptr, 0, "q", 10, 1, 10, 8, 10);
  EXPECT_EQ(LiveMatrixCount(), live - 3);
  EXPECT_EQ(registry[2].file_name, "second.asc");
  EXPECT_EQ(registry[2].first_file_name, "first.asc");
  EXPECT_EQ(registry[2].period_grid[1][1], 0.0);
  EXPECT_FALSE(registry[2].minimum_grid);
  EXPECT_FALSE(registry[2].vegetation_grid);
}

TEST(GridRegistry, PresetsOfAnEmptyEntry) {
  GridRegistry registry;
  const GridEntry& e = registry[1000];
  EXPECT_EQ(e.level_count, 1);
  EXPECT_EQ(e.call_counter, 1.0);
  EXPECT_EQ(e.period_count, -1);
  EXPECT_EQ(e.period_counter, -1);
  EXPECT_TRUE(e.persistent);
  EXPECT_EQ(e.read_code, 1);
  EXPECT_TRUE(e.IsFree());
  EXPECT_THROW(registry[1001], std::out_of_range);
}

}  // namespace
}  // namespace velorn
