// Run control pieces: command words of the synchronisation file, menu answers, the coupling
// interval test, the poll pause, the semaphore files and the wait for the synchronisation file
// with a scripted console and no real sleep.
#include "app/application_control.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/error_code.h"
#include "core/signals.h"
#include "tests/support/test_helpers.h"

namespace velorn::test {
namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(RunControl, CommandLinesGiveTheirStates) {
  struct Case {
    const char* line;
    int current;
    int expected;
  };
  const Case cases[] = {
      {"Command=SaveAndContinue;", 0, kStateFlushAndGoOn},
      {"Command=Continue;", 1, kStateRunOn},
      {"Command=Finish;", 0, kStateFinish},
      {"Command=StopWithoutSaving;", 0, kStateStopWithoutSaving},
      {"Command=ContinueX;", 3, kStateRunOn},  // the word contains "Continue"
      {"Command=Fin ish;", 3, 3},              // the word ends at the blank: "Fin"
      {"Status=Finish;", 1, 1},                // no "Command=": unchanged
      {"", 3, 3},
      {"xx Command=Finish", 0, kStateFinish},  // found anywhere in the line
  };
  for (const Case& c : cases) {
    EXPECT_EQ(StateOfCommandLine(c.line, c.current), c.expected) << c.line;
  }
  EXPECT_EQ(CommandWord("Command=Save_And1;rest"), "Save_And1");
}

TEST(RunControl, MenuAnswers) {
  struct Case {
    const char* word;
    int loop;
    int wait;
  };
  // The loop menu takes the first character, the waiting menu the whole word (0..3).
  const Case cases[] = {{"1", 1, 1}, {"12", 1, 0}, {"x", 0, 0}, {"", 0, 0},
                        {"3", 3, 3}, {"7", 7, 0},  {"2a", 2, 0}};
  for (const Case& c : cases) {
    EXPECT_EQ(LoopMenuChoice(c.word), c.loop) << c.word;
    EXPECT_EQ(WaitMenuChoice(c.word), c.wait) << c.word;
  }
  // A run's result from its state at its end: a finish set up gives 99; a Ctrl-C that came after
  // the last poll (1, on the processes it reached) ends the run as a normal end on every one.
  for (const auto& [state, result] :
       {std::pair{kStateFinishSetUp, 99}, {kStateFinish, 0}, {kStateRunOn, 0}})
    EXPECT_EQ(RunResultOfControlState(state), result) << state;
  std::istringstream console("  2 \n");
  EXPECT_EQ(ReadConsoleWord(console), "2");
  EXPECT_EQ(ReadConsoleWord(console), "");  // end of input
}

TEST(RunControl, CouplingIntervalsAreDueAsTheirDatePartChanges) {
  const CouplingDate first;  // -1 everywhere: the first step is always due
  const CouplingDate p{5, 3, 4, 2001};
  struct Case {
    char interval;
    CouplingDate current;
    bool end_of_step;
    bool end_flag;
    bool due;
  };
  const Case cases[] = {
      {'I', p, false, false, true},
      {'H', {6, 3, 4, 2001}, false, false, true},
      {'H', p, false, false, false},
      {'D', {23, 3, 4, 2001}, false, false, false},
      {'D', {0, 4, 4, 2001}, false, false, true},
      {'M', {0, 1, 5, 2001}, false, false, true},
      {'Y', {0, 1, 5, 2001}, false, false, false},
      {'Y', {0, 1, 1, 2002}, false, false, true},
      {'X', {0, 1, 1, 2002}, false, false, false},
      {'X', p, true, true, true},    // the last step always ends an interval
      {'D', p, false, true, false},  // but the end flag means nothing at the start of a step
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CouplingDue(c.interval, p, c.current, c.end_of_step, c.end_flag), c.due)
        << c.interval << " " << c.current.hour << " " << c.current.day;
  }
  EXPECT_TRUE(CouplingDue('D', first, p, false, false));
}

TEST(RunControl, PollPauseSplitsMilliseconds) {
  EXPECT_EQ(PollPauseOf(1500).seconds, 1);
  EXPECT_EQ(PollPauseOf(1500).nanoseconds, 500000000);
  EXPECT_EQ(PollPauseOf(0).seconds, 0);
  EXPECT_EQ(PollPauseOf(0).nanoseconds, 0);
}

