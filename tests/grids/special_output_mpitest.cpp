// Special output on 1 to 4 processes: the same file, byte for byte, whatever the decomposition
// (three header lines, rows of owned cells, -9999 for cells of no process, unknown identifiers
// and levels above a stack's count), sums over sub-steps with a missing middle value, the
// section's faults with their codes, and the list readers.
#include <gtest/gtest.h>
#include <mpi.h>

#include <memory>

#include "core/error_code.h"
#include "grids/special_output.h"
#include "setup/mpi_regions.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

using test::Rank;
using test::ThrownCode;
constexpr double kNodataSpecialOutput = -9999.0;

// A 4 x 3 grid at (3000, 1000) with 100 m cells; cell (3, 1) lies outside the domain.
class SpecialOutputTest : public test::DiagTest {
 protected:
  SpecialOutputTest() : DiagTest(test::TempDir::Shared()) {
    zone_ = test::MakeGrid(diag_, {{1, 1, 1, 1}, {1, 1, 1, 1}, {kNodataSpecialOutput, 1, 1, 1}});
    registry_.Register(diag_, 1, "zone.asc", zone_.get(), nullptr, 0, "zonegrid", 0, 1, 3, 4, 3);
    RegionGrids grids;
    grids.zone = zone_.get();
    layout_ =
        DecomposeRegions(diag_, RegionGeometry{4, 3, kNodataSpecialOutput}, grids, 1.0).layout;
    RegisterMpiGrids(diag_, registry_, layout_);
    for (int r = 1; r <= 3; ++r) ranges_[r] = ColumnRange{1, 4};
    setup_ = SubModelSetup{};
    setup_.diag = &diag_;
    setup_.control_file_name = dir_ / "run.ctl.$$$";
    setup_.registry = &registry_;
    setup_.zone_code_index = code_index_.data();
    setup_.zone_table = zones_.data();
    setup_.column_ranges = ranges_.data();
    setup_.zone_count = 1;
    setup_.highest_zone_code = 1;
    setup_.ncols = 4;
    setup_.nrows = 3;
    setup_.first_local_row = layout_.first_row;
    setup_.last_local_row = layout_.last_row;
    setup_.xll = 3000;
    setup_.yll = 1000;
    setup_.cellsize = 100;
    setup_.nodata = kNodataSpecialOutput;
    setup_.output_directory = dir_ / "";
    setup_.mpi = &layout_;
  }

  // Registers a grid over all rows whose cells are value(r, c).
  void AddGrid(const std::string& id, GridMatrix& grid) {
    grid = GridMatrix(diag_, 1, 3, 4, 3);
    registry_.Register(diag_, registry_.FirstFreeIndex(), id + ".asc", grid.get(), nullptr, 0, id,
                       0, 1, 3, 4, 3);
  }
  static void Fill(GridMatrix& grid, double value) {
    for (int r = 1; r <= 3; ++r)
      for (int c = 1; c <= 4; ++c) grid[r][c] = value;
  }

  // The section on every process; the thrown code or -1.
  int Make(const std::string& blocks, int sub_steps = 1) {
    if (Rank() == 0)
      test::WriteFile(setup_.control_file_name, "[special_output]\n1 flow\n60 interval\n" + blocks);
    MPI_Barrier(MPI_COMM_WORLD);
    int32_t error = -1;
    const int code = ThrownCode(
        [&] { model_ = std::make_unique<SpecialOutputClass>(setup_, error, sub_steps); });
    if (code == -1) {
      EXPECT_EQ(error, 0);
    }
    MPI_Barrier(MPI_COMM_WORLD);  // every process has read the file before the next is written
    return code;
  }
  // The file as process 0 wrote it, on every process.
  std::string Output(const std::string& name) {
    MPI_Barrier(MPI_COMM_WORLD);
    return test::BroadcastString(Rank() == 0 ? test::ReadFile(dir_ / name) : "");
  }

  GridMatrix zone_;
  GridRegistry registry_;
  MpiLayout layout_;
  std::vector<int32_t> code_index_{0, 1};
  std::vector<ZoneRecord> zones_ = std::vector<ZoneRecord>(2);
  std::vector<ColumnRange> ranges_ = std::vector<ColumnRange>(4);
  SubModelSetup setup_;
  std::unique_ptr<SpecialOutputClass> model_;
};

