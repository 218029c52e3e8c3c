// Tests of the program entry's steps: option rules, the banner's shape, the usage failure and
// the run loop over the control files with a stand-in application.
#include "core/program_entry.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "core/error_code.h"
#include "core/signals.h"
#include "tests/support/test_helpers.h"
#include "version.h"

namespace velorn {
namespace {

TEST(ProgramOptions, DiagLevelIsUpperCasedAndTheLastOptionCounts) {
  EXPECT_EQ(ThresholdFromName("info"), 3);
  EXPECT_EQ(ThresholdFromName("Warning"), 2);
  EXPECT_EQ(ThresholdFromName("FATAL"), 0);
  EXPECT_EQ(ThresholdFromName("error"), 1);
  EXPECT_EQ(ThresholdFromName("verbose"), 4);
  EXPECT_EQ(ThresholdFromName(""), 4);

  const DiagnosticsOptions options = ScanDiagnosticsOptions(
      {"velorn", "-diagfile:run.xml", "-diaglevel:info", "-diagfile:other.xml", "-DIAGLEVEL:ERROR",
       "ctl.txt", "-diaglevel:warning"});
  EXPECT_EQ(options.file_name, "other.xml");
  EXPECT_EQ(options.threshold, 2);
  const DiagnosticsOptions defaults = ScanDiagnosticsOptions({"velorn", "ctl.txt"});
  EXPECT_EQ(defaults.file_name, "");
  EXPECT_EQ(defaults.threshold, 4);
}

TEST(ProgramOptions, ControlFilesAreTheArgumentsThatAreNoOption) {
  const std::vector<std::string> args = {"velorn",          "-diaglevel:info",  "a.ctl",
                                         "-dumpmode:5",     "x-dumpmode",       "-dumpmode",
                                         "-closeAfterDump", "-repairAfterDump", "-DIAGLEVEL:INFO",
                                         "b.ctl",           "-diagfile:o.xml"};
  EXPECT_EQ(ControlFileIndexes(args), (std::vector<int>{2, 8, 9}));
  EXPECT_TRUE(ControlFileIndexes({"velorn", "-diaglevel:info"}).empty());
}

TEST(ProgramThreads, TheNodesCoresAreSharedBetweenItsProcessesWithinTheUsableCores) {
  struct Case {
    int node_cores, processes, usable, threads;
  };
  for (const Case& c : {Case{8, 4, 8, 2}, Case{8, 1, 8, 8}, Case{8, 3, 8, 2}, Case{8, 16, 8, 1},
                        Case{8, 2, 1, 1}, Case{8, 0, 8, 8}}) {
    EXPECT_EQ(DefaultThreadCount(c.node_cores, c.processes, c.usable), c.threads)
        << c.node_cores << " cores, " << c.processes << " processes, " << c.usable << " usable";
  }
}

TEST(ProgramBanner, FiveEntriesWithANineLineBlock) {
  test::CapturedDiag d;
  WriteBanner(d.diag);
  const std::string text = d.screen.str();
  const std::string tag = "\n(mpi-rank  0) ";
  std::vector<std::string> entries;
  for (std::size_t start = 0, end; (end = text.find(tag, start)) != std::string::npos;
       start = end + tag.size()) {
    entries.push_back(text.substr(start, end - start));
  }
  ASSERT_EQ(entries.size(), 5u) << text;
  EXPECT_EQ(entries[0], std::string(76, '-'));
  EXPECT_EQ(entries[1], "Velorn-Marn (MPI) ");
  EXPECT_EQ(entries[2], "64-bit Version on Linux ");
  EXPECT_EQ(entries[3], "Version: " + VersionText());
  const std::vector<std::string> block = test::SplitLines(entries[4]);
  ASSERT_EQ(block.size(), 9u);
  EXPECT_TRUE(block[6].empty());
  EXPECT_EQ(block[8], std::string(75, '-'));

  EXPECT_EQ(VersionText().find('$'), std::string::npos);
  EXPECT_EQ(VersionText().rfind(std::string("Richards ") + VELORN_VERSION + ", last change: ", 0),
            0u);
}

// Records what the loop does with each application.
struct LoopLog {
  std::vector<std::string> events;
  std::vector<int> results;  // returned by the runs, in order
  bool fail_in_run = false;
};

class FakeApplication : public RunnableApplication {
 public:
  FakeApplication(LoopLog& log, std::string name, int result)
      : log_(log), name_(std::move(name)), result_(result) {
    log_.events.push_back("construct " + name_ + (HasCurrentApplication() ? " current" : ""));
  }
  ~FakeApplication() override { log_.events.push_back("delete " + name_); }
  int run() override {
    struct sigaction action {};
    sigaction(SIGINT, nullptr, &action);
    log_.events.push_back("run " + name_ + (HasCurrentApplication() ? " current" : "") +
                          (action.sa_handler == &OnInterrupt ? " handled" : "") + " state " +
                          std::to_string(ControlState()));
    SetControlState(7);  // left over; the next run must start from 0
    if (log_.fail_in_run) throw ErrorCode{42};
    return result_;
  }
  void ClearMemory() override { log_.events.push_back("clear " + name_); }

