// Steps of the program entry: options, banner, process layout, usage, run loop, end.
#include "core/program_entry.h"

#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <thread>

#include "core/error_code.h"
#include "core/mpi_operations.h"
#include "core/output_files.h"
#include "core/signals.h"
#include "core/string_helpers.h"
#include "version.h"

namespace velorn {
namespace {

constexpr const char* kDiagLevelOption = "-diaglevel:";
constexpr const char* kDiagFileOption = "-diagfile:";

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

std::vector<std::string> ArgumentList(int argc, char** argv) {
  std::vector<std::string> args;
  args.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) args.emplace_back(argv[i] != nullptr ? argv[i] : "");
  return args;
}

// Clears the current application when a run ends, also when it ends in an error, so that the
// handlers never act for a run that is gone.
class CurrentApplicationGuard {
 public:
  CurrentApplicationGuard() { RegisterCurrentApplication(); }
  ~CurrentApplicationGuard() { ClearCurrentApplication(); }
  CurrentApplicationGuard(const CurrentApplicationGuard&) = delete;
  CurrentApplicationGuard& operator=(const CurrentApplicationGuard&) = delete;
};

}  // namespace

int ThresholdFromName(const std::string& name) {
  const std::string upper = ToUpperCopy(name);
  if (upper == "FATAL") return kLevelFatal;
  if (upper == "ERROR") return kLevelError;
  if (upper == "WARNING") return kLevelWarning;
  if (upper == "INFO") return kLevelInfo;
  return kLevelDebug;
}

DiagnosticsOptions ScanDiagnosticsOptions(const std::vector<std::string>& args) {
  DiagnosticsOptions options;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (StartsWith(arg, kDiagLevelOption)) {
      options.threshold = ThresholdFromName(arg.substr(std::string(kDiagLevelOption).size()));
    } else if (StartsWith(arg, kDiagFileOption)) {
      options.file_name = arg.substr(std::string(kDiagFileOption).size());
    }
  }
  return options;
}

bool IsOptionArgument(const std::string& arg) {
  return StartsWith(arg, kDiagLevelOption) || StartsWith(arg, kDiagFileOption) ||
         Contains(arg, "-dumpmode") || Contains(arg, "-closeAfterDump") ||
         Contains(arg, "-repairAfterDump");
}

std::vector<int> ControlFileIndexes(const std::vector<std::string>& args) {
  std::vector<int> indexes;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (!IsOptionArgument(args[i])) indexes.push_back(static_cast<int>(i));
  }
  return indexes;
}

std::string VersionText() {
  std::string text = std::string("Richards ") + VELORN_VERSION +
                     ", last change: " + VELORN_LAST_CHANGE + ", compiled at " + VELORN_BUILD_TIME;
  std::erase(text, '$');
  return text;
}

void WriteBanner(DiagnosticStream& diag) {
  diag << "----------------------------------------------------------------------------"
       << "[end-entry]";
  diag << "Velorn-Marn (MPI) "
       << "[end-entry]";
  diag << "64-bit Version on Linux "
       << "[end-entry]";
  diag << "Version: " << VersionText() << "[end-entry]";
  diag << " Velorn: distributed water balance and runoff model for river basins,\n"
          " computed cell by cell on a regular grid in steps of minutes to days.\n"
          " MPI processes share the grid in row strips, OpenMP threads share the rows.\n"
          " Messages go to this screen and to the XML diagnostics file of process 0.\n"
          " Ctrl-C during a run opens a menu: finish, stop, or flush the outputs.\n"
          " Control files run one after the other in command-line order.\n"
          "\n"
          " Questions and reports: the Velorn developers (see README.md).\n"
          "---------------------------------------------------------------------------"
       << "[end-entry]";
  diag.FlushScreen();
}

void ReportOpenMPThreads(ThreadReport& report) {
#pragma omp parallel
  {
    std::printf("This is OpenMP thread %d\n", omp_get_thread_num());
#pragma omp barrier
    if (omp_get_thread_num() == 0) {
      report.threads = omp_get_num_threads();
      std::printf("*** There are %d OpenMP threads total for MPI process %d\n", report.threads,
                  report.process);
    }
  }
}