TEST_F(SpecialOutputTest, WritesTheSameFileOnAnyNumberOfProcesses) {
  GridMatrix q;
  AddGrid("q_down", q);
  StackMatrix soil(diag_, 1, 3, 4, 3, 3);
  registry_.Register(diag_, registry_.FirstFreeIndex(), "sm.stk", nullptr, soil.get(), 3,
                     "soil_moisture", 0, 1, 3, 4, 3);
  // Keys match at word boundaries: "VALID_pts.txt" holds no "ID".
  ASSERT_EQ(Make("numfiles = 1;\n{\nheader = gauges at the outlet ; filename = VALID_pts.txt;\n"
                 "entity { ID = q_down; Symbol = Q; Xcoords = 3100, 3350,3050; Ycoords = 1100 "
                 "1250\t1050; }\n"
                 "entity { ID = soil_moisture; Symbol = SM; Xcoords = 3250 3250;\n"
                 "  Ycoords = 1150, 1150; Level = 2, 5; }\n"
                 "entity { ID = nothing; Symbol = X; Xcoords = 3150; Ycoords = 1150; }\n}\n"),
            -1);
  ASSERT_EQ(model_->files().size(), 1u);
  for (int step = 1; step <= 2; ++step) {
    for (int r = 1; r <= 3; ++r)
      for (int c = 1; c <= 4; ++c) {
        q[r][c] = step * 100 + r * 10 + c;
        for (int level = 0; level <= 3; ++level)
          soil[r][c][level] = step * 1000 + r * 100 + c * 10 + level;
      }
    model_->RunStep(step, 2, 3, 2001, false, 0);
    if (step == 1) model_->FlushBuffers();  // Ctrl-C choice 3: later rows follow behind
  }
  model_->ReleaseMemory();
  EXPECT_EQ(Output("VALID_pts.txt"),
            "YY\tMM\tDD\tHH\tQ/1/2\tQ/4/1\tQ/1/3\tSM/3/2/2\tSM/3/2/5\tX/2/2\n"
            "gauges at the outlet\n"
            "YY\tMM\tDD\tHH\tQ/3100/1100\tQ/3350/1250\tQ/3050/1050\tSM/3250/1150/2\t"
            "SM/3250/1150/5\tX/3150/1150\n"
            "2001\t3\t2\t1\t121\t114\t-9999\t1232\t-9999\t-9999\n"
            "2001\t3\t2\t2\t221\t214\t-9999\t2232\t-9999\t-9999\n");
  // A second run with the same section starts the file again.
  ASSERT_EQ(Make("numfiles = 1;\n{ header = again; filename = VALID_pts.txt;\n}\n"), -1);
  model_->ReleaseMemory();
  EXPECT_EQ(Output("VALID_pts.txt"), "YY\tMM\tDD\tHH\nagain\nYY\tMM\tDD\tHH\n");
}

// Sub-step values 1, 2, 3 of a flux and an end-of-step value 7 of a state; cell (1, 4) has no
// value in the middle sub-step.
TEST_F(SpecialOutputTest, SumsFluxesOverSubSteps) {
  GridMatrix q, temperature;
  AddGrid("q_down", q);
  AddGrid("temperature", temperature);
  struct Case {
    int sub_steps;
    const char* row;
  };
  const Case cases[] = {
      {3, "2001\t1\t1\t24\t6\t-9999\t7\n"},
      {1, "2001\t1\t1\t24\t3\t3\t7\n"},  // one sub-step: the value at the end of the step
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sub_steps);
    ASSERT_EQ(Make("numfiles = 1;\n{ header = h; filename = sub.txt;\n"
                   "entity { ID = q_down; Symbol = Q; Xcoords = 3100 3400; Ycoords = 1100 1250; }\n"
                   "entity { ID = temperature; Symbol = T; Xcoords = 3100; Ycoords = 1100; }\n}\n",
                   c.sub_steps),
              -1);
    EXPECT_EQ(model_->files()[0]->entities()[0]->summed(), c.sub_steps > 1);
    for (int k = 1; k <= 3; ++k) {
      Fill(q, k);
      q[1][4] = k == 2 ? kNodataSpecialOutput : k;
      model_->RunStep(24, 1, 1, 2001, true, k);
    }
    Fill(temperature, 7);
    model_->RunStep(24, 1, 1, 2001, false, 0);
    model_->ReleaseMemory();
    const std::vector<std::string> lines = test::SplitLines(Output("sub.txt"));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[3] + "\n", c.row);
  }
}

