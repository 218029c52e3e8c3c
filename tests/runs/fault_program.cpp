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
//   write-during-setup the construction takes the lock of the folder "out" (process 0), writes
//                      over out/table.stat and out/linked.stat and adds to out/appended.stat
//                      as a set-up does, each process writes its pid to "pid_<rank>", process 0
//                      then creates "setting-up", and all wait (at most 60 s) for a signal
//   take-folder        process 0 takes the lock of the folder "out"; the run ends normally
// Non-root processes abort without waiting, so the tests never sleep.
#include <mpi.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "core/error_code.h"
#include "core/output_files.h"
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

// The set-up of "write-during-setup": the outputs of a set-up, then the wait for the signal.
void WriteDuringSetUp(DiagnosticStream& diag, OutputFolderLock& lock) {
  if (Rank() == 0) {
    lock.Take(diag, "out/");
    for (const auto& [name, mode] :
         {std::pair{"out/table.stat", "w"}, {"out/linked.stat", "w"}, {"out/appended.stat", "a"}}) {
      std::FILE* file = OpenOutputFile(name, mode);
      if (file == nullptr) throw ErrorCode{18};
      std::fputs("header of the signalled run\n", file);
      std::fclose(file);
    }
  }
  std::ofstream("pid_" + std::to_string(Rank())) << getpid() << "\n";
  MPI_Barrier(MPI_COMM_WORLD);
  if (Rank() == 0) std::ofstream("setting-up") << "written\n";
  std::this_thread::sleep_for(std::chrono::seconds(60));
}

std::unique_ptr<RunnableApplication> MakeFaultRun(DiagnosticStream& diag, int /*argc*/, char** argv,
                                                  int index) {
  static OutputFolderLock lock;
  if (std::string(argv[index]) == "write-during-setup") WriteDuringSetUp(diag, lock);
  if (std::string(argv[index]) == "take-folder" && Rank() == 0) lock.Take(diag, "out/");
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
