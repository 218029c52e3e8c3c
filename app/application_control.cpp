// Run control: command words, menu answers, coupling intervals and the semaphore files.
#include "app/application_control.h"

#include <mpi.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <istream>

#include "core/error_code.h"
#include "core/output_files.h"
#include "core/signals.h"
#include "core/string_helpers.h"

namespace velorn {
namespace {

constexpr const char* kCommandKey = "Command=";
constexpr const char* kCommandCharacters =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ1234567890_";
// At most this many characters of the synchronisation file's first line are read.
constexpr std::size_t kFirstLineLimit = 2399;

std::string FirstLineOf(std::ifstream& file) {
  std::string line;
  std::getline(file, line);
  if (line.size() > kFirstLineLimit) line.resize(kFirstLineLimit);
  return line;
}

}  // namespace

std::string CommandWord(const std::string& first_line) {
  const std::size_t at = first_line.find(kCommandKey);
  if (at == std::string::npos) return {};
  const std::size_t begin = at + std::strlen(kCommandKey);
  const std::size_t end = first_line.find_first_not_of(kCommandCharacters, begin);
  return first_line.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

int StateOfCommandLine(const std::string& first_line, int current) {
  if (first_line.find(kCommandKey) == std::string::npos) return current;
  const std::string word = CommandWord(first_line);
  if (Contains(word, "SaveAndContinue")) return kStateFlushAndGoOn;
  if (Contains(word, "Continue")) return kStateRunOn;
  if (Contains(word, "Finish")) return kStateFinish;
  if (Contains(word, "StopWithoutSaving")) return kStateStopWithoutSaving;
  return current;
}

int LoopMenuChoice(const std::string& word) {
  if (word.empty() || word[0] < '0' || word[0] > '9') return 0;
  return word[0] - '0';
}

int WaitMenuChoice(const std::string& word) {
  if (word.empty() || word.size() > 9) return 0;
  int value = 0;
  for (const char c : word) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
  }
  return value > kStateFlushAndGoOn ? 0 : value;
}

int RunResultOfControlState(int state) {
  return state == kStateFinishSetUp ? kStateFinishSetUp : kStateRunOn;
}

std::string ReadConsoleWord(std::istream& input) {
  std::string word;
  if (!(input >> word)) return {};
  return word;
}

bool CouplingDue(char interval, const CouplingDate& previous, const CouplingDate& current,
                 bool end_of_step, bool end_flag) {
  if (end_of_step && end_flag) return true;
  switch (interval) {
    case 'I':
      return true;
    case 'H':
      return current.hour != previous.hour;
    case 'D':
      return current.day != previous.day;
    case 'M':
      return current.month != previous.month;
    case 'Y':
      return current.year != previous.year;
    default:
      return false;
  }
}

PollPause PollPauseOf(long milliseconds) {
  return {milliseconds / 1000, (milliseconds % 1000) * 1000000};
}

std::string TemporarySemaphorePath(const std::string& target) {
  const std::filesystem::path directory = std::filesystem::path(target).parent_path();
  return (directory / kTemporarySemaphoreName).string();
}

void WriteSemaphoreFile(DiagnosticStream& diag, const std::string& target,
                        const std::string& content) {
  const std::string temporary = TemporarySemaphorePath(target);
  WriteTemporaryFile(diag, kWriteErrorCode, temporary, content);
  errno = 0;
  if (std::rename(temporary.c_str(), target.c_str()) != 0) {
    const int error = ErrnoOrIo();
    std::remove(temporary.c_str());
    ThrowFatal(diag, kWriteErrorCode, "FATAL: semaphore file ", temporary, " cannot be renamed to ",
               target, SystemReason(error), "; the coupled program would wait for it");
  }
}

int CombineControlState(int state) {
  int combined = 0;
  MPI_Reduce(&state, &combined, 1, MPI_INT, MPI_MAX, 0, MPI_COMM_WORLD);
  MPI_Bcast(&combined, 1, MPI_INT, 0, MPI_COMM_WORLD);
  return combined;
}

int PollControlState(DiagnosticStream& diag, std::istream* console) {
  // Taken and reset before the collective: a Ctrl-C that arrives while this process waits for
  // the others stays set and is combined at the next poll, instead of being reset unseen.
  const int combined = CombineControlState(TakeControlState());
  if (combined == kStateFinish && diag.rank() == 0) {
    diag << "SKIP: \n\nCtrl-C: cancel the model? \n0 = no (continue)\n1 = cancel with next "
            "interval (writing all grids and buffers)\n2 = cancel now without saving "
            "buffers!\n3 = flush buffers and go on\n\nchoose one of the above options: "
         << "[end-entry]";
    diag.FlushScreen();
    SetControlState(LoopMenuChoice(console != nullptr ? ReadConsoleWord(*console) : ""));
  }
  SetControlState(CombineControlState(ControlState()));
  return ControlState();
}

long NextWaitReminder(long mark) {
  return mark + std::min(mark, kLongestWaitReminderSeconds);
}

namespace {

// The reminder of a long wait: what the run waits for (the file, the command it expects, a
// folder of it that does not exist) and for how long.
std::string WaitReminder(const std::string& name, long waited_seconds) {
  std::string text = "WARNING: still waiting after " + std::to_string(waited_seconds) +
                     " s for the external synchronisation file " + name;
  const std::filesystem::path folder = std::filesystem::path(name).parent_path();
  std::error_code error;
  if (!folder.empty() && !std::filesystem::is_directory(folder, error))
    text += " (its folder " + folder.string() + " does not exist)";
  return text +
         ": the coupled program is to write it, its first line \"Command=Continue;\" (or "
         "Finish, SaveAndContinue, StopWithoutSaving); the run waits for it without end "
         "(SIGUSR1 to mpirun, or Ctrl-C without mpirun, opens the menu)";
}

}  // namespace

int WaitForSynchronisationFile(DiagnosticStream& diag, const std::string& name, long interval_ms,
                               const SynchronisationWait& wait) {
  diag << "waiting for external synchronisation file " << name << "...";
  const PollPause pause = PollPauseOf(interval_ms);
  const auto now = [&wait] { return wait.now ? wait.now() : std::chrono::steady_clock::now(); };
  const auto began = now();
  long reminder = kFirstWaitReminderSeconds;
  bool entry_open = true;  // the waiting entry, until a menu or a reminder ends it
  std::ifstream file(name);
  while (!file.is_open()) {
    const long waited =
        static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(now() - began).count());
    if (waited >= reminder) {
      // The reminder ends the open waiting entry with its screen line.
      if (entry_open) diag << "\n";
      entry_open = false;
      diag << WaitReminder(name, waited) << "[end-entry]";
      diag.FlushScreen();
      while (reminder <= waited) reminder = NextWaitReminder(reminder);
    }
    if (ControlState() != kStateRunOn) {
      SetControlState(kStateRunOn);
      entry_open = false;
      // The prefix of the menu ends the open waiting entry first, so the file stays valid XML.
      diag << "SKIP: \n\nCtrl-C pressed while waiting for " << name
           << "\nCancel the model? \n0 = no (continue)\n2 = cancel now without saving "
              "buffers!\n\nchoose one of the above options: "
           << "[end-entry]";
      const int choice = WaitMenuChoice(wait.console ? ReadConsoleWord(*wait.console) : "");
      SetControlState(choice);
      if (choice == kStateStopWithoutSaving) return 0;
      if (wait.enable_interrupts) wait.enable_interrupts();
    }
    if (wait.sleep) wait.sleep(pause);
    if (wait.enable_interrupts) wait.enable_interrupts();
    file.open(name);
  }
  diag << "found it! "
       << "[end-entry]";
  SetControlState(StateOfCommandLine(FirstLineOf(file), ControlState()));
  return 1;
}

}  // namespace velorn
