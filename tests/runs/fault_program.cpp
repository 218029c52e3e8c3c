// A velorn program for the whole-program failure tests: the real program entry, with model runs
// that fail on purpose. The name of the control-file argument says what its run does:
//   fatal-on-rank-1    process 1 alone ends in a FATAL entry (code 17); the others wait in a
//                      barrier that the failure never lets them leave
//   trap-on-rank-1     process 1 alone divides an integer by zero; the others wait likewise
//   std-exception      every process throws a std::runtime_error
//   unknown-exception  every process throws an int
//   wait-for-interrupt every process waits until its interrupt handler has run (at most 60 s);
//                      process 0 creates the file "running" once all have their handlers
//   interrupt-during-setup  the construction of the run waits for an interrupt (at most 60 s;
//                      process 0 creates the file "setting-up" first); the run then reports
//                      whether it starts with the interrupt taken
// Non-root processes abort without waiting, so the tests never sleep.
#include <mpi.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "core/error_code.h"
#include "core/program_entry.h"
#include "core/signals.h"

namespace velorn::test {
namespace {

int Rank() {
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  return rank;
}

// A real integer division by zero; the sanitizer would report it before the processor traps.
__attribute__((no_sanitize("undefined"))) int DivideByZero() {
  volatile int zero = 0;
  return 7 / zero;
}

int WaitForInterrupt() {
  if (Rank() == 0) std::ofstream("running") << "handlers installed\n";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (ControlState() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return ControlState() == 1 ? 99 : 1;
}

class FaultRun : public RunnableApplication {
 public:
  FaultRun(DiagnosticStream& diag, std::string kind) : diag_(diag), kind_(std::move(kind)) {}

  int run() override {
    // Every process has its stream and its handlers before anything fails.
    MPI_Barrier(MPI_COMM_WORLD);
    if (kind_ == "fatal-on-rank-1" && Rank() == 1) {
      ThrowFatal(diag_, kControlFileErrorCode, "FATAL: error in control file, ",
                 "value of process 1 out of range");
    }
    if (kind_ == "trap-on-rank-1" && Rank() == 1) return DivideByZero();
    if (kind_ == "std-exception") throw std::runtime_error("disk full while writing a grid");
    if (kind_ == "unknown-exception") throw 42;
    if (kind_ == "wait-for-interrupt") return WaitForInterrupt();
    if (kind_ == "interrupt-during-setup") return ControlState() == 1 ? 99 : 1;
    MPI_Barrier(MPI_COMM_WORLD);
    return 0;
  }
  void ClearMemory() override {}

 private:
  DiagnosticStream& diag_;
  std::string kind_;
};

std::unique_ptr<RunnableApplication> MakeFaultRun(DiagnosticStream& diag, int /*argc*/, char** argv,
                                                  int index) {
  if (std::string(argv[index]) == "interrupt-during-setup") {
    MPI_Barrier(MPI_COMM_WORLD);
    if (Rank() == 0) std::ofstream("setting-up") << "constructing\n";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!InterruptPending() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return std::make_unique<FaultRun>(diag, argv[index]);
}

}  // namespace
}  // namespace velorn::test

int main(int argc, char** argv) {
  return velorn::RunProgram(argc, argv, velorn::test::MakeFaultRun, 0);
}
