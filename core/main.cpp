// Program entry of velorn: starts MPI, creates the diagnostics stream, writes the banner and the
// process layout, runs one model run per control file and owns the exit code. Every error code
// that leaves start-up or a run ends here: it is reported and all processes are aborted with it.
#include <mpi.h>

#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "core/diagnostic_stream.h"
#include "core/error_code.h"
#include "core/mpi_operations.h"
#include "core/program_entry.h"

using namespace velorn;

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  int rank = 0;
  int size = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  MPI_Barrier(MPI_COMM_WORLD);

  std::unique_ptr<DiagnosticStream> diag;
  int code = 0;
  try {
    const DiagnosticsOptions options =
        ScanDiagnosticsOptions(std::vector<std::string>(argv, argv + argc));
    diag = std::make_unique<DiagnosticStream>(options.file_name, options.threshold);
    WriteBanner(*diag);
    ReportProcessLayout(*diag, rank, size);
    if (argc < 2) FailWithUsage(*diag);

    const int result = RunControlFiles(*diag, argc, argv, MakeUnavailableApplication);

    WriteEnd(*diag, result);
    FreeMpiOperations();
    MPI_Finalize();
    diag.reset();
    return result;
  } catch (const ErrorCode& error) {
    code = error.code;
  } catch (const std::exception& error) {
    code = kForeignExceptionCode;
    if (diag) *diag << "FATAL: unexpected error: " << error.what() << "[end-entry]";
  } catch (...) {
    code = kForeignExceptionCode;
  }
  // Without a stream (its constructor failed with 320) the console already has the reason.
  if (diag) ReportTopLevelFailure(*diag, code);
  diag.reset();
  AbortAllProcesses(rank, code);
  return code;
}
