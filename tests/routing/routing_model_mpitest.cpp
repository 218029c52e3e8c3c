// The routing model on 1 to 3 processes: process 0 routes, the others switch the model off and
// keep the control file's switch; every process passes the lake set-up and the steps alike; a
// lake is built from the grids of every process and holds the same water on 1 to 3 processes;
// tracer mass stays put through two lakes joined by a channel, whichever process owns a cell.
#include <gtest/gtest.h>
#include <mpi.h>

#include "core/matrix.h"
#include "grids/mpi_layout.h"
#include "setup/mpi_regions.h"
#include "tests/routing/routing_model_fixture.h"
#include "tests/support/test_mpi.h"

namespace velorn::test {
namespace {

TEST_F(RoutingModelTest, OnlyProcessZeroRoutes) {
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  Write(Header(), "TG 13 (A=60, f=1) OL 11 " + ChannelValues(1, 3000, 10) + "\n", 0, 2);
  int32_t error = -1;
  auto model = Build(error);
  ASSERT_EQ(error, 0);
  EXPECT_EQ(model->IsOn(), rank == 0);
  EXPECT_EQ(model->WasActive(), rank == 0 ? 1 : 2);
  EXPECT_EQ(model->GetRoutingTargets() == nullptr, rank != 0);
  runoff_[0] = {0, 1, 2, 3, 4, 5};
  model->SetQg(RunoffRows());
  model->SetupLakes();
  model->InitialiseRouting();
  for (int n = 0; n < 3; ++n) Step(*model, n);
  EXPECT_EQ(model->LakeSwitch(), 0);
  if (rank == 0) {
    EXPECT_GT(model->Flows()[0][3], 0.0);
  } else {
    EXPECT_EQ(model->Flows(), nullptr);
  }
  MPI_Barrier(MPI_COMM_WORLD);
}

// The grids of the lake tests: a 6 x 4 grid of subbasin 13 with 10 m cells, decomposed over the
// processes; each process fills only its own cells (by `Own`), the lake codes are whole on every
// process. Registers them with a concentration stack of one tracer and sets up the model.
struct LakeLayout {
  static constexpr int kRows = 6, kCols = 4;
  explicit LakeLayout(DiagnosticStream& diag) {
    for (GridMatrix* g : {&zone, &codes, &elevation, &max_pond, &ponding, &water, &layer})
      *g = GridMatrix(diag, 1, kRows, kCols, kRows);
    conc = StackMatrix(diag, 1, kRows, kCols, 1, kRows);
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) zone[r][c] = 13;
    RegionGrids region_grids;
    region_grids.zone = zone.get();
    layout = DecomposeRegions(diag, RegionGeometry{kCols, kRows, -9999}, region_grids, 1.0).layout;
  }
  bool Own(int r, int c) const {
    return r >= layout.first_row && r <= layout.last_row && layout.regions[r][c] == test::Rank();
  }
  void Register(DiagnosticStream& diag, GridRegistry& registry, SubModelSetup& setup,
                std::vector<ColumnRange>& ranges) {
    int index = 0;
    for (auto [grid, name] : {std::pair{zone.get(), "zonegrid_soilmodel"},
                              {elevation.get(), "[elevation_model]"},
                              {codes.get(), "lake_codes"},
                              {max_pond.get(), "max_ponding_storage"},
                              {ponding.get(), "ponding_storage"},
                              {water.get(), "precipitation"},
                              {layout.regions.get(), "MPIRegions"}})
      registry.Register(diag, ++index, "", grid, nullptr, 0, name, 0, 1, kRows, kCols, kRows);
    registry.Register(diag, ++index, "", layer.get(), conc.get(), 1,
                      "concstor_tracer_1_unsatzon_model", 0, 1, kRows, kCols, kRows);
    ranges.assign(kRows + 1, ColumnRange{1, kCols});
    setup.registry = &registry;
    setup.column_ranges = ranges.data();
    setup.ncols = kCols;
    setup.nrows = kRows;
    setup.first_local_row = layout.first_row;
    setup.last_local_row = layout.last_row;
    setup.cellsize = 10;
    setup.mpi = &layout;
  }
  GridMatrix zone, codes, elevation, max_pond, ponding, water, layer;
  StackMatrix conc;
  MpiLayout layout;
};

// Lake 1 on column 2, one cell per row at 100, 100.2, ..., 101 m with the top at 102 m, ponded
// up to 101 m; the lake starts from that water (readgrids 1): 100·(1 + 0.8 + 0.6 + 0.4 + 0.2) m³;
// the full table holds 100·(2 + 1.8 + … + 1) m³. After three steps every process's cells hold
// process 0's lake level.
TEST_F(RoutingModelTest, LakeFromTheGridsOfEveryProcess) {
  LakeLayout grids(diag_);
  for (int r = 1; r <= LakeLayout::kRows; ++r)
    for (int c = 1; c <= LakeLayout::kCols; ++c) {
      const double z = 100 + 0.2 * (r - 1);
      const bool lake = c == 2 && grids.Own(r, c);
      grids.codes[r][c] = c == 2 ? 1 : -9999;
      grids.elevation[r][c] = lake ? z : 0;
      grids.max_pond[r][c] = lake ? (102 - z) * 1000 : 0;
      grids.ponding[r][c] = lake ? std::max(0.0, 101 - z) * 1000 : 0;
      grids.water[r][c] = 0;
    }
  GridRegistry registry;
  grids.Register(diag_, registry, setup_, ranges_);
  Write(Header(), "TG 13 (A=60, f=1) OL 11 " + ChannelValues(1, 3000, 10) +
                      " SP 1 file = lake1.txt V0 = 5 C0 = 0 0 0 0 0 0 0 0 0\n");
  WriteFile(setup_.control_file_name,
            ReadFile(setup_.control_file_name) +
                "[lake_model]\n1\n0\n0\n0\n1\n[abstraction_rule_reservoir_1]\n2\n0 0\n"
                "1000 0.01\n\n");
  int32_t error = -1;
  auto model = Build(error);
  ASSERT_EQ(error, 0) << screen_.str();
  model->SetQg(RunoffRows());
  ASSERT_EQ(ThrownCode([&] {
              model->SetupLakes();
              model->InitialiseRouting();
            }),
            -1)
      << screen_.str();
  double level = 0;
  if (test::Rank() == 0) {
    SP_class& lake = model->Stretch(1).Reservoir(1);
    EXPECT_TRUE(lake.IsLake());
    EXPECT_EQ(lake.lake_table().rows(), 201);
    EXPECT_NEAR(lake.lake_table().volume[0], 100 * (2 + 1.8 + 1.6 + 1.4 + 1.2 + 1), 1e-9);
    EXPECT_NEAR(lake.volume(), 100 * (1 + 0.8 + 0.6 + 0.4 + 0.2), 1e-9);
    for (int n = 0; n < 3; ++n) Step(*model, n);
    EXPECT_LT(lake.volume(), 300.0);  // the rule released water
    level = lake.level();
  } else {
    for (int n = 0; n < 3; ++n) Step(*model, n);
  }
  MPI_Bcast(&level, 1, MPI_DOUBLE, 0, MPI_COMM_WORLD);
  for (int r = 1; r <= LakeLayout::kRows; ++r)
    if (grids.Own(r, 2)) {
      EXPECT_NEAR(grids.ponding[r][2], std::max(0.0, level - 100 - 0.2 * (r - 1)) * 1000, 1e-9)
          << r;
    }
  MPI_Barrier(MPI_COMM_WORLD);
}

// Lakes 1 (column 2) and 2 (column 3), flat at 100 m with the top at 102 m (600 m² each), joined
// by a channel (B = 1 m, zb = 100 m, L = 100 m), start from the ponding and concentrations on
// their cells (readgrids 1); no water comes in or leaves. The water runs from the higher lake
// into the lower one with its concentration: the tracer mass V1·c1 + V2·c2 stays that of the
// start on the lakes, and on the cells of all processes together after the concentrations went
// back. A tracer that does not evaporate lies on the soil's surface level as a mass: the solute
// a cell of lake 1 holds without ponding stays on the cell and joins the lake with its water.
TEST_F(RoutingModelTest, TracerMassStaysThroughConnectedLakes) {
  struct Case {
    double pond1, c1, pond2, c2;  // mm and concentration on the cells of each lake
    double dry = 0;               // mm x concentration on the dry cell; > 0: a mass tracer
  };
  for (const Case& k :
       {Case{1500, 10, 500, 2}, Case{500, 10, 1500, 2}, Case{500, 10, 1500, 2, 7.5}}) {
    const bool as_mass = k.dry > 0;
    const double cells1 = as_mass ? 5 : 6;  // cells of lake 1 with ponding
    const double mass =
        100 * (cells1 * k.pond1 / 1000 * k.c1 + 6 * k.pond2 / 1000 * k.c2 + k.dry / 1000);
    LakeLayout grids(diag_);
    for (int r = 1; r <= LakeLayout::kRows; ++r)
      for (int c = 1; c <= LakeLayout::kCols; ++c) {
        const bool lake = (c == 2 || c == 3) && grids.Own(r, c);
        const bool dry = as_mass && lake && c == 2 && r == 1;
        grids.codes[r][c] = c == 2 ? 1 : c == 3 ? 2 : -9999;
        grids.elevation[r][c] = lake ? 100 : 0;
        grids.max_pond[r][c] = lake ? 2000 : 0;
        grids.ponding[r][c] = dry ? 0 : lake ? (c == 2 ? k.pond1 : k.pond2) : 0;
        const double conc = c == 2 ? k.c1 : k.c2;
        grids.conc[r][c][0] = dry    ? k.dry
                              : lake ? (as_mass ? conc * grids.ponding[r][c] : conc)
                                     : 0;
        grids.water[r][c] = 0;
      }
    GridRegistry registry;
    grids.Register(diag_, registry, setup_, ranges_);
    const std::string c0 = " C0 = 0 0 0 0 0 0 0 0 0";
    Write(Header(), "TG 13 (A=60, f=1) OL 11 " + ChannelValues(1, 3000, 10) +
                        " SP 1 file = lake1.txt V0 = 0" + c0 + " SP 2 file = lake2.txt V0 = 0" +
                        c0 + "\n");
    WriteFile(setup_.control_file_name,
              ReadFile(setup_.control_file_name) +
                  "[lake_model]\n1\n0\n0\n0\n1\n[abstraction_rule_reservoir_1]\n0\n"
                  "HydraulicConnection { TargetReservoir = 2; ChannelWidth = 1; ChannelBottom = "
                  "100; ChannelLength = 100; RoughnessCoeff = 30 }\n"
                  "[abstraction_rule_reservoir_2]\n2\n0 0\n1e9 0\n\n");
    std::vector<TracerDefinition> tracers(2);
    tracers[1].name = "cl_";
    tracers[1].path = dir_.path().string() + "/";
    tracers[1].statext = "sta";
    tracers[1].evaporating = as_mass ? 0 : 1;  // else the surface level holds a concentration
    runoff_.assign(2, std::vector<double>(6, 0.0));
    int32_t error = -1;
    auto model = std::make_unique<abflussmodellklasse>(error, setup_, 1, tracers.data(), 1);
    ASSERT_EQ(error, 0) << screen_.str();
    model->SetQg(RunoffRows());
    ASSERT_EQ(ThrownCode([&] {
                model->SetupLakes();
                model->InitialiseRouting();
                for (int n = 0; n < 3; ++n) Step(*model, n);
              }),
              -1)
        << screen_.str();
    double lakes[2] = {0, 0};  // concentrations of lakes 1 and 2
    if (test::Rank() == 0) {
      SP_class& one = model->Stretch(1).Reservoir(1);
      SP_class& two = model->Stretch(1).Reservoir(2);
      EXPECT_NEAR(one.volume() + two.volume(), 100 * (cells1 * k.pond1 + 6 * k.pond2) / 1000, 1e-9);
      EXPECT_GT(std::fabs(two.balance().m3[kQin]), 0.0);  // water moved
      EXPECT_NEAR(one.volume() * one.concentration(1) + two.volume() * two.concentration(1), mass,
                  1e-9 * mass);
      lakes[0] = one.concentration(1);
      lakes[1] = two.concentration(1);
    }
    MPI_Bcast(lakes, 2, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    double on_cells = 0;
    for (int r = 1; r <= LakeLayout::kRows; ++r)
      for (int c = 2; c <= 3; ++c)
        if (grids.Own(r, c)) {
          const double p = grids.ponding[r][c];
          if (p > 0 && !as_mass) {
            EXPECT_EQ(grids.conc[r][c][0], lakes[c - 2]) << r << " " << c;
          }
          on_cells += 100 * (as_mass ? 1.0 : p) / 1000 * grids.conc[r][c][0];
        }
    double total = 0;
    MPI_Allreduce(&on_cells, &total, 1, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    EXPECT_NEAR(total, mass, 1e-9 * mass);
    model->ReleaseMemory();
    MPI_Barrier(MPI_COMM_WORLD);
  }
}

}  // namespace
}  // namespace velorn::test
