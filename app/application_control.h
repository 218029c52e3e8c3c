// Run control of the application: the control state that a Ctrl-C (SIGINT or SIGUSR1), the
// console menus and the synchronisation commands of a coupled program feed, and the small files
// through which the run and that program take turns.
//
// The application (app/application*.cpp) calls these pieces from its time loop: the state is
// combined over all processes at every pass (CombineControlState), process 0 shows the menus and
// waits for the synchronisation file (WaitForSynchronisationFile), the semaphore files are
// written by process 0 (WriteSemaphoreFile), and CouplingDue decides whether a coupling interval
// begins or ends in a step. The parsers are pure functions, so the command words and menu
// answers can be tested without a run; console input and the pause between two polls are
// arguments, so tests never wait for a keyboard or a clock.
//
// Limits: only process 0 reads the console and the synchronisation file; a read error or the end
// of the console input counts as the answer 0 (go on), which is what a run without a terminal
// (a batch job, a test) must do.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>

#include "core/diagnostic_stream.h"

namespace velorn {

// Values of the control state (`RunControlState`).
inline constexpr int kStateRunOn = 0;
inline constexpr int kStateFinish = 1;  // Ctrl-C pending; after the menu: finish
inline constexpr int kStateStopWithoutSaving = 2;
inline constexpr int kStateFlushAndGoOn = 3;
inline constexpr int kStateFinishSetUp = 99;  // the finish is set up; also the exit code
// Code of a stop by the user without saving (menu choice 2, "StopWithoutSaving").
inline constexpr int kUserStopCode = 98;

// Name of the temporary semaphore file; it is made in the directory of the target file.
inline constexpr const char* kTemporarySemaphoreName = "Velorn_Marn_temporary_semaphore.file";
// Content of the semaphore files at the end of a run.
inline constexpr const char* kFinishCommand = "Command=Finish;";

// The command word after "Command=" in `first_line` (letters, digits and '_' up to the first
// other character); empty without "Command=".
std::string CommandWord(const std::string& first_line);

// The control state a synchronisation file's first line asks for, tested in this order: a word
// containing "SaveAndContinue" 3, "Continue" 0, "Finish" 1, "StopWithoutSaving" 2; `current`
// for any other word and for a line without "Command=".
int StateOfCommandLine(const std::string& first_line, int current);

// Answer of the loop's menu: the first character of the word as a digit, 0 for anything else
// (also for an empty word: end of input).
int LoopMenuChoice(const std::string& word);

// Answer of the menu shown while waiting: the whole word as a decimal number; values outside
// 0..3, words that are no number and an empty word give 0.
int WaitMenuChoice(const std::string& word);

// The value a run returns (its exit code) from its control state at its end: 99 when a finish
// was set up, else 0. A Ctrl-C that came after the last poll (in the last step, or as the run
// ended) leaves the state 1 on the processes it reached: no step is left to end at, the run has
// ended as it was to and written its outputs and state, so it ends as a normal end on every
// process, never with the 1 of an untaken interrupt (a failure without a FATAL entry).
int RunResultOfControlState(int state);

// One word from `input`, empty at its end or on a read error.
std::string ReadConsoleWord(std::istream& input);

// A date as the coupling compares it.
struct CouplingDate {
  int64_t hour = -1;
  int64_t day = -1;
  int64_t month = -1;
  int64_t year = -1;
};

// Whether a coupling interval of kind `interval` ('I' every step, 'H', 'D', 'M', 'Y' when that
// part of `current` differs from `previous`; anything else never) is due. At the end of a step
// (`end_of_step`) the last step of the run (`end_flag`) is always due.
bool CouplingDue(char interval, const CouplingDate& previous, const CouplingDate& current,
                 bool end_of_step, bool end_flag);

// The pause between two polls of the synchronisation file.
struct PollPause {
  long seconds = 0;
  long nanoseconds = 0;
};
PollPause PollPauseOf(long milliseconds);

// Writes `content` (no line end) to the temporary file in the directory of `target` and renames
// it to `target`, replacing a file of that name, so that a reader never sees half a file. A
// failure of the write or of the rename ends the run (FATAL, code 18, naming the file and the
// reason): a partner program would otherwise wait for ever.
void WriteSemaphoreFile(DiagnosticStream& diag, const std::string& target,
                        const std::string& content);

// Path of the temporary file for `target`: the fixed name in the target's directory.
std::string TemporarySemaphorePath(const std::string& target);

// Collective: the greatest control state of all processes, reduced onto process 0 and broadcast
// from there; every process receives it.
int CombineControlState(int state);

// Collective, at the start of every pass of the time loop: combines the control state of all
// processes and clears it; when the combined state is 1 (a Ctrl-C reached some process),
// process 0 shows the menu and reads its answer from `console` (null: no answer, 0); the answer
// is combined again and becomes every process's control state, which is returned.
int PollControlState(DiagnosticStream& diag, std::istream* console);

// What WaitForSynchronisationFile needs of its surroundings.
struct SynchronisationWait {
  std::istream* console = nullptr;              // the answers to the waiting menu
  std::function<void(const PollPause&)> sleep;  // the pause between two polls
  std::function<void()> enable_interrupts;      // installs the interrupt handler again
  // The clock of the reminders (the steady clock when empty).
  std::function<std::chrono::steady_clock::time_point()> now;
};

// A wait for the synchronisation file is said again after this many seconds, and then each time
// it has lasted twice as long as at the last reminder (10, 20, 40, 80 s, ...), at most
// kLongestWaitReminderSeconds after it: a partner that never comes, or stops answering, shows on
// the screen and in the diagnostics file instead of a run that stops without a word.
inline constexpr long kFirstWaitReminderSeconds = 10;
inline constexpr long kLongestWaitReminderSeconds = 3600;
// The next reminder after one at `mark` seconds.
long NextWaitReminder(long mark);

// Process 0: waits until `name` can be opened, polling every `interval_ms` milliseconds. A
// control state other than 0 between two polls (a Ctrl-C) shows the waiting menu: 2 ends the
// wait at once with the control state 2 and returns 0 (the run then stops without saving, on
// every process alike), 1 and 3 are kept. Then reads the first line and sets the control state
// from its command (StateOfCommandLine). The entry "waiting for ..." stays open until
// "found it! "; a menu or a reminder (a WARNING entry, NextWaitReminder) closes it first.
// Returns 1 when the file was found.
int WaitForSynchronisationFile(DiagnosticStream& diag, const std::string& name, long interval_ms,
                               const SynchronisationWait& wait);

}  // namespace velorn
