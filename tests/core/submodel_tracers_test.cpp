// Tests of the tracer bookkeeping of the sub-model base: the mass and concentration formulas
// (mass conservation on hand-computed cases), the decay factor and file names, and the set-up
// and release of the tracer grids, balance tables and statistics in the grid registry.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "core/matrix.h"
#include "core/submodel.h"
#include "core/tracer_bookkeeping.h"
#include "setup/tracer_definitions.h"
#include "tests/support/submodel_fixture.h"
#include "tests/support/zone_table.h"

namespace velorn {
namespace {

TEST(TracerFormulas, MixingAndEnrichmentConserveSoluteMass) {
  struct Mix {
    double c1, c2, q1, q2, expected;
  };
  // 2 l at 3 mg/l with 6 l at 1 mg/l: 12 mg in 8 l; only one volume: its concentration.
  for (const Mix& m :
       std::vector<Mix>{{3, 1, 2, 6, 1.5}, {5, 0, 4, 0, 5}, {0, 7, 0, 0.5, 7}, {2, 9, 0, 0, 0}}) {
    const double mixed = MixConcentration(m.c1, m.c2, m.q1, m.q2);
    EXPECT_DOUBLE_EQ(mixed, m.expected);
    EXPECT_DOUBLE_EQ(TracerMass(mixed, m.q1 + m.q2), m.q1 * m.c1 + m.q2 * m.c2);
  }
  struct Enrich {
    double c, volume, loss, expected;
  };
  // 10 l at 2 mg/l losing 6 l: 20 mg in 4 l.
  for (const Enrich& e : std::vector<Enrich>{{2, 10, 6, 5}, {4, 8, 0, 4}, {3, 5, 5, 0}}) {
    const double enriched = EnrichConcentration(e.c, e.volume, e.loss);
    EXPECT_DOUBLE_EQ(enriched, e.expected);
    if (e.volume != e.loss) {
      EXPECT_DOUBLE_EQ(TracerMass(enriched, e.volume - e.loss), TracerMass(e.c, e.volume));
    }
  }
  // Half-life of 1 day: half left after a day, 1/sqrt(2) after half a day.
  EXPECT_NEAR(DecayFactor(1440, 1), 0.5, 1e-9);
  EXPECT_NEAR(DecayFactor(720, 1), std::sqrt(0.5), 1e-9);
  EXPECT_NEAR(DecayFactor(60, 10), std::pow(0.5, 1.0 / 240), 1e-9);
  EXPECT_EQ(TracerFileName("/out/", "cl_", "unsatzon_model", "stat"), "/out/cl_unsat.sta");
}

class TracerTestModel : public teilmodellklasse {
 public:
  TracerTestModel(const SubModelSetup& setup, const std::string& section)
      : teilmodellklasse(setup, section) {}
};

class TracerSetupTest : public test::SubModelTest {
 protected:
  TracerSetupTest() {
    // Zone grid (entry 1) with two nodata cells, a grid of another model at entry 2.
    zone_grid_ = test::MakeGrid(diag_, {{1, 1, 1, -9999}, {1, 1, 1, 1}, {-9999, 1, 1, 1}});
    registry_.Register(diag_, 1, "zone.asc", zone_grid_.get(), nullptr, 0, "zone", 0, 1, 3, 4, 3);
    registry_.Register(diag_, 2, "other.asc", zone_grid_.get(), nullptr, 0, "other", 0, 1, 3, 4, 3);
    setup_.output_directory = dir_.path().string() + "/";
    setup_.input_directory = dir_.path().string() + "/";
    std::filesystem::create_directory(dir_ / "trc");
    WriteControlFile("[test_model]\n1 flow\n1440 min\n[hour_model]\n1 flow\n60 min\n");
    definitions_[1].name = "cl_";
    definitions_[1].radioactive = 1;
    definitions_[1].half_time = 1;
    definitions_[1].statcode = 2001;
    definitions_[1].gridcode = 1;
    definitions_[1].path = "trc/";
    definitions_[1].statext = "stat";
    definitions_[1].gridext = "grd";
    definitions_[2].name = "no3";
    definitions_[2].half_time = -9999;
    definitions_[2].statext = "sta";
    definitions_[2].gridext = "asc";
  }

  int32_t Setup(teilmodellklasse& model, int32_t count) {
    int32_t error = -1;
    model.SetupTracers(error, count, definitions_.data(), statistics_.data(),
                       kZoneStatisticsCapacity);
    return error;
  }