void ReportProcessLayout(DiagnosticStream& diag, int rank, int size) {
  ThreadReport report{rank, 0};
  if (rank == 0) {
    diag << "\n this is the MPI-Version of Velorn, here is instance " << 1 << " of " << size
         << "[end-entry]";
  } else {
    std::printf("\n this is the MPI-Version of Velorn, here is instance %d of %d\n", rank + 1,
                size);
  }
  ReportOpenMPThreads(report);
  std::fflush(nullptr);
  std::cout.flush();
  diag.FlushScreen();
}

namespace {

// The name the program was started with, without its folder ("velorn" when argv is empty).
std::string ProgramName(const std::vector<std::string>& args) {
  if (args.empty() || args[0].empty()) return "velorn";
  const std::size_t slash = args[0].find_last_of('/');
  return slash == std::string::npos ? args[0] : args[0].substr(slash + 1);
}

// The usage text: the command line (after `level`, "FATAL: " or "INFO: ") and the options.
void WriteUsage(DiagnosticStream& diag, const char* level, const std::string& program) {
  diag << level << "\nusage: " << program
       << " <control-file> [<control-file> ...] "
          "[-diagfile:<diagnostics_file>] [-diaglevel:<FATAL|ERROR|WARNING|INFO|DEBUG>] "
          "[-dumpmode[:n] [-closeAfterDump|-repairAfterDump]] [-h|--help]\n"
       << "[end-entry]";
  diag << "INFO: "
       << "\n-diagfile:<name.xml>: the diagnostics file; process 0 writes <name>_0.xml "
          "(default Velorn_Diag_0.xml)"
       << "\n-diaglevel:<level>: the highest level written to the diagnostics file (default "
          "DEBUG, everything); the screen shows every message"
       << "\n-dumpmode: if soil moisture or soil temperatures or hydraulic head (all in "
          "Richards approach only) leave the expected range, a dumpfile is written containing "
          "the actual internal registers (can be used for debugging); -dumpmode:n writes at "
          "most n of them"
       << "\n-closeAfterDump: with -dumpmode, Velorn stops the run after the first dumpfile "
          "(code 199; useful to prevent the hard disk from being filled up with dumpfiles)"
       << "\n-repairAfterDump: let Velorn try to repair the unexpected results, e.g. a soil "
          "temperature that is higher or lower than that of both neighboring soil layers will "
          "be set to the maximum/minimum of the neighboring layers etc. Although the error is "
          "repaired it may well happen that the hard disk is flooded with other dump files."
       << "\n-h, --help: show this text and end"
       << "[end-entry]";
}

// "--help" or "-h" anywhere on the command line.
bool AsksForHelp(const std::vector<std::string>& args) {
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--help" || args[i] == "-h") return true;
  }
  return false;
}

// Without OMP_NUM_THREADS every process would start a thread per core of the node, so that
// several processes on one node run many times more threads than there are cores.
void SetDefaultThreadCount() {
  const char* given = std::getenv("OMP_NUM_THREADS");
  if (given != nullptr && given[0] != '\0') return;
  const int node_cores = static_cast<int>(std::thread::hardware_concurrency());
  omp_set_num_threads(
      DefaultThreadCount(node_cores > 0 ? node_cores : 1, ProcessesOnNode(), omp_get_num_procs()));
}

}  // namespace

void FailWithUsage(DiagnosticStream& diag, const std::string& program) {
  WriteUsage(diag, "FATAL: ", program);
  throw ErrorCode{kNoArgumentCode};
}

int DefaultThreadCount(int node_cores, int processes_on_node, int usable_cores) {
  const int share = node_cores / std::max(processes_on_node, 1);
  return std::max(1, std::min(share, usable_cores));
}

std::unique_ptr<RunnableApplication> MakeUnavailableApplication(DiagnosticStream& diag,
                                                                int /*argc*/, char** argv,
                                                                int index) {
  ThrowFatal(diag, kModelRunUnavailableCode, "FATAL: model run of control file ", argv[index],
             " is not available in this build");
}