 private:
  LoopLog& log_;
  std::string name_;
  int result_;
};

class RunLoopFixture : public test::DiagTest {
 protected:
  void SetUp() override { sigaction(SIGINT, nullptr, &saved_); }
  void TearDown() override {
    sigaction(SIGINT, &saved_, nullptr);
    ClearCurrentApplication();
    SetControlState(0);
  }
  int Loop(std::vector<std::string> args, LoopLog& log) {
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    ApplicationFactory factory = [&log](DiagnosticStream&, int, char** av, int index) {
      const int result = static_cast<int>(log.events.size()) + 10;
      return std::make_unique<FakeApplication>(log, av[index], result);
    };
    return RunControlFiles(diag_, static_cast<int>(args.size()), argv.data(), factory);
  }
  struct sigaction saved_ {};
};

TEST_F(RunLoopFixture, RunsEveryControlFileInOrderAndReturnsTheLastResult) {
  LoopLog log;
  const int result =
      Loop({"velorn", "first.ctl", "-diaglevel:info", "-dumpmode:5", "second.ctl"}, log);
  const std::vector<std::string> expected = {
      "construct first.ctl",  "run first.ctl current handled state 0",
      "clear first.ctl",      "delete first.ctl",
      "construct second.ctl", "run second.ctl current handled state 0",
      "clear second.ctl",     "delete second.ctl"};
  EXPECT_EQ(log.events, expected);
  EXPECT_EQ(result, 14);  // the second run's value (4 events before its construction)
  EXPECT_FALSE(HasCurrentApplication());
}

TEST_F(RunLoopFixture, AFailingRunLeavesNoCurrentApplicationBehind) {
  LoopLog log;
  log.fail_in_run = true;
  try {
    Loop({"velorn", "a.ctl", "b.ctl"}, log);
    FAIL() << "no error code";
  } catch (const ErrorCode& error) {
    EXPECT_EQ(error.code, 42);
  }
  EXPECT_FALSE(HasCurrentApplication());
  ASSERT_EQ(log.events.size(), 3u);
  EXPECT_EQ(log.events.back(), "delete a.ctl");
}

TEST_F(RunLoopFixture, WithoutTheModelAControlFileEndsInItsOwnCode) {
  std::vector<std::string> args = {"velorn", "basin.ctl"};
  std::vector<char*> argv = {args[0].data(), args[1].data(), nullptr};
  try {
    RunControlFiles(diag_, 2, argv.data(), MakeUnavailableApplication);
    FAIL() << "no error code";
  } catch (const ErrorCode& error) {
    EXPECT_EQ(error.code, kModelRunUnavailableCode);
  }
  EXPECT_NE(screen_.str().find("model run of control file basin.ctl is not available"),
            std::string::npos);
}

}  // namespace
}  // namespace velorn