TEST_F(SpecialOutputTest, RefusesFaultySectionsWithTheirCodes) {
  const auto block = [](const std::string& entity, const std::string& file = "e.txt") {
    return "numfiles = 1;\n{ header = h; filename = " + file + ";\nentity { ID = q; " + entity +
           " }\n}\n";
  };
  struct Case {
    const char* name;
    std::string section;
    int code;
    const char* message;  // expected on the screen of process 0
  };
  const Case cases[] = {
      {"x without y", block("Xcoords = 1000, 2000; Ycoords = 500;"),
       kSpecialOutputCoordinateCountCode,
       "count of X coordinates dos not match the number of Y coordinates for entity q"},
      {"two levels, three points",
       block("Xcoords = 3050 3150 3250; Ycoords = 1050 1050 1050; "
             "Level = 1, 2;"),
       kSpecialOutputLevelCode, "EIther each point has a level or none has."},
      {"negative level", block("Xcoords = 3050; Ycoords = 1050; Level = -1;"),
       kSpecialOutputLevelCode, "level -1, defined as point 0 for entity q, is negative"},
      {"west border", block("Xcoords = 3050 3000; Ycoords = 1050 1050;"), kSpecialOutputOutsideCode,
       "x-coordinate 3000, defined as point 1 for entity q, is located outside the actual grid."},
      {"north border", block("Xcoords = 3050; Ycoords = 1300;"), kSpecialOutputOutsideCode,
       "y-coordinate 1300, defined as point 0 for entity q, is located outside the actual grid."},
      {"no number", block("Xcoords = 3050 a; Ycoords = 1050 1050;"), kControlFileErrorCode,
       "the value \"a\" of Xcoords is no number"},
      {"no numfiles", "files = 1;\n", kControlFileErrorCode, "\"numfiles = <count>;\" expected"},
      {"block not closed", "numfiles = 1;\n{ header = h; filename = e.txt;\n",
       kControlFileErrorCode, "is missing or not closed"},
      {"second block missing", "numfiles = 2;\n{ filename = e.txt;\n}\n", kControlFileErrorCode,
       "the block of file 2 of 2"},
      {"no level list is fine", block("Xcoords = 3050; Ycoords = 1050;"), -1, ""},
      {"file cannot be created", block("Xcoords = 3050; Ycoords = 1050;", "no/such/dir/e.txt"),
       Rank() == 0 ? kSpecialOutputCreateCode : -1,
       "error opening file for special output of file\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Make(c.section), c.code);
    if (Rank() == 0) {
      EXPECT_TRUE(ScreenHas(c.message));
    }
    if (model_) model_->ReleaseMemory();
    model_.reset();
  }
}

TEST(SpecialOutputParts, ListsCapacityAndSummedIdentifiers) {
  test::CapturedDiag d;
  std::vector<double> x;
  EXPECT_EQ(ParseDoubleList(d.diag, "Xcoords = 1; ID = a; Xcoords = 1.5,2\t3 ;", "Xcoords", x), 3);
  EXPECT_EQ(x, (std::vector<double>{1.5, 2, 3}));
  EXPECT_EQ(ParseDoubleList(d.diag, "MyXcoords = 4;", "Xcoords", x), 0);
  std::vector<int32_t> levels;
  EXPECT_EQ(ParseIntList(d.diag, "Level = 1,,2", "Level", levels), 2);
  EXPECT_EQ(ThrownCode([&] { ParseIntList(d.diag, "Level = 99999999999;", "Level", levels); }),
            kControlFileErrorCode);
  EXPECT_EQ(SpecialOutputCapacity(10), 17476);  // 2097152 / (11 * 8 + 32)
  EXPECT_EQ(SpecialOutputCapacity(300000), 1);
  for (const char* id : {"q_down", "gw_flow_x_3", "total_infiltration_mm", "SurfaceRoutingQIn"})
    EXPECT_TRUE(SummedOverSubSteps(id)) << id;
  for (const char* id : {"qdown", "temperature", "gw_flow_z"})
    EXPECT_FALSE(SummedOverSubSteps(id)) << id;
}

}  // namespace
}  // namespace velorn
