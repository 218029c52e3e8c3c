// Tests of the signal handlers: the Ctrl-C state machine, real SIGINT and SIGFPE on this
// process, the SIGINT-ignoring window of file access, and a real arithmetic trap, which must
// end the process with a message instead of re-executing the faulting instruction forever.
#include "core/signals.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

namespace velorn {
namespace {

// Current handler of `sig` (SIG_DFL, SIG_IGN or a function); SIGINT unless said otherwise.
void (*SigintHandler(int sig = SIGINT))(int) {
  struct sigaction current {};
  sigaction(sig, nullptr, &current);
  return current.sa_handler;
}

// Restores the signal actions and the process-wide state after each test.
class SignalFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    sigaction(SIGINT, nullptr, &saved_int_);
    sigaction(SIGUSR1, nullptr, &saved_usr1_);
    sigaction(SIGFPE, nullptr, &saved_fpe_);
    RegisterCurrentApplication();  // takes an interrupt left pending by an earlier test
    ClearCurrentApplication();
    SetControlState(0);
  }
  void TearDown() override {
    ClearCurrentApplication();
    SetControlState(0);
    sigaction(SIGINT, &saved_int_, nullptr);
    sigaction(SIGUSR1, &saved_usr1_, nullptr);
    sigaction(SIGFPE, &saved_fpe_, nullptr);
  }
  struct sigaction saved_int_ {};
  struct sigaction saved_usr1_ {};
  struct sigaction saved_fpe_ {};
};