  GridMatrix zone_grid_;
  std::vector<TracerDefinition> definitions_ = std::vector<TracerDefinition>(3);
  std::vector<ZoneStatisticsRecord> statistics_ =
      std::vector<ZoneStatisticsRecord>(kZoneStatisticsCapacity + 1);
};

TEST_F(TracerSetupTest, RegistersGridsWritesStatisticsHeaderAndKeepsItsOwnDecay) {
  // Entry 4 is taken, so the flux grid of tracer 1 cannot go to "concentration + 1".
  registry_.Register(diag_, 4, "blocker.asc", zone_grid_.get(), nullptr, 0, "blocker", 0, 1, 3, 4,
                     3);
  TracerTestModel daily(setup_, "test_model");
  TracerTestModel hourly(setup_, "hour_model");
  ASSERT_EQ(Setup(daily, 2), 0);
  ASSERT_EQ(Setup(hourly, 1), 0);

  const TracerBlock& cl = daily.tracer_blocks[1];
  EXPECT_EQ(cl.concentration_index, 3);
  EXPECT_EQ(cl.flux_index, 5);
  EXPECT_EQ(daily.tracer_blocks[2].concentration_index, 6);
  EXPECT_TRUE(registry_[4].HasIdentifier("blocker"));
  EXPECT_TRUE(registry_[3].HasIdentifier("concstor_tracer_1_test_model"));
  EXPECT_EQ(registry_[3].write_code, 1);
  EXPECT_TRUE(registry_[5].HasIdentifier("concflux_tracer_1_test_model"));
  EXPECT_EQ(registry_[5].write_code, 0);

  // Nodata exactly where the zone grid has it.
  double** c = registry_[3].grid;
  for (int r = 1; r <= 3; ++r)
    for (int col = 1; col <= 4; ++col)
      EXPECT_EQ(c[r][col], zone_grid_[r][col] == -9999 ? -9999.0 : 0.0) << r << "," << col;

  // Each model decays with its own step; the stable tracer does not decay.
  EXPECT_NEAR(cl.decay_factor, 0.5, 1e-9);
  EXPECT_NEAR(hourly.tracer_blocks[1].decay_factor, std::pow(0.5, 1.0 / 24), 1e-9);
  EXPECT_EQ(daily.tracer_blocks[2].decay_factor, 1.0);

  // Balance table and the header of the concentration statistics (tracer 2's is inactive).
  EXPECT_EQ(cl.balance_table[1][3], 1.0);
  const auto lines = test::SplitLines(test::ReadFile(dir_ / "trc/cl_test_.sta"));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "YY\tMM\tDD\tHH\t\"1\"\ttot_average");
  EXPECT_EQ(lines[1], "test_model_submodel:tracer concentration for tracer 1 (cl_) ");
  EXPECT_STREQ(statistics_[0].internal_name, lines[1].c_str());
  EXPECT_STREQ(statistics_[1].internal_name,
               "hour_model_submodel:tracer concentration for tracer 1 (cl_) ");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "no3test_.sta"));

  hourly.ReleaseTracers();
  daily.ReleaseTracers();
  for (int i : {3, 5, 6, 7, 8, 9}) EXPECT_TRUE(registry_[i].IsFree()) << i;
  EXPECT_TRUE(registry_[4].HasIdentifier("blocker"));
}

TEST_F(TracerSetupTest, ReleaseFromTheLastEntryLeavesNoHole) {
  TracerTestModel model(setup_, "test_model");
  ASSERT_EQ(Setup(model, 2), 0);
  EXPECT_EQ(registry_.FirstFreeIndex(), 7);
  model.ReleaseTracers();
  EXPECT_EQ(registry_.FirstFreeIndex(), 3);
  EXPECT_EQ(model.FindGrid("other", 0), 2);
  model.ReleaseTracers();  // a second release does nothing
  EXPECT_EQ(registry_.FirstFreeIndex(), 3);
}

// The water input's tracer comes from the first source registered, wherever its entry stands:
// behind an entry that holds a stack and no grid, as the flux grids of the models set up first.
TEST_F(TracerSetupTest, InputConcentrationIsFoundBehindAStackEntry) {
  StackMatrix stack(diag_, 1, 3, 4, 2, 3);
  registry_.Register(diag_, 3, "layers.stk", nullptr, stack.get(), 2, "layers", 0, 1, 3, 4, 3);
  registry_.Register(diag_, 4, "flux.asc", zone_grid_.get(), nullptr, 0,
                     "concflux_tracer_1_snow_model", 0, 1, 3, 4, 3);
  TracerTestModel model(setup_, "test_model");
  EXPECT_EQ(model.FindTracerInput(1, {"interception_model", "snow_model", "input"}), 4);
  EXPECT_EQ(model.FindTracerInput(2, {"snow_model"}), 0);
}

TEST_F(TracerSetupTest, FailuresArriveInTheErrorParameter) {
  struct Case {
    const char* name;
    int32_t count;
    int fill_to;              // registry entries taken up to this index
    std::vector<int> listed;  // output list
    int32_t statcode;
    int32_t error;
  };
  const std::vector<Case> cases = {
      {"no tracers", 0, 2, {}, 2001, 0},
      {"registry full", 1, 999, {}, 2001, 12},
      {"concentration fits, flux does not", 1, 998, {}, 2001, 12},
      {"listed code without zone", 1, 2, {5}, 5001, 17},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (int i = 3; i <= 999; ++i) registry_.Unregister(i);
    for (int i = 3; i <= c.fill_to; ++i)
      registry_.Register(diag_, i, "f", nullptr, nullptr, 0, test::Numbered("g", i), 0, 1, 3, 4, 3);
    std::vector<int> list = test::OutputList(c.listed);
    setup_.output_list_count = static_cast<int32_t>(c.listed.size());
    setup_.output_list_codes = list.data();
    definitions_[1].statcode = c.statcode;
    TracerTestModel model(setup_, "test_model");
    EXPECT_EQ(Setup(model, c.count), c.error);
    if (c.count == 0) {
      EXPECT_EQ(model.tracer_blocks, nullptr);
    }
  }
  EXPECT_TRUE(ScreenHas("no free grid left. Please contact the author"));
}

}  // namespace
}  // namespace velorn
