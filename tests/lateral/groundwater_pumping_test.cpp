// Irrigation water pumped from the groundwater: the soil zone's grid "irrigation_from_groundwater"
// (mm per sub-step) leaves layer 1 of the groundwater model, at most what the layer holds (the
// soil column gives the rest from the water above the table). Layer 1
// follows the soil column's table, so its release ("baseflow", which the column gives) carries
// the pumped water, and the water-balance account books it as pumped (the grid found behind the
// soil zone's stacks). One layer, 3 x 3 cells of 10
// m, the water table 1 m below the surface (head 99 m, layer 1 from 97.5 to 100 m), pumping in the
// centre cell.
#include <gtest/gtest.h>

#include "tests/lateral/groundwater_fixture.h"

namespace velorn {
namespace {

class Pumping : public test::GroundwaterTest {
 protected:
  Pumping() : GroundwaterTest(3, 3, 10.0) {}
};

TEST_F(Pumping, LayerOneLosesThePumpedWaterAndItsBalanceCloses) {
  struct Case {
    double k;       // m/s
    double pumped;  // mm in the sub-step
    double centre;  // expected head of the centre cell after the sub-step (k = 0), m
  };
  const double s = 0.1;
  const double area = 100;
  for (const Case& t : {Case{0, 10, 99 - 0.01 / s}, Case{0, 500, 97.5}, Case{1e-4, 30, 0}}) {
    Reset();
    AddInputs(1, -1.0, t.k, s);
    // The soil zone registers the grid behind its stacks (an entry without grid data).
    registry_.Register(diag_, registry_.FirstFreeIndex(), "theta.asc", nullptr, nullptr, 0,
                       "theta", 0, 1, 3, 3, 3);
    Add("irrigation_from_groundwater", 0)[2][2] = t.pumped;
    ASSERT_EQ(Make(Section(1, 1)), 0) << screen_.str();
    Run(1);
    double drop = 0, release = 0;
    for (int r = 1; r <= 3; ++r)
      for (int c = 1; c <= 3; ++c) {
        drop += (99 - Head(1, r, c)) * s * area;
        release += Grid("baseflow")[r][c] * 3600 * area;
        EXPECT_NEAR(Grid("gw_balance1")[r][c], 0, 1e-6) << t.k << " " << r << "," << c;
      }
    // Stored water falls by the pumped volume (all of it, or all the layer held), the release
    // is the whole pumped volume (the column gives what the layer lacks: the irrigation got it
    // all; the lateral flows that refill the centre release none), and the account books it as
    // pumped from the centre (it booked only what the layer held: 150 of 500 mm).
    const double held = t.centre == 97.5 ? 1.5 * s * area : t.pumped / 1000 * area;
    const double pumped = t.pumped / 1000 * area;
    EXPECT_NEAR(drop, held, 1e-6) << t.k;
    EXPECT_NEAR(release, pumped, 1e-6) << t.k;
    EXPECT_NEAR(Grid("groundwater_pumping")[2][2], -pumped / area * 1000, 1e-9) << t.k;
    if (t.k == 0) {
      EXPECT_NEAR(Head(1, 2, 2), t.centre, 1e-12);
      EXPECT_DOUBLE_EQ(Head(1, 1, 1), 99);
    } else {
      EXPECT_LT(Head(1, 1, 1), 99);  // the neighbours feed the centre
    }
  }
}

}  // namespace
}  // namespace velorn
