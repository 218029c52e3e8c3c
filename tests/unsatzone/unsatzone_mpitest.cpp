// The unsaturated zone built on 1, 2 and 3 processes with the cells dealt out one by one: every
// process fills exactly the columns it owns, as one process would; the glacier shares and the
// start-up log lines are the same for every process count; only the owner of the control cell
// creates the single-point files.
#include <gtest/gtest.h>
#include <mpi.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "core/string_helpers.h"
#include "tests/support/soil_column_fixture.h"

namespace velorn {
namespace {

class UnsatProcesses : public test::SoilColumnTest {
 protected:
  UnsatProcesses() {
    AddOwners();
    Add("ice_firn", ice_);
  }
  Rows ice_ = {{0, 0.5, 0, 1.2}, {0, 0, 0.25, 0}};
};

TEST_F(UnsatProcesses, SameStateSharesAndLogLinesOnEveryProcessCount) {
  test::UnsatSection section;
  section.control_point = "2 3";
  ASSERT_EQ(Make(section.Text()), 0) << screen_.str();
  const int size = test::Size(), rank = test::Rank();

  double*** theta = model_->Stack(unsatzonmodellklasse::kTheta);
  double sums[6] = {};  // water and weight: all, unglacierised, glacierised
  int own_cells = 0;
  for (int r = 1; r <= 2; ++r) {
    for (int c = 1; c <= 4; ++c) {
      const SoilRecord& soil = SoilOf(r, c);
      std::vector<double> geodetic(5), expected(5);
      GeodeticHeads(soil, 4, elevation_[r - 1][c - 1], geodetic.data());
      HydrostaticTheta(soil, 4, geodetic.data(), 2, expected.data());
      if (Owner(r, c, size) == rank) {
        ++own_cells;
        for (int k = 0; k <= 4; ++k) EXPECT_EQ(theta[r][c][k], expected[k]) << r << c << k;
      } else {
        EXPECT_EQ(theta[r][c][1], 0.0) << r << "," << c;  // left to its owner
      }
      const double water = ColumnSoilWater(soil, 4, expected.data());
      const double share = std::clamp(ice_[r - 1][c - 1], 0.0, 1.0);
      const double terms[6] = {water, 1, water * (1 - share), 1 - share, water * share, share};
      for (int i = 0; i < 6; ++i) sums[i] += terms[i];
    }
  }
  int all_cells = 0;
  MPI_Allreduce(&own_cells, &all_cells, 1, MPI_INT, MPI_SUM, MPI_COMM_WORLD);
  EXPECT_EQ(all_cells, 8);

  // Subbasin z is cell z: its flag and both share sums, on every process.
  ASSERT_EQ(model_->glacier_shares.size(), 9u);
  for (int z = 1; z <= 8; ++z) {
    const double ice = ice_[(z - 1) / 4][(z - 1) % 4];
    const GlacierShareRecord& share = model_->glacier_shares[z];
    const double glacier = std::clamp(ice, 0.0, 1.0);  // a value above 1 is a whole cell
    EXPECT_EQ(share.hasGlacier, ice > 0) << z;
    EXPECT_DOUBLE_EQ(share.glacierized, glacier) << z;
    EXPECT_DOUBLE_EQ(share.nonGlacierized, 1.0 - glacier) << z;
  }

  const bool owner = Owner(2, 3, size) == rank;
  EXPECT_EQ(std::filesystem::exists(dir_ / "hhyd.txt"), owner);
  EXPECT_EQ(std::filesystem::exists(dir_ / "other.txt"), owner);
  const std::string log = std::filesystem::exists(dir_ / test::Numbered("modell_", rank, ".log"))
                              ? test::ReadFile(dir_ / test::Numbered("modell_", rank, ".log"))
                              : "";
  EXPECT_EQ(log.find("(for control point r=2 c=3)") != std::string::npos, owner) << log;
  if (rank != 0) return;
  const std::string means = FormatText(
      "mean soil water content for all cells at model-start: %lf m^3/m^2\n"
      "mean soil water content for unglacierized or only partly unglacierized cells at "
      "model-start: %lf m^3/m^2\n"
      "mean soil water content for partly or completely glacierized cells at model-start: %lf "
      "m^3/m^2\n",
      sums[0] / sums[1], sums[2] / sums[3], sums[4] / sums[5]);
  EXPECT_NE(log.find(means), std::string::npos) << log << "\nexpected:\n" << means;
}

}  // namespace
}  // namespace velorn
