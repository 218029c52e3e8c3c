// Whole-program tests of the entry: velorn started under mpirun the way a user starts it, with
// no argument, with options only, with diagnostics options and control files, and with a
// diagnostics file that cannot be opened. Runs on 1 and 3 processes must report alike. The
// program entry with runs that fail on purpose (fault_program.cpp) shows that a failure of any
// process reaches the user and that SIGUSR1 sent to mpirun reaches the interrupt path.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_files.h"
#include "tests/support/velorn_runner.h"

namespace velorn::test {
namespace {

namespace fs = std::filesystem;

// The exit status of mpirun for a process that aborts with `code`.
int ExitStatus(int code) {
  return code & 0xff;
}

RunResult RunIn(const TempDir& dir, int processes, const std::vector<std::string>& arguments,
                const std::string& diag_file = "Velorn_Diag_0.xml") {
  RunOptions options;
  options.processes = processes;
  options.directory = dir.path().string();
  options.diag_file = diag_file;
  return RunVelorn(options, arguments);
}

// Replaces the text after each `marker` up to the next `stop` character by "<x>".
std::string BlankAfter(std::string text, const std::string& marker, char stop) {
  for (std::size_t at = text.find(marker); at != std::string::npos;
       at = text.find(marker, at + 1)) {
    const std::size_t begin = at + marker.size();
    const std::size_t end = text.find(stop, begin);
    text.replace(begin, (end == std::string::npos ? text.size() : end) - begin, "<x>");
  }
  return text;
}

// A diagnostics file with the time stamps and the process count blanked, so that runs at
// different times and on different process counts compare equal.
std::string Comparable(const std::string& diag) {
  std::string text = BlankAfter(diag, "Velorn start at ", '"');
  text = BlankAfter(text, "Velorn finished at ", '"');
  text = BlankAfter(text, "compiled at ", '"');
  return BlankAfter(text, "here is instance 1 of ", '"');
}

bool HasLine(const std::string& diag, int level, const std::string& description) {
  return diag.find(DiagnosticsLine(level, description) + "\n") != std::string::npos;
}

void ExpectValid(const TempDir& dir, const std::string& name) {
  const auto schema = RefData("pi-diag-schema/pi_diag.xsd");
  if (!schema) {
    std::cout << "schema check of " << name << " skipped: ../shared/refdata is absent\n";
    return;
  }
  EXPECT_EQ(ValidateDiagnostics((dir.path() / name).string(), *schema), "");
}

TEST(EntryRun, NoArgumentShowsUsageAndAbortsWithCodeTwoOnOneAndThreeProcesses) {
  std::string diag_of_one;
  for (const int processes : {1, 3}) {
    SCOPED_TRACE("processes " + std::to_string(processes));
    TempDir dir;
    const RunResult result = RunIn(dir, processes, {});
    ASSERT_FALSE(result.timed_out) << result.Describe();
    EXPECT_EQ(result.exit_status, 2) << result.Describe();
    EXPECT_NE(result.out.find("\nusage: velorn <control-file> [<control-file> ...]"),
              std::string::npos);
    EXPECT_NE(result.out.find("\n-dumpmode: if soil moisture"), std::string::npos);
    EXPECT_NE(result.out.find("Exception 2 caught at top level!"), std::string::npos);
    EXPECT_NE(result.out.find("Program aborted with exit code 2"), std::string::npos);
    EXPECT_TRUE(HasLine(result.diag, 0, "Exception 2 caught at top level!")) << result.diag;
    EXPECT_TRUE(HasLine(result.diag, 0, "Program aborted with exit code 2"));
    EXPECT_NE(result.diag.find("<line level=\"3\" description= \"-diagfile:"), std::string::npos);
    EXPECT_EQ(result.diag.substr(result.diag.size() - 8), "</Diag>\n");
    ExpectValid(dir, "Velorn_Diag_0.xml");
    // Only process 0 writes a file. (What other processes print may be cut by the abort.)
    EXPECT_FALSE(fs::exists(dir.path() / "Velorn_Diag_1.xml"));
    EXPECT_NE(result.out.find("OpenMP threads total for MPI process 0"), std::string::npos);
    if (processes == 3) {
      EXPECT_EQ(Comparable(result.diag), diag_of_one);
    } else {
      diag_of_one = Comparable(result.diag);
    }
  }
}

TEST(EntryRun, HelpShowsTheUsageAndEndsNormallyWithoutOpeningAControlFile) {
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"--help"}, std::vector<std::string>{"ctl.txt", "-h"}}) {
    TempDir dir;
    const RunResult result = RunIn(dir, 1, arguments);
    EXPECT_EQ(result.exit_status, 0) << result.Describe();
    // The program as it was started, every option it takes, and no threads started for it.
    EXPECT_NE(result.out.find("\nusage: velorn <control-file> [<control-file> ...]"),
              std::string::npos);
    for (const char* option : {"[-diagfile:", "[-diaglevel:", "[-dumpmode[:n] ",
                               "-closeAfterDump|-repairAfterDump", "[-h|--help]"}) {
      EXPECT_NE(result.out.find(option), std::string::npos) << option;
    }
    EXPECT_EQ(result.out.find("This is OpenMP thread"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("caught at top level"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("exitcode 0\n"), std::string::npos);
  }
}

TEST(EntryRun, OptionsOnlyEndNormallyAndTheLevelFiltersTheFile) {
  TempDir dir;
  const RunResult quiet = RunIn(dir, 2, {"-diaglevel:info"});
  EXPECT_EQ(quiet.exit_status, 0) << quiet.Describe();
  EXPECT_NE(quiet.out.find("exitcode 0\n"), std::string::npos) << quiet.out;
  EXPECT_NE(quiet.out.find("o.k.\n\nthe end.\n"), std::string::npos);
  EXPECT_EQ(quiet.diag.find("level=\"4\""), std::string::npos) << quiet.diag;
  EXPECT_NE(quiet.diag.find("Velorn finished at "), std::string::npos);
  ExpectValid(dir, "Velorn_Diag_0.xml");
  // Every process reports itself and its OpenMP threads.
  EXPECT_NE(quiet.out.find("here is instance 2 of 2\n"), std::string::npos);
  for (const int rank : {0, 1}) {
    EXPECT_NE(quiet.out.find("OpenMP threads total for MPI process " + std::to_string(rank)),
              std::string::npos)
        << quiet.out;
  }

  const RunResult verbose = RunIn(dir, 2, {"-diaglevel:verbose"});
  EXPECT_EQ(verbose.exit_status, 0) << verbose.Describe();
  EXPECT_TRUE(HasLine(verbose.diag, 4, "exitcode 0")) << verbose.diag;
  EXPECT_TRUE(HasLine(verbose.diag, 4, "o.k.;;the end."));
  EXPECT_TRUE(HasLine(verbose.diag, 4, "Velorn-Marn (MPI) "));
  ExpectValid(dir, "Velorn_Diag_0.xml");
}

TEST(EntryRun, LastDiagFileCountsAndAControlFileEndsInItsOwnCode) {
  TempDir dir;
  const RunResult result =
      RunIn(dir, 3, {"-diagfile:run.xml", "-diaglevel:info", "-diagfile:other.xml", "ctl.txt"},
            "other_0.xml");
  EXPECT_EQ(result.exit_status, ExitStatus(28)) << result.Describe();
  EXPECT_FALSE(fs::exists(dir.path() / "run_0.xml"));
  EXPECT_TRUE(HasLine(result.diag, 0, "error opening ctl.txt: No such file or directory"))
      << result.diag;
  EXPECT_TRUE(HasLine(result.diag, 0, "Exception 28 caught at top level!"));
  EXPECT_EQ(result.diag.find("level=\"4\""), std::string::npos);
  ExpectValid(dir, "other_0.xml");
}

TEST(EntryRun, UpperCaseOptionIsAControlFileAndTheFirstControlFileRunsFirst) {
  TempDir dir;
  // An argument that begins with "-" and is no option names no file: both are said.
  for (const char* argument : {"-DIAGLEVEL:INFO", "--version"}) {
    const RunResult upper = RunIn(dir, 1, {argument});
    EXPECT_EQ(upper.exit_status, ExitStatus(28)) << upper.Describe();
    EXPECT_NE(upper.diag.find(std::string("error opening ") + argument +
                              ": No such file or directory - it is no option of velorn either"),
              std::string::npos)
        << upper.diag;
    EXPECT_NE(upper.diag.find("level=\"4\""), std::string::npos);  // threshold stays DEBUG
  }

  const RunResult two = RunIn(dir, 1, {"first.ctl", "-dumpmode:5", "second.ctl"});
  EXPECT_NE(two.diag.find("error opening first.ctl"), std::string::npos) << two.diag;
  EXPECT_EQ(two.diag.find("-dumpmode:5"), std::string::npos);
  EXPECT_EQ(two.diag.find("second.ctl"), std::string::npos);
}

TEST(EntryRun, UnopenableDiagnosticsFileAbortsWith320WithoutCrashing) {
  TempDir dir;
  fs::create_directory(fs::path(dir.path().string()) / "Velorn_Diag.xml");
  fs::create_directory(fs::path(dir.path().string()) / "Velorn_Diag_0.xml");
  const RunResult result = RunIn(dir, 1, {"-diagfile:missing/x.xml", "ctl.txt"}, "");
  ASSERT_FALSE(result.timed_out);
  EXPECT_EQ(result.exit_status, ExitStatus(320)) << result.Describe();
  EXPECT_NE(result.out.find("error opening diagnostics output file missing/x_0.xml"),
            std::string::npos)
      << result.Describe();
  EXPECT_NE(result.out.find("Error opening diagnostics output file Velorn_Diag.xml"),
            std::string::npos);
}

RunResult RunFaultProgram(const TempDir& dir, const std::string& kind,
                          const std::function<void(int)>& while_running = {}, int processes = 3) {
  RunOptions options;
  options.processes = processes;
  options.directory = dir.path().string();
  options.binary = std::getenv("VELORN_FAULT_BINARY") != nullptr
                       ? std::getenv("VELORN_FAULT_BINARY")
                       : "velorn_fault_program";
  options.while_running = while_running;
  return RunVelorn(options, {kind});
}

// Whichever process fails and however, the job ends with the failure's code, the reason is on
// the screen (process 0's standard output or the failing process's tagged standard error), and
// process 0's diagnostics file, killed by the abort in the middle of its run, is valid.
TEST(EntryRun, FailureOfAnyProcessReachesTheUserAndLeavesAValidFile) {
  struct Case {
    const char* kind;
    int code;
    const char* reason;
  };
  const Case cases[] = {
      {"fatal-on-rank-1", 17,
       "(mpi-rank  1) error in control file, value of process 1 out of range"},
      {"trap-on-rank-1", 136, "(mpi-rank  1) FATAL: arithmetic trap (integer division by zero)"},
      {"std-exception", 250, "unexpected error: disk full while writing a grid"},
      {"unknown-exception", 250, "unexpected error of unknown type"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    TempDir dir;
    const RunResult result = RunFaultProgram(dir, c.kind);
    ASSERT_FALSE(result.timed_out) << result.Describe();
    EXPECT_EQ(result.exit_status, c.code) << result.Describe();
    EXPECT_NE((result.out + result.err).find(c.reason), std::string::npos) << result.Describe();
    if (c.code != 136) {
      EXPECT_NE((result.out + result.err).find("Exception " + std::to_string(c.code) + " caught"),
                std::string::npos);
    }
    EXPECT_EQ(result.diag.substr(result.diag.size() - 8), "</Diag>\n");
    ExpectValid(dir, "Velorn_Diag_0.xml");
  }
}

// Sends SIGUSR1 to mpirun once the program has created `file` (at most 60 s later).
std::function<void(int)> SigusrOneOnceThere(const fs::path& file) {
  return [file](int mpirun) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!fs::exists(file) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    kill(mpirun, SIGUSR1);
  };
}

// A Ctrl-C in the terminal goes to mpirun, which ends the job; SIGUSR1 sent to mpirun is passed
// on to every process and takes the interrupt path of the run. The handlers stand from the start
// of the program: a SIGUSR1 while a run is being set up does not kill the job either; the run
// takes it at its start.
TEST(EntryRun, SigusrOneSentToMpirunReachesTheInterruptPathOfEveryProcess) {
  for (const char* kind : {"wait-for-interrupt", "interrupt-during-setup"}) {
    SCOPED_TRACE(kind);
    TempDir dir;
    const bool in_set_up = std::string(kind) == "interrupt-during-setup";
    const RunResult result = RunFaultProgram(
        dir, kind, SigusrOneOnceThere(dir.path() / (in_set_up ? "setting-up" : "running")));
    ASSERT_FALSE(result.timed_out) << result.Describe();
    EXPECT_EQ(result.exit_status, 99) << result.Describe();
    std::size_t said = 0;
    for (std::size_t at = result.out.find("Cntr-C pressed!"); at != std::string::npos;
         at = result.out.find("Cntr-C pressed!", at + 1))
      ++said;
    EXPECT_EQ(said, 3u) << result.out;
    EXPECT_TRUE(HasLine(result.diag, 4, "exitcode 99")) << result.diag;
  }
}

// A signal while a run is being set up, on 1 and 2 processes: SIGTERM, SIGHUP, SIGQUIT, SIGALRM,
// SIGUSR2 and SIGXCPU (mpirun ending a cancelled job, a closed terminal, Ctrl-\, a batch
// system's warning or CPU-time limit) put the earlier run's files back before the processes end;
// after SIGKILL the next run in the folder puts them back as it takes the lock, naming them. Either
// way the earlier files are as they were, the symbolic link is still one and no kept copy is left.
TEST(EntryRun, ASignalDuringTheSetUpLeavesTheEarlierOutputs) {
  for (const int processes : {1, 2}) {
    for (const int sig : {SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR2, SIGXCPU, SIGKILL}) {
      SCOPED_TRACE(std::to_string(processes) + " processes, signal " + std::to_string(sig));
      TempDir dir;
      fs::create_directories(dir.path() / "out");
      fs::create_directories(dir.path() / "elsewhere");
      const std::vector<std::string> earlier = {"out/table.stat", "out/appended.stat",
                                                "elsewhere/target.stat"};
      for (const std::string& name : earlier) WriteFile(dir / name, "rows of " + name + "\n");
      fs::create_symlink(dir.path() / "elsewhere/target.stat", dir.path() / "out/linked.stat");
      const RunResult signalled = RunFaultProgram(
          dir, "write-during-setup",
          [&](int) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (!fs::exists(dir.path() / "setting-up") &&
                   std::chrono::steady_clock::now() < deadline)
              std::this_thread::sleep_for(std::chrono::milliseconds(20));
            for (int rank = 0; rank < processes; ++rank) {
              std::ifstream in(dir / ("pid_" + std::to_string(rank)));
              int pid = 0;
              if (in >> pid && pid > 0) kill(pid, sig);
            }
          },
          processes);
      ASSERT_FALSE(signalled.timed_out) << signalled.Describe();
      EXPECT_NE(signalled.exit_status, 0) << signalled.Describe();
      // mpirun may end before its daemon has reaped a killed process: the next run, started at
      // once, takes over the lock of a process that has ended.
      const RunResult next = RunFaultProgram(dir, "take-folder", {}, 1);
      EXPECT_EQ(next.exit_status, 0) << next.Describe();
      EXPECT_EQ(
          next.diag.find("they are put back in place of what that run wrote:") != std::string::npos,
          sig == SIGKILL)
          << next.diag;
      for (const std::string& name : earlier)
        EXPECT_EQ(ReadFile(dir / name), "rows of " + name + "\n") << name;
      EXPECT_TRUE(fs::is_symlink(dir.path() / "out/linked.stat"));
      for (const auto& entry : fs::recursive_directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().string().find(".velorn-kept"), std::string::npos) << entry.path();
    }
  }
}

}  // namespace
}  // namespace velorn::test