TEST(RunControl, SemaphoreFilesAreWrittenWholeOrReported) {
  CapturedDiag captured;
  const fs::path target = captured.dir.path() / "sub" / "to_partner";
  fs::create_directories(target.parent_path());
  std::ofstream(target) << "old content that is longer";
  EXPECT_EQ(TemporarySemaphorePath(target.string()),
            (target.parent_path() / kTemporarySemaphoreName).string());

  WriteSemaphoreFile(captured.diag, target.string(), kFinishCommand);
  EXPECT_EQ(Slurp(target), "Command=Finish;");  // replaced, no line end
  EXPECT_FALSE(fs::exists(target.parent_path() / kTemporarySemaphoreName));

  // A semaphore that cannot be written ends the run: the partner would wait for it for ever.
  // A target in a directory that does not exist:
  const fs::path missing = captured.dir.path() / "absent" / "to_partner";
  EXPECT_EQ(ThrownCode([&] { WriteSemaphoreFile(captured.diag, missing.string(), "x"); }),
            kWriteErrorCode);
  EXPECT_TRUE(captured.ScreenHas("cannot open " +
                                 (missing.parent_path() / kTemporarySemaphoreName).string() +
                                 ": No such file or directory"));
  // A target that is a directory: the rename fails.
  fs::create_directories(captured.dir.path() / "blocked" / "x");
  EXPECT_EQ(ThrownCode([&] {
              WriteSemaphoreFile(captured.diag, (captured.dir.path() / "blocked").string(), "x");
            }),
            kWriteErrorCode);
  EXPECT_TRUE(
      captured.ScreenHas("cannot be renamed to " + (captured.dir.path() / "blocked").string()));
  EXPECT_FALSE(fs::exists(captured.dir.path() / kTemporarySemaphoreName));
  // A full disk (stood in for by /dev/full as the temporary file).
  if (fs::exists("/dev/full")) {
    const fs::path full_dir = captured.dir.path() / "full";
    fs::create_directories(full_dir);
    fs::create_symlink("/dev/full", full_dir / kTemporarySemaphoreName);
    EXPECT_EQ(ThrownCode([&] {
                WriteSemaphoreFile(captured.diag, (full_dir / "to_partner").string(), "x");
              }),
              kWriteErrorCode);
    EXPECT_TRUE(captured.ScreenHas("No space left on device"));
    EXPECT_FALSE(fs::exists(full_dir / "to_partner"));
  }
}

// The wait with a scripted console: the file appears after a given number of pauses.
class WaitTest : public ::testing::Test {
 protected:
  void SetUp() override { RegisterCurrentApplication(); }
  void TearDown() override { ClearCurrentApplication(); }

  // Waits for the file (`sync` in the test's folder unless named), which is created with its
  // folder and `content` at pause `appear_at` (0: before); `signal_at` sets state 1 at that pause
  // (0: never). Each pause of 1.5 s advances the clock of the reminders as much. Returns the
  // state afterwards.
  int Wait(const std::string& content, int appear_at, int signal_at, const std::string& input,
           fs::path file = {}) {
    if (file.empty()) file = captured_.dir.path() / "sync";
    fs::remove(file);
    const auto create = [&] {
      fs::create_directories(file.parent_path());
      std::ofstream(file) << content;
    };
    if (appear_at == 0) create();
    std::istringstream console(input);
    int pauses = 0;
    SynchronisationWait wait;
    wait.console = &console;
    wait.sleep = [&](const PollPause& pause) {
      EXPECT_EQ(pause.seconds, 1);
      EXPECT_EQ(pause.nanoseconds, 500000000);
      ++pauses;
      clock_ += std::chrono::milliseconds(1500);
      if (pauses == signal_at) SetControlState(kStateFinish);
      if (pauses == appear_at) create();
    };
    wait.enable_interrupts = [&] { ++enables_; };
    wait.now = [&] { return clock_; };
    const int found = WaitForSynchronisationFile(captured_.diag, file.string(), 1500, wait);
    EXPECT_EQ(found, ControlState() == kStateStopWithoutSaving && signal_at > 0 ? 0 : 1);
    return ControlState();
  }

  CapturedDiag captured_;
  int enables_ = 0;
  std::chrono::steady_clock::time_point clock_{};
};

