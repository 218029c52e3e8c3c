// The routing model on 1 to 3 processes: process 0 routes, the others switch the model off and
// keep the control file's switch; every process passes the lake set-up and the steps alike.
#include <gtest/gtest.h>
#include <mpi.h>

#include "tests/routing/routing_model_fixture.h"

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

}  // namespace
}  // namespace velorn::test
