// Output files: a failed write reports the system's reason (a full disk stood in for by
// /dev/full), and the lock of an output folder keeps a second run out, names its holder and is
// taken over from a process that no longer runs.
#include "core/output_files.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <sstream>

#include "core/error_code.h"
#include "core/signals.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

namespace fs = std::filesystem;

TEST(OutputFiles, AFullDiskGivesItsReason) {
  std::FILE* full = std::fopen("/dev/full", "w");
  if (full == nullptr) GTEST_SKIP() << "/dev/full is not there";
  // Buffered by stdio: the failure shows when the buffer is written at the close.
  const int error = WriteAndClose(full, "rows of a table\n");
  EXPECT_EQ(error, ENOSPC);
  EXPECT_EQ(SystemReason(error), ": No space left on device");
  EXPECT_EQ(SystemReason(0), "");
}

// Every way into a file of the checked path names the file and the system's reason; a failed
// open gives the file's own code, a write that found no room 18.
TEST(OutputFiles, EveryWriterNamesTheFileAndTheReason) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "/dev/full is not there";
  test::CapturedDiag captured;
  const std::string folder = captured.dir.path().string();
  const std::string absent = (captured.dir.path() / "absent" / "x.txt").string();
  struct Case {
    const char* name;
    std::function<void()> write;
    int code;
    std::string entry;
  };
  const Case cases[] = {
      {"full table",
       [&] {
         CheckedFile out(captured.diag, 65, "/dev/full", "w");
         out.Printf("%d rows\n", 3);
         out.Close();
       },
       kWriteErrorCode, "cannot write /dev/full: No space left on device"},
      {"folder as file", [&] { CheckedFile out(captured.diag, 65, folder, "a"); }, 65,
       "cannot open " + folder + ": Is a directory"},
      {"full log", [&] { AppendChecked(captured.diag, 5, "/dev/full", "a line\n"); },
       kWriteErrorCode, "cannot write /dev/full: No space left on device"},
      {"log in no folder",
       [&] {
         AppendChecked(captured.diag, 5, absent, "a line\n", "FATAL: error opening log-file ");
       },
       5, "error opening log-file " + absent + ": No such file or directory"},
      {"full dump", [&] { WriteWholeFile(captured.diag, 37, "/dev/full", "bytes", "wb"); },
       kWriteErrorCode, "cannot write /dev/full: No space left on device"},
      {"dump in no folder", [&] { WriteWholeFile(captured.diag, 37, absent, "bytes"); }, 37,
       "cannot open " + absent + ": No such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(test::ThrownCode(c.write), c.code);
    EXPECT_TRUE(captured.ScreenHas(c.entry)) << captured.screen.str();
  }
}

// A diagnostics file that takes no more lines: said once on the screen, kept, and the end of
// the run refuses it (it cannot say so in the file itself).
TEST(OutputFiles, AFullDiagnosticsFileEndsTheRun) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "/dev/full is not there";
  test::TempDir dir;
  fs::create_symlink("/dev/full", dir / "diag_0.xml");
  std::ostringstream screen;
  DiagnosticStream diag(dir / "diag.xml", kLevelDebug, screen);
  diag << "INFO: a line the file cannot take[end-entry]";
  EXPECT_EQ(diag.write_error(), ENOSPC);
  EXPECT_EQ(test::ThrownCode([&] { diag.RequireWritten(); }), kWriteErrorCode);
  const std::string text = screen.str();
  const std::string failure =
      "cannot write the diagnostics file " + (dir / "diag_0.xml") + ": No space left on device";
  EXPECT_NE(text.find(failure), std::string::npos) << text;
  EXPECT_EQ(text.find(failure), text.rfind(failure));  // once
  EXPECT_NE(text.find("a line the file cannot take"), std::string::npos);
  EXPECT_EQ(diag.Finish(), ENOSPC);
}

class FolderLock : public ::testing::Test, public test::CapturedDiag {
 protected:
  std::string LockPath() const { return dir / kOutputLockName; }
  std::string Host() const {
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return name;
  }
};

