#include "tests/support/test_mpi.h"

#include <mpi.h>

namespace velorn::test {

int Rank() {
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  return rank;
}

int Size() {
  int size = 1;
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  return size;
}

std::string BroadcastString(std::string text) {
  int length = static_cast<int>(text.size());
  MPI_Bcast(&length, 1, MPI_INT, 0, MPI_COMM_WORLD);
  text.resize(static_cast<std::size_t>(length));
  MPI_Bcast(text.data(), length, MPI_CHAR, 0, MPI_COMM_WORLD);
  return text;
}

}  // namespace velorn::test