int RunControlFiles(DiagnosticStream& diag, int argc, char** argv,
                    const ApplicationFactory& factory) {
  int result = 0;
  for (const int index : ControlFileIndexes(ArgumentList(argc, argv))) {
    // A run that fails before its first step is done puts back the files of an earlier run
    // that its set-up replaced (declared first, so the application is gone when it does).
    SetUpOutputKeeper keeper;
    std::unique_ptr<RunnableApplication> application = factory(diag, argc, argv, index);
    CurrentApplicationGuard current;
    result = 0;
    InstallRunHandlers();
    result = application->run();
    EndOfSetUp();
    application->ClearMemory();
    application.reset();
  }
  return result;
}

void WriteEnd(DiagnosticStream& diag, int result) {
  diag << "exitcode " << result << "[end-entry]";
  diag << "o.k.\n\nthe end."
       << "[end-entry]";
}

void FinishDiagnostics(DiagnosticStream& diag) {
  diag.Finish();
  diag.RequireWritten();
}

void ReportTopLevelFailure(DiagnosticStream& diag, int code) {
  diag << "FATAL: Exception " << code << " caught at top level!"
       << "[end-entry]";
  diag << "FATAL: Program aborted with exit code " << code << "[end-entry]";
}

void AbortAllProcesses(int rank, int code, int delay_milliseconds) {
  if (rank != 0 && delay_milliseconds > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_milliseconds));
  }
  MPI_Abort(MPI_COMM_WORLD, code);
}

void ChooseMpiFileLayer() {
#ifdef OMPI_MAJOR_VERSION
  // Every file layer but ompio: the ROMIO component of this Open MPI, whatever its version name.
  setenv("OMPI_MCA_io", "^ompio", 1);
#endif
}

int RunProgram(int argc, char** argv, const ApplicationFactory& factory,
               int abort_delay_milliseconds) {
  ChooseMpiFileLayer();
  MPI_Init(&argc, &argv);
  int rank = 0;
  int size = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  SetSignalRank(rank);
  InstallRunHandlers();
  MPI_Barrier(MPI_COMM_WORLD);

  std::unique_ptr<DiagnosticStream> diag;
  int code = 0;
  try {
    const DiagnosticsOptions options = ScanDiagnosticsOptions(ArgumentList(argc, argv));
    diag = std::make_unique<DiagnosticStream>(options.file_name, options.threshold);
    WriteBanner(*diag);
    const std::vector<std::string> args = ArgumentList(argc, argv);
    // "--help" shows the usage and ends as a run that ended normally, without starting the
    // threads a run would use.
    const bool help = argc >= 2 && AsksForHelp(args);
    if (!help) {
      SetDefaultThreadCount();
      ReportProcessLayout(*diag, rank, size);
    }
    if (argc < 2) FailWithUsage(*diag, ProgramName(args));
    int result = 0;
    if (help)
      WriteUsage(*diag, "INFO: ", ProgramName(args));
    else
      result = RunControlFiles(*diag, argc, argv, factory);

    WriteEnd(*diag, result);
    FinishDiagnostics(*diag);
    FreeMpiOperations();
    MPI_Finalize();
    diag.reset();
    return result;
  } catch (const RunStopped& stop) {
    WriteEnd(*diag, stop.code);
    FinishDiagnostics(*diag);
    FreeMpiOperations();
    MPI_Finalize();
    diag.reset();
    return stop.code;
  } catch (const ErrorCode& error) {
    code = error.code;
  } catch (const std::exception& error) {
    code = kForeignExceptionCode;
    if (diag) *diag << "FATAL: unexpected error: " << error.what() << "[end-entry]";
  } catch (...) {
    code = kForeignExceptionCode;
    if (diag)
      *diag << "FATAL: unexpected error of unknown type"
            << "[end-entry]";
  }
  // Without a stream (its constructor failed with 320) the console already has the reason.
  if (diag) ReportTopLevelFailure(*diag, code);
  diag.reset();
  AbortAllProcesses(rank, code, abort_delay_milliseconds);
  return code;
}

}  // namespace velorn