TEST_F(WaitTest, CommandsAndMenuAnswersSetTheState) {
  SetControlState(0);
  EXPECT_EQ(Wait("Command=Finish;\nrest", 0, 0, ""), kStateFinish);
  SetControlState(0);
  EXPECT_EQ(Wait("Command=SaveAndContinue;", 3, 0, ""), kStateFlushAndGoOn);
  // A Ctrl-C while waiting, answered 1: kept, and the file without a command leaves it.
  SetControlState(0);
  EXPECT_EQ(Wait("no command", 2, 1, "1"), kStateFinish);
  EXPECT_TRUE(captured_.ScreenHas("Ctrl-C pressed while waiting for"));
  // Answered 12 (outside 0..3): go on.
  SetControlState(0);
  EXPECT_EQ(Wait("no command", 2, 1, "12"), kStateRunOn);
  EXPECT_GT(enables_, 0);
  // Answered 2: the user stops the run; the wait ends without the file.
  SetControlState(0);
  EXPECT_EQ(Wait("Command=Continue;", 3, 1, "2"), kStateStopWithoutSaving);
}

// A partner that does not answer: the wait says so after 10, 20, 40 and 80 s (then at most an
// hour apart), naming the file, the command it expects, a folder of it that does not exist and
// how long it has waited, on the screen and in the diagnostics file.
TEST_F(WaitTest, ALongWaitSaysWhatItWaitsForAtGrowingIntervals) {
  const std::pair<long, long> marks[] = {{10, 20}, {2560, 5120}, {7200, 10800}};
  for (const auto& [mark, next] : marks) EXPECT_EQ(NextWaitReminder(mark), next) << mark;
  SetControlState(0);
  const fs::path sync = captured_.dir.path() / "sync";
  EXPECT_EQ(Wait("Command=Continue;", 60, 0, ""), kStateRunOn);  // found after 90 s
  const std::string file = captured_.DiagFile();
  for (const int waited : {10, 21, 40, 81})
    EXPECT_NE(
        file.find("<line level=\"2\" description= \"still waiting after " + std::to_string(waited) +
                  " s for the external synchronisation file " + sync.string() +
                  ": the coupled program is to write it, its first line "
                  "&quot;Command=Continue;&quot;"),
        std::string::npos)
        << waited << file;
  std::size_t reminders = 0;
  for (std::size_t at = file.find("still waiting"); at != std::string::npos;
       at = file.find("still waiting", at + 1))
    ++reminders;
  EXPECT_EQ(reminders, 4u);
  // The first ends the open waiting entry's screen line.
  EXPECT_TRUE(captured_.ScreenHas(sync.string() + "...\nstill waiting after 10 s for "));
  EXPECT_TRUE(captured_.HasEntry(kLevelDebug, "found it! "));
  // A file in a folder that does not exist (yet): the reminder says so.
  const fs::path absent = captured_.dir.path() / "absent" / "sync";
  EXPECT_EQ(Wait("Command=Finish;", 8, 0, "", absent), kStateFinish);
  EXPECT_TRUE(captured_.ScreenHas(
      "still waiting after 10 s for the external synchronisation file " + absent.string() +
      " (its folder " + absent.parent_path().string() + " does not exist): "));
}

TEST_F(WaitTest, TheWaitingEntryKeepsTheFileValidWhenAMenuInterruptsIt) {
  SetControlState(0);
  Wait("Command=Continue;", 12, 1, "0");  // a menu, then a reminder after 10 s
  EXPECT_TRUE(captured_.ScreenHas("still waiting after 10 s"));
  const std::string file = captured_.DiagFile();
  // The waiting entry got its own closed line before the menu (screen only) and "found it! ".
  EXPECT_NE(file.find("waiting for external synchronisation file "), std::string::npos);
  EXPECT_TRUE(captured_.HasEntry(kLevelDebug, "found it! "));
  EXPECT_EQ(file.find("Ctrl-C pressed"), std::string::npos);
  std::size_t open = 0;
  std::size_t close = 0;
  for (std::size_t at = file.find("<line"); at != std::string::npos;
       at = file.find("<line", at + 1))
    ++open;
  for (std::size_t at = file.find("/>"); at != std::string::npos; at = file.find("/>", at + 1))
    ++close;
  EXPECT_EQ(open, close);
}

}  // namespace
}  // namespace velorn::test
