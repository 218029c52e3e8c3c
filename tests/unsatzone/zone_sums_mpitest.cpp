// The soil zone's zone sums, step end and end of run on 1, 2 and 3 processes: the fixture's
// cells are dealt out over the processes ("MPIRegions", cell i to process i mod size), four
// subbasins of two cells each, surface routing on (no storage delay) and one cell with glacier
// share 0.25. Subbasin runoff, tracer concentrations, tables and end-of-run lines on process 0
// are the hand values of the whole basin, whatever the split.
#include <gtest/gtest.h>
#include <mpi.h>

#include <cmath>
#include <filesystem>
#include <sstream>

#include "core/string_helpers.h"
#include "core/tracer_bookkeeping.h"
#include "tests/support/soil_column_fixture.h"
#include "tests/support/test_mpi.h"

namespace velorn {
namespace {

using M = unsatzonmodellklasse;

class ZoneSumsSplit : public test::SoilColumnTest {
 protected:
  ZoneSumsSplit() {
    Rows regions(2, std::vector<double>(4));
    for (int i = 0; i < 8; ++i) regions[i / 4][i % 4] = i % test::Size();
    Add("MPIRegions", regions);
    double** zones = grids_["zonegrid_soilmodel"].get();
    for (int r = 1; r <= 2; ++r)
      for (int c = 1; c <= 4; ++c) zones[r][c] = 2 * (r - 1) + (c + 1) / 2;
  }
  // Runoff of the sub-step of cell (r, c) and the concentration of its tracer: dyadic values.
  static double Direct(int r, int c) { return 0.5 * c + r; }
  static double Concentration(int r, int c) { return r + 0.25 * c; }
};

TEST_F(ZoneSumsSplit, RunoffTablesAndEndLinesAreThoseOfTheWholeBasin) {
  test::UnsatSection section;
  section.codes = "1 4";
  section.statistics_code = 2001;
  section.control_point = "1 2";
  Add("ice_firn", {{0, 0.25, 0, 0}, {0, 0, 0, 0}});
  ASSERT_EQ(Make(section.Text()), 0) << screen_.str();
  model_->SetSurfaceRoutingActive(true);
  TracerDefinition tracer;
  tracer.name = "cl_";
  tracer.evaporating = 1;
  tracer.half_time = -9999;
  tracer.path = dir_.path().string() + "/";
  tracer.statext = "sta";
  tracer.gridext = "stk";
  std::vector<TracerDefinition> definitions{TracerDefinition{}, tracer};
  int32_t error = -1;
  model_->SetupTracers(error, 1, definitions.data(), nullptr, 0);
  ASSERT_EQ(error, 0) << screen_.str();
  model_->SetInitialised(1);
  double** base = model_->Grid(M::kBaseflow);
  double** direct = model_->Grid(M::kDirectflow);
  double** sb1 = model_->Grid(M::kSoilMoistureRoot);
  const int index = registry_.FindIdentifier("_CONC_QD_1_");
  ASSERT_GT(index, 0);
  double** concentration = registry_[index].grid;
  for (int step = 1; step <= 3; ++step) {
    model_->BeginStep(step, 7, 12, 2026);
    for (int r = 1; r <= 2; ++r)
      for (int c = 1; c <= 4; ++c) {
        direct[r][c] = Direct(r, c) * step;
        concentration[r][c] = Concentration(r, c);
        sb1[r][c] = 0.5;
      }
    model_->AddZoneSums();
    model_->FinishStep();
  }
  // Every process holds the initial base flow of its own cells only: gather the basin's.
  std::vector<double> q(8, 0.0);
  for (int i = 0; i < 8; ++i)
    if (model_->OwnCell(i / 4 + 1, i % 4 + 1)) q[i] = base[i / 4 + 1][i % 4 + 1];
  MPI_Allreduce(MPI_IN_PLACE, q.data(), 8, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
  if (test::Rank() == 0) {
    const RunoffConcentration& run = model_->runoff;
    for (int s = 1; s <= 4; ++s) {
      const int r = (s + 1) / 2, c1 = 2 * ((s - 1) % 2) + 1, c2 = c1 + 1;
      const double w1 = 1.0, w2 = s == 1 ? 0.75 : 1.0;  // the glacier cell is (1, 2)
      const double d1 = Direct(r, c1) * 3 * w1, d2 = Direct(r, c2) * 3 * w2;
      EXPECT_EQ(run.QDd[0][s], (d1 + d2) / 2) << s;
      EXPECT_EQ(run.QDd[1][s], (d1 * Concentration(r, c1) + d2 * Concentration(r, c2)) / (d1 + d2))
          << s;
      const double qb = (q[4 * (r - 1) + c1 - 1] * w1 + q[4 * (r - 1) + c2 - 1] * w2) / 2;
      EXPECT_EQ(run.QBb[0][s], qb) << s;
      EXPECT_EQ(run.Qg[0][s], run.QDd[0][s] + run.QIi[0][s] + run.QBb[0][s]);
      EXPECT_EQ(model_->statistics[M::kStatQg].table->current_values()[s], run.Qg[0][s]);
      EXPECT_EQ(model_->statistics[M::kStatSB1].table->current_values()[s], s == 1 ? 0.4375 : 0.5);
    }
  }

  // The end-of-run lines: the control cell's on its process, the means on process 0.
  double*** theta = model_->Stack(M::kTheta);
  std::vector<double> water(8, 0.0);
  for (int i = 0; i < 8; ++i)
    if (model_->OwnCell(i / 4 + 1, i % 4 + 1))
      for (int k = 1; k <= 4; ++k) water[i] += theta[i / 4 + 1][i % 4 + 1][k] * 0.5;
  MPI_Allreduce(MPI_IN_PLACE, water.data(), 8, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
  model_->FinishRun(false);
  model_.reset();
  const int owner = 1 % test::Size();
  const std::string own_log = FormatText("modell_%d.log", test::Rank());
  const std::string log = std::filesystem::exists(own_log) ? test::ReadFile(own_log) : "";
  if (test::Rank() == owner || test::Rank() == 0) {
    EXPECT_EQ(log.find(FormatText("(control point r=1 c=2) at model-end: %lf mm",
                                  water[1] * 1000)) != std::string::npos,
              test::Rank() == owner)
        << log;
  }
  if (test::Rank() == 0) {
    double free = 0;
    for (int i = 0; i < 8; ++i) free += water[i];
    // "ice_firn" 0.25: the cell's soil water counts with 0.75, its pore volume with 0.25.
    free -= 0.25 * water[1];
    const double glacier = 0.25 * 4 * 0.43 * 0.5;
    EXPECT_NE(log.find(FormatText("cells at model-end: %lf m^3/m^2\n", free / 8 + glacier / 8)),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(FormatText("unglacierized cells at model-end: %lf", free / 8)),
              std::string::npos);
    EXPECT_NE(log.find(FormatText("completely glacierized cells at model-end: %lf", glacier / 8)),
              std::string::npos);
  }
}

}  // namespace
}  // namespace velorn
