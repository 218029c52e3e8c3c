// Process helpers for tests: the rank and size of this process in MPI_COMM_WORLD and the
// broadcast of a text from process 0.
//
// Used by the unit and MPI tests and by TempDir::Shared; free of the model library, so the
// whole-model tests can link it too. MPI must be running (the shared test main starts it).
#pragma once

#include <string>

namespace velorn::test {

int Rank();
int Size();

// Process 0's `text` on every process (collective).
std::string BroadcastString(std::string text);

}  // namespace velorn::test