TEST_F(FolderLock, ASecondRunIsRefusedWithTheHolderNamed) {
  OutputFolderLock first;
  first.Take(diag, dir.path().string() + "/");
  ASSERT_TRUE(first.held());
  const std::string holder = std::to_string(getpid()) + " " + Host();
  EXPECT_EQ(test::ReadFile(LockPath()), holder + "\n");

  OutputFolderLock second;
  EXPECT_EQ(test::ThrownCode([&] { second.Take(diag, dir.path().string()); }), kOutputCreateCode);
  EXPECT_FALSE(second.held());
  EXPECT_TRUE(ScreenHas("is in use by the run of process " + std::to_string(getpid()) + " on " +
                        Host() + " (lock file " + LockPath() + ")"))
      << screen.str();
  EXPECT_TRUE(fs::exists(LockPath()));  // the refused run leaves the holder's lock alone

  first.Release();
  EXPECT_FALSE(fs::exists(LockPath()));
  second.Take(diag, dir.path().string());
  EXPECT_TRUE(second.held());
}

TEST_F(FolderLock, AStaleLockOfThisHostIsTakenOverWithAWarning) {
  // The process id of a child that has ended: reaped, or not yet (a zombie, as a killed run's
  // process is until its job's daemon collects it).
  pid_t child = 0;
  for (const bool reaped : {true, false}) {
    SCOPED_TRACE(reaped ? "reaped" : "not yet reaped");
    child = fork();
    if (child == 0) _exit(0);
    ASSERT_GT(child, 0);
    if (reaped) {
      waitpid(child, nullptr, 0);
    } else {
      for (int i = 0;
           i < 500 && test::ReadFile("/proc/" + std::to_string(child) + "/stat").find(") Z ") ==
                          std::string::npos;
           ++i)
        usleep(2000);
    }
    test::WriteFile(LockPath(), std::to_string(child) + " " + Host() + "\n");
    {
      OutputFolderLock lock;
      lock.Take(diag, dir.path().string());
      EXPECT_TRUE(lock.held());
      EXPECT_TRUE(ScreenHas("taking over the lock " + LockPath() + " of process " +
                            std::to_string(child) + " on " + Host() + ", which no longer runs"));
      EXPECT_EQ(test::ReadFile(LockPath()), std::to_string(getpid()) + " " + Host() + "\n");
    }
    EXPECT_FALSE(fs::exists(LockPath()));  // released with the object
    if (!reaped) waitpid(child, nullptr, 0);
  }

  // A lock of another host cannot be checked: it is respected.
  test::WriteFile(LockPath(), std::to_string(child) + " some-other-host\n");
  OutputFolderLock lock;
  EXPECT_EQ(test::ThrownCode([&] { lock.Take(diag, dir.path().string()); }), kOutputCreateCode);
  // A folder that does not exist takes no output and no lock.
  lock.Take(diag, dir / "absent");
  EXPECT_FALSE(lock.held());
}

// A lock file that names no run (empty, other text, a folder, a dangling link) is respected and
// said to be what it is, not blamed on a process 0 on an unknown host.
TEST_F(FolderLock, ALockThatNamesNoRunIsSaidToNameNone) {
  const std::vector<std::pair<const char*, std::function<void()>>> locks = {
      {"empty", [&] { test::WriteFile(LockPath(), ""); }},
      {"junk", [&] { test::WriteFile(LockPath(), "velorn\n"); }},
      {"folder", [&] { fs::create_directory(LockPath()); }},
      {"dangling link", [&] { fs::create_symlink(dir / "gone", LockPath()); }}};
  for (const auto& [kind, make] : locks) {
    SCOPED_TRACE(kind);
    make();
    screen.str("");
    OutputFolderLock lock;
    EXPECT_EQ(test::ThrownCode([&] { lock.Take(diag, dir.path().string()); }), kOutputCreateCode);
    EXPECT_FALSE(lock.held());
    EXPECT_TRUE(ScreenHas("holds a lock file " + LockPath() + " that names no run"))
        << screen.str();
    EXPECT_FALSE(ScreenHas("unknown host")) << screen.str();
    fs::remove(LockPath());
  }
}