// Captures what the current process writes to standard output while `body` runs.
std::string CaptureStdout(const std::function<void()>& body) {
  std::fflush(stdout);
  char name[] = "/tmp/velorn-stdout-XXXXXX";
  const int file = mkstemp(name);
  const int saved = dup(STDOUT_FILENO);
  dup2(file, STDOUT_FILENO);
  body();
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  std::string text;
  lseek(file, 0, SEEK_SET);
  char buffer[256];
  for (ssize_t n; (n = read(file, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  close(file);
  unlink(name);
  return text;
}

struct ChildResult {
  bool exited = false;
  int exit_code = -1;
  int signal = 0;
  bool timed_out = false;
  std::string output;  // standard output and error of the child
};

// Runs `body` in a forked child with a time limit; the child's output is captured.
ChildResult RunInChild(const std::function<void()>& body, int seconds = 10) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) throw std::runtime_error("pipe failed");
  const pid_t child = fork();
  if (child == 0) {
    close(pipe_fds[0]);
    dup2(pipe_fds[1], STDOUT_FILENO);
    dup2(pipe_fds[1], STDERR_FILENO);
    body();
    _exit(0);
  }
  close(pipe_fds[1]);
  fcntl(pipe_fds[0], F_SETFL, O_NONBLOCK);
  ChildResult result;
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  char buffer[256];
  while (true) {
    for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0;)
      result.output.append(buffer, n);
    if (waitpid(child, &status, WNOHANG) == child) break;
    if (std::chrono::steady_clock::now() > deadline) {
      result.timed_out = true;
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0;)
    result.output.append(buffer, n);
  close(pipe_fds[0]);
  result.exited = WIFEXITED(status);
  if (result.exited) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

// A real integer division by zero; the sanitizer would report it before the processor traps.
__attribute__((no_sanitize("undefined"))) void DivideByZero() {
  volatile int zero = 0;
  volatile int quotient = 7 / zero;
  (void)quotient;
}

TEST_F(SignalFixture, InterruptMovesTheControlStateOnceAndWaitsForTheRunWithoutOne) {
  // During the set-up of a run (no application yet) a real SIGUSR1 leaves the process alive and
  // waits: the run takes it at its start.
  EnableInterruptHandler();
  const std::string early = CaptureStdout([] {
    raise(SIGUSR1);
    OnInterrupt(SIGINT);
  });
  EXPECT_EQ(early, "\nCntr-C pressed! the menu opens when the run starts...\n\n");
  EXPECT_EQ(ControlState(), 0);
  EXPECT_TRUE(InterruptPending());
  EXPECT_EQ(SigintHandler(SIGUSR1), SIG_IGN);
  RegisterCurrentApplication();
  EXPECT_EQ(ControlState(), 1);
  EXPECT_FALSE(InterruptPending());
  SetControlState(0);

  const std::string said = CaptureStdout([] {
    OnInterrupt(SIGINT);
    OnInterrupt(SIGINT);  // a second press while the first is handled changes nothing
  });
  EXPECT_EQ(ControlState(), 1);
  EXPECT_EQ(said, "\nCntr-C pressed! please wait...\n\n");

  SetControlState(3);  // a request being handled is not overwritten
  CaptureStdout([] { OnInterrupt(SIGINT); });
  EXPECT_EQ(ControlState(), 3);

  RegisterCurrentApplication();  // a new run starts from 0
  EXPECT_EQ(ControlState(), 0);
}

// SIGUSR1, which mpirun passes on to every process, takes the path of a Ctrl-C.
TEST_F(SignalFixture, RealInterruptIsIgnoredUntilTheHandlerIsEnabledAgain) {
  for (const int sig : {SIGINT, SIGUSR1}) {
    SCOPED_TRACE(sig);
    RegisterCurrentApplication();
    InstallRunHandlers();
    EXPECT_EQ(SigintHandler(sig), &OnInterrupt);
    const std::string said = CaptureStdout([sig] {
      raise(sig);
      raise(sig);
    });
    EXPECT_EQ(TakeControlState(), 1);  // taken once, in one step with the reset
    EXPECT_EQ(ControlState(), 0);
    EXPECT_EQ(said, "\nCntr-C pressed! please wait...\n\n");
    EXPECT_EQ(SigintHandler(sig), SIG_IGN);
    EnableInterruptHandler();
    EXPECT_EQ(SigintHandler(sig), &OnInterrupt);
  }
}

TEST_F(SignalFixture, InterruptDuringALongWriteEndsTheProcess) {
  for (const int sig : {SIGINT, SIGUSR1}) {
    const ChildResult result = RunInChild([sig] {
      RegisterCurrentApplication();
      InstallRunHandlers();
      DisableInterruptHandler();
      raise(sig);
      _exit(0);  // not reached
    });
    EXPECT_FALSE(result.exited);
    EXPECT_EQ(result.signal, sig);
  }
}

TEST_F(SignalFixture, IgnoredScopeRestoresTheHandlerAlsoOnExceptions) {
  RegisterCurrentApplication();
  EnableInterruptHandler();
  try {
    SigintIgnoredScope reading;
    { SigintIgnoredScope nested; }
    // The inner window does not end the outer one: the signal is held back, not taken.
    EXPECT_NE(SigintHandler(), &OnInterrupt);
    EXPECT_NE(SigintHandler(), SIG_DFL);
    raise(SIGINT);
    EXPECT_EQ(ControlState(), 0);
    throw std::runtime_error("read error");
  } catch (const std::runtime_error&) {
  }
  // The Ctrl-C held back during the window is taken when the window ends, not lost.
  EXPECT_EQ(ControlState(), 1);
  EXPECT_EQ(SigintHandler(), SIG_IGN);
  SetControlState(0);
  EnableInterruptHandler();
  EXPECT_EQ(SigintHandler(), &OnInterrupt);

  // After a Ctrl-C the handler is ignoring; the end of a file window arms it again.
  CaptureStdout([] { raise(SIGINT); });
  EXPECT_EQ(SigintHandler(), SIG_IGN);
  { SigintIgnoredScope writing; }
  EXPECT_EQ(SigintHandler(), &OnInterrupt);

  // Without an application the previous action comes back.
  ClearCurrentApplication();
  DisableInterruptHandler();
  { SigintIgnoredScope reading; }
  EXPECT_EQ(SigintHandler(), SIG_DFL);
}

// The termination hook (the put-back of a set-up's kept files) runs on the thread that installed
// the handlers, whichever thread the kernel hands a SIGTERM to (MPI's and OpenMP's threads take
// signals sent to the process), and not while that thread holds the signals back: a hook run on
// another thread races with the writes of the set-up, which go on meanwhile.
void SayWhereTheHookRuns() {
  const char* text = syscall(SYS_gettid) == getpid() ? "hook on the thread of the handlers\n"
                                                     : "hook on another thread\n";
  if (write(STDOUT_FILENO, text, std::strlen(text)) < 0) _exit(5);
}

TEST_F(SignalFixture, TerminationIsHandledOnTheThreadOfTheHandlers) {
  struct Case {
    const char* lands;
    bool other_thread;
    bool held;
    const char* said;
    bool hook = true;
  };
  const Case cases[] = {
      {"on the thread of the handlers", false, false, "hook on the thread of the handlers\n"},
      {"on another thread", true, false, "hook on the thread of the handlers\n"},
      {"on another thread while the handlers' thread holds it", true, true,
       "the thread went on\nhook on the thread of the handlers\n"},
      // No set-up under way: nothing to put back, the run ends where the signal lands.
      {"on another thread without a hook, while the handlers' thread holds it", true, true, "",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lands);
    const ChildResult result = RunInChild([&c] {
      InstallRunHandlers();
      SetTerminationHook(c.hook ? SayWhereTheHookRuns : nullptr);
      // The other thread exists before the hold, as MPI's and OpenMP's threads do (a thread
      // started during it would hold the signals too).
      std::atomic<bool> go{false};
      std::thread other([&go, &c] {
        while (!go) std::this_thread::yield();
        if (c.other_thread) pthread_kill(pthread_self(), SIGTERM);
      });
      std::optional<TerminationHeldScope> held;
      if (c.held) held.emplace();
      if (!c.other_thread) raise(SIGTERM);
      go = true;
      other.join();
      std::fputs("the thread went on\n", stdout);
      std::fflush(stdout);
      held.reset();
      _exit(0);
    });
    EXPECT_FALSE(result.exited) << result.output;
    EXPECT_EQ(result.signal, SIGTERM);
    EXPECT_EQ(result.output, c.said);
  }
}

TEST_F(SignalFixture, SentFloatingPointErrorFlagsTheSubModelsOnce) {
  InstallRunHandlers();
  raise(SIGFPE);  // no application: nothing
  EXPECT_EQ(FpeState(kFpeUnsaturatedZone), 0);

  RegisterCurrentApplication();
  std::string said = CaptureStdout([] {
    raise(SIGFPE);
    SetFpeState(kFpeSnow, 0);  // the snow model has reported its error
    kill(getpid(), SIGFPE);    // the unsaturated zone has not: no new message
  });
  EXPECT_EQ(said, "floating point error\n");
  for (int model = 0; model < kFpeSubModelCount; ++model) {
    EXPECT_EQ(FpeState(static_cast<FpeSubModel>(model)), model == kFpeSnow ? 0 : 1) << model;
  }
  SetFpeState(kFpeUnsaturatedZone, 0);
  said = CaptureStdout([] { raise(SIGFPE); });
  EXPECT_EQ(said, "floating point error\n");
  EXPECT_EQ(FpeState(kFpeSnow), 1);
}

TEST_F(SignalFixture, IntegerDivisionByZeroEndsTheProcessWithACode) {
  const ChildResult result = RunInChild([] {
    SetSignalRank(12);
    RegisterCurrentApplication();
    InstallRunHandlers();
    DivideByZero();
    _exit(0);
  });
  ASSERT_FALSE(result.timed_out) << "the trap re-executed instead of ending the process";
  EXPECT_TRUE(result.exited);
  EXPECT_EQ(result.exit_code, kArithmeticTrapExitCode);
  EXPECT_NE(result.output.find("floating point error\n"), std::string::npos) << result.output;
  EXPECT_NE(result.output.find("(mpi-rank 12) FATAL: arithmetic trap (integer division by zero)"),
            std::string::npos)
      << result.output;
}

}  // namespace
}  // namespace velorn
