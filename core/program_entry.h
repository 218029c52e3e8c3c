// The steps of `main`: option scan, banner, process layout report, usage, the run loop over
// the control files and the top-level report of a failure.
//
// `main` (app/main.cpp) calls them in order; they are separate so that the option rules and
// the run loop can be tested without starting the program. The run loop takes the application
// factory as an argument: the model's application plugs in there, and until it exists the
// default factory ends every control file in a FATAL entry with kModelRunUnavailableCode.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/diagnostic_stream.h"

namespace velorn {

// Code thrown for a control file when this build has no model run to start.
inline constexpr int kModelRunUnavailableCode = 3000;
// Code thrown when the program is started without any argument.
inline constexpr int kNoArgumentCode = 2;

// Diagnostics settings of the command line.
struct DiagnosticsOptions {
  std::string file_name;        // from "-diagfile:"; empty for the default name
  int threshold = kLevelDebug;  // from "-diaglevel:"
};

// Threshold for the text after "-diaglevel:": FATAL 0, ERROR 1, WARNING 2, INFO 3 (a-z
// upper-cased first), anything else 4.
int ThresholdFromName(const std::string& name);

// Reads "-diaglevel:" and "-diagfile:" from args[1..]; the last of each counts.
DiagnosticsOptions ScanDiagnosticsOptions(const std::vector<std::string>& args);

// True for an argument that is an option rather than a control file: it begins with
// "-diaglevel:" or "-diagfile:" or contains "-dumpmode", "-closeAfterDump" or
// "-repairAfterDump" anywhere.
bool IsOptionArgument(const std::string& arg);

// Indexes (1-based, into argv) of the control-file arguments, in command-line order.
std::vector<int> ControlFileIndexes(const std::vector<std::string>& args);

// "Richards <version>, last change: <date>, compiled at <date and time>", without any '$'.
std::string VersionText();

// The five banner entries; then the screen is flushed.
void WriteBanner(DiagnosticStream& diag);

// Threads of a process when OMP_NUM_THREADS is not set: the node's cores shared between the
// processes on the node, no more than the cores this process may use, at least 1.
int DefaultThreadCount(int node_cores, int processes_on_node, int usable_cores);

// Record of the start-up OpenMP report: MPI process number and thread count.
struct ThreadReport {
  int process = 0;
  int threads = 0;
};

// Body of the start-up OpenMP region: every thread says hello, thread 0 stores the thread
// count after a barrier and reports it.
void ReportOpenMPThreads(ThreadReport& report);

// The instance line of this process and its OpenMP report; flushes all output.
void ReportProcessLayout(DiagnosticStream& diag, int rank, int size);

// The usage and INFO entries (the command line named `program`, the name the program was
// started with), then ErrorCode{kNoArgumentCode}.
[[noreturn]] void FailWithUsage(DiagnosticStream& diag, const std::string& program);

// Thrown alike by every process of a run that the user (Ctrl-C menu) or a coupled program
// ("StopWithoutSaving") stops at once without saving: the program closes its diagnostics with
// the usual closing entries, finalises MPI and ends with `code`.
struct RunStopped {
  int code;
};

// One model run as the loop sees it. The model's application implements this.
class RunnableApplication {
 public:
  virtual ~RunnableApplication() = default;
  // The time loop; its value becomes the exit code.
  virtual int run() = 0;
  // Shut-down of the run: flushes and frees everything the run holds.
  virtual void ClearMemory() = 0;
};

// Builds the application for control file argv[index]; reads the control file.
using ApplicationFactory = std::function<std::unique_ptr<RunnableApplication>(
    DiagnosticStream& diag, int argc, char** argv, int index)>;

// The factory of this build: a FATAL entry naming the control file and
// ErrorCode{kModelRunUnavailableCode}.
std::unique_ptr<RunnableApplication> MakeUnavailableApplication(DiagnosticStream& diag, int argc,
                                                                char** argv, int index);

// Runs one application per control-file argument, in order: construct, make current, install
// the handlers, run, ClearMemory, delete, clear the current application. Returns the value of
// the last run (0 when no control file was given).
int RunControlFiles(DiagnosticStream& diag, int argc, char** argv,
                    const ApplicationFactory& factory);

// The entries "exitcode <result>" and "o.k.\n\nthe end.".
void WriteEnd(DiagnosticStream& diag, int result);

// Closes the diagnostics file; a file that could not be written completely ends the program
// with code 18 (its FATAL goes to the screen).
void FinishDiagnostics(DiagnosticStream& diag);

// The two FATAL entries of a code that reached the top level.
void ReportTopLevelFailure(DiagnosticStream& diag, int code);

// How long a process other than 0 waits before it aborts. When every process fails at the
// same point (the usual case: all of them run the same step), the first abort kills the others
// at once; the wait lets process 0 finish its report in the diagnostics file first. A process
// that fails alone has already written its FATAL entries to its standard error. Process 0 can
// be seconds behind the others on a loaded machine (2 s lost its FATAL entry under a load of
// 30): the wait only delays the end of a run that fails on another process alone.
inline constexpr int kNonRootAbortDelayMilliseconds = 10000;

// Aborts every process of the world communicator with `code`; processes other than 0 wait
// `delay_milliseconds` first. Returns only if the abort returns.
void AbortAllProcesses(int rank, int code, int delay_milliseconds = kNonRootAbortDelayMilliseconds);

// Chooses, before MPI_Init, an MPI file layer that takes no lock outside the folders of the
// files it opens. Open MPI's default layer (ompio) opens a shared-file-pointer component with
// every file; its `sm` component keeps a named semaphore per file name (/dev/shm/sem.OMPIO_<base
// name>), shared by every run on the host: a run killed inside an open leaves it taken, and
// every later run that opens a file of that base name, in any folder, waits at that open for
// ever. The model reads and writes at explicit offsets only and never uses a shared file
// pointer, so the other layer (ROMIO), which makes no such semaphore and no file beside the one
// it opens, serves it alike. Set whatever the user's MPI settings choose (a file layer chosen
// there would bring the semaphore back); without Open MPI nothing changes.
void ChooseMpiFileLayer();

// The whole program: MPI start, diagnostics stream, banner, process layout, one run per control
// file through `factory`, the report of a failure and the abort of all processes (non-root
// processes after `abort_delay_milliseconds`). An ErrorCode keeps its code; any other exception
// gets kForeignExceptionCode. Returns the exit code of a normal end. `main` passes the factory
// of this build; test programs pass their own.
int RunProgram(int argc, char** argv, const ApplicationFactory& factory,
               int abort_delay_milliseconds = kNonRootAbortDelayMilliseconds);

}  // namespace velorn