// The set-up of a run writes over a table, adds to another, writes through a symbolic link and
// creates a file, then ends: refused (the keeper unwinds), by a termination signal (the handler),
// or by SIGKILL (the copies stay until the next run takes the folder's lock). Whatever the end,
// once the next run holds the lock every earlier file is as it was, the link is still a link,
// no copy is left, and a refused run after it again leaves everything as it was.
class KeptFilesAfterAnEnd : public FolderLock {
 protected:
  void WriteEarlierRun() {
    fs::remove_all(dir / "elsewhere");
    fs::create_directories(dir / "elsewhere");
    for (const char* name : {"qg.stat", "etr.stat", "elsewhere/target.stat"})
      test::WriteFile(dir / name, std::string("rows of the earlier run in ") + name + "\n");
    fs::remove(dir / "linked.stat");
    fs::create_symlink(dir / "elsewhere/target.stat", dir / "linked.stat");
    fs::remove(dir / "new.stat");
  }
  // What a set-up writes; ends the keeping when `finished`.
  void WriteSetUp(bool finished) {
    SetUpOutputKeeper keeper;
    for (const auto& [name, mode] :
         {std::pair{"qg.stat", "w"}, {"etr.stat", "a"}, {"linked.stat", "w"}, {"new.stat", "w"}}) {
      std::FILE* file = OpenOutputFile(dir / name, mode);
      ASSERT_NE(file, nullptr) << name;
      std::fputs("header of the new run\n", file);
      std::fclose(file);
    }
    if (finished) EndOfSetUp();
  }
  void ExpectEarlierRun(const std::string& after) {
    SCOPED_TRACE(after);
    for (const char* name : {"qg.stat", "etr.stat", "elsewhere/target.stat"})
      EXPECT_EQ(test::ReadFile(dir / name),
                std::string("rows of the earlier run in ") + name + "\n");
    EXPECT_TRUE(fs::is_symlink(dir / "linked.stat"));
    ExpectNoCopy();
  }
  void ExpectNoCopy() {
    for (const auto& entry : fs::recursive_directory_iterator(dir.path()))
      EXPECT_EQ(entry.path().string().find(".velorn-kept"), std::string::npos) << entry.path();
  }
};

TEST_F(KeptFilesAfterAnEnd, EveryEndOfASetUpLeavesTheEarlierFiles) {
  for (const int end : {0, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR2, SIGXCPU, SIGKILL}) {
    SCOPED_TRACE("ended by signal " + std::to_string(end));
    WriteEarlierRun();
    screen.str("");
    const pid_t child = fork();
    if (child == 0) {
      InstallRunHandlers();
      {
        SetUpOutputKeeper keeper;
        for (const auto& [name, mode] : {std::pair{"qg.stat", "w"},
                                         {"etr.stat", "a"},
                                         {"linked.stat", "w"},
                                         {"new.stat", "w"}}) {
          std::FILE* file = OpenOutputFile(dir / name, mode);
          if (file == nullptr) _exit(3);
          std::fputs("header of the killed run\n", file);
          std::fclose(file);
        }
        if (end != 0) raise(end);
      }
      _exit(end == 0 ? 0 : 4);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    waitpid(child, &status, 0);
    if (end == 0) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    } else {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == end) << status;
    }
    if (end == SIGKILL) {
      EXPECT_TRUE(fs::exists(dir / "qg.stat.velorn-kept"));
    }
    {
      OutputFolderLock next;
      next.Take(diag, dir.path().string());
      EXPECT_EQ(ScreenHas("ended during its set-up (killed) and left the files of the run before "
                          "it set aside; they are put back in place of what that run wrote:\n  " +
                          (dir / "etr.stat")),
                end == SIGKILL)
          << screen.str();
      ExpectEarlierRun("the next run took the lock");
      WriteSetUp(false);
      ExpectEarlierRun("a refused run after it");
    }
    WriteSetUp(true);
    EXPECT_EQ(test::ReadFile(dir / "elsewhere/target.stat"), "header of the new run\n");
    EXPECT_TRUE(fs::is_symlink(dir / "linked.stat"));
    ExpectNoCopy();
  }
}

}  // namespace
}  // namespace velorn
