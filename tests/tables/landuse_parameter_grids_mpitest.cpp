// Land-use parameter grids on several processes: every process's rows of a run divided among
// the processes equal the same rows of a run of the whole grid on one process, for the parameter,
// vegetation and phenology grids of fixed, shifted and dynamic entries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "core/model_date.h"
#include "tests/support/landuse_grids_test.h"

namespace velorn {
namespace {

const std::string kCommon = "RootDist = 1; TReduWet = 0.9; HReduDry = 4; ";
const std::string kTable =
    "[landuse_table]\n3\n"
    "10 meadow method VariableDayCount { " +
    kCommon +
    "StartVegetationPeriodForBalance = 2; StopVegetationPeriodForBalance = 3;\n"
    "JulDays = 1 60 240 366; Albedo = 0.2 0.2 0.3 0.2; rsc = 80 80 60 80; LAI = 1 1 5 1;\n"
    "Z0 = 0.02 0.02 0.1 0.02; VCF = 0.5 0.5 0.9 0.5; RootDepth = 0.2 0.2 0.5 0.2;\n"
    "AltDep = 0 0.01 -0.01 0; }\n"
    "20 beech method DynamicPhenology_1 { " +
    kCommon +
    "F* = 60; DP1_t1_dorm = 1; DP1_T_Bf = 0; JDReset_TStart = 300; maxStartJDforDP1 = 150;\n"
    "JulDays = 1 -1 30 366; Albedo = 1 1 1 1; rsc = 1 1 1 1; LAI = 0.5 0.5 6 0.5; Z0 = 1 1 1 1;\n"
    "VCF = 1 1 1 1; RootDepth = 1 1 1 1; AltDep = 0 0 0.01 0; }\n"
    "30 spruce method DynamicPhenology_4 { " +
    kCommon +
    "F* = 30; DP1_t1_dorm = 1; DP1_T_Bf = 0; maxStartJDforDP1 = 150; JulDays = 1 20 -1 10 366;\n"
    "DP4_t0_dorm = 250; DP4_t1_dorm = 5; DP4_T0 = 6; DP4_T1 = 8; DP4_Par_a = 30; DP4_Par_b = 2;\n"
    "DP4_T_xylstop = 9; DP4_t_xs1 = 20; DP4_SPSLF = 2; JDReset_TStart = 300;\n"
    "Albedo = 1 1 1 1 1; rsc = 1 2 3 4 5; LAI = 1 2 3 4 5; Z0 = 1 1 1 1 1; VCF = 1 1 1 1 1;\n"
    "RootDepth = 1 1 1 1 1; AltDep = 0 0.01 0 0 0; }\n";

constexpr int kRows = 7;
constexpr int kCols = 3;

// One run of 60 days on rows first..last; with `divided` the cells of other processes' rows
// are marked as theirs in the owner grid.
class Scenario : public test::LanduseGridsTest {
 public:
  void TestBody() override {}

  std::map<std::string, std::vector<double>> Run(long first, long last, bool divided) {
    SetUp();
    std::map<std::string, std::vector<double>> values;
    if (ReadTable(kTable) != 0) return values;
    test::LanduseGridsTest::Rows codes(kRows, std::vector<double>(kCols));
    for (int r = 0; r < kRows; ++r)
      for (int c = 0; c < kCols; ++c) codes[r][c] = (r + c) % 4 == 3 ? -9999.0 : (r + c) % 4 + 1;
    Build(codes, 400, {2003, 1, 1, 24}, {}, first, last);
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) grid("dem")[r][c] = 300.0 + 150.0 * r + 40.0 * c;
    if (divided) {
      owner_ = test::FilledGrid(diag_, kRows, kCols, -1.0);
      for (int r = first; r <= last; ++r)
        for (int c = 0; c <= kCols; ++c) owner_[r][c] = settings_.rank;
      settings_.owner_grid = owner_.get();
    }
    settings_.generateMultiLayerParameterGrids(1);
    settings_.RegisterLanduseStacks();
    ModelDate date{2003, 1, 1, 24};
    for (int d = 1; d <= 60; ++d) {
      for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c)
          grid("temperature")[r][c] = 4.0 + r + 0.5 * c + 6.0 * std::sin(d / 9.0);
      Step(date, 1440);
      date = AddDays(date, 1);
    }
    for (const char* name :
         {"albedo", "root_depth1", "leaf_area_index1", "SurfaceCanopyResistance1",
          "VegetationStart1", "VegetationDuration1", "Pheno_start1", "SumOfForcingUnits1",
          "FStar_ForcingThreshold1", "TemperatureMOVAVG7", "StartDayOfLeaveFall"}) {
      for (long r = first; r <= last; ++r)
        for (int c = 1; c <= kCols; ++c) values[name].push_back(grid(name)[r][c]);
    }
    for (long r = first; r <= last; ++r)
      for (int c = 1; c <= kCols; ++c)
        for (int i = 0; i <= 5; ++i)
          values["MultipleStartTimes1"].push_back(stack("MultipleStartTimes1")[r][c][i]);
    TearDown();
    return values;
  }

 private:
  GridMatrix owner_;
};

TEST(LanduseParameterGridsMpi, ProcessRowsEqualTheWholeRun) {
  const int size = test::Size();
  const int rank = test::Rank();
  const long per = (kRows + size - 1) / size;
  const long first = rank * per + 1;
  const long last = std::min<long>(kRows, first + per - 1);
  ASSERT_LE(first, last);
  Scenario everything;
  const auto all = everything.Run(1, kRows, false);
  ASSERT_FALSE(all.empty());
  Scenario divided;
  const auto part = divided.Run(first, last, true);
  ASSERT_EQ(part.size(), all.size());
  for (const auto& [name, whole] : all) {
    const std::size_t per_row = whole.size() / kRows;
    const std::vector<double> rows(whole.begin() + static_cast<long>((first - 1) * per_row),
                                   whole.begin() + static_cast<long>(last * per_row));
    EXPECT_EQ(part.at(name), rows) << name;
  }
  // The run reaches the states it is meant to test.
  const std::vector<double>& start = all.at("Pheno_start1");
  EXPECT_TRUE(std::any_of(start.begin(), start.end(), [](double v) { return v > 0; }));
}

}  // namespace
}  // namespace velorn
