// Runs the velorn binary under mpirun for whole-model tests, the way a user would: in a given
// working directory, with a process count and arguments, under a time limit so that a hang
// fails the test instead of blocking the suite.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace velorn::test {

struct RunResult {
  int exit_status = -1;  // exit code of mpirun (the code of the aborting process on failure)
  bool timed_out = false;
  std::string out;   // standard output of all processes
  std::string err;   // standard error of all processes
  std::string diag;  // the diagnostics file of process 0, empty when none was written

  std::string Describe() const;  // everything above, for assertion messages
};

struct RunOptions {
  int processes = 1;
  std::string directory;                        // working directory of the run
  std::string diag_file = "Velorn_Diag_0.xml";  // read back after the run, relative to directory
  int timeout_seconds = 120;
  std::vector<std::string> environment;  // extra NAME=value settings
  std::string binary;                    // program to start; empty: the velorn binary
  // Text that the run reads on its standard input (empty: none, as from /dev/null).
  std::string input;
  // Called once the run has started, with the pid of mpirun (to send it a signal).
  std::function<void(int pid)> while_running;
};

RunResult RunVelorn(const RunOptions& options, const std::vector<std::string>& arguments);

// A run of the control file "front-range.ctl" in `directory` (or of `control_files` one after
// the other) with `threads` OpenMP threads per process (one unless asked; several take the rows
// one at a time) and up to five minutes, as the whole-model runs of the example's variants take;
// `while_running` as in RunOptions.
RunResult RunExampleControl(const std::string& directory, int processes, int threads = 1,
                            const std::vector<std::string>& control_files = {"front-range.ctl"},
                            std::function<void(int pid)> while_running = {});

// Runs any command (no mpirun) in a directory with a time limit; used for checks with tools
// such as xmllint.
RunResult RunCommand(const std::string& directory, const std::vector<std::string>& command,
                     int timeout_seconds = 60);

// Validates an XML diagnostics file against the PI diagnostics schema in the reference data.
// Returns an empty string when valid, else xmllint's complaint; nothing (skips) when the schema
// is absent is left to the caller through RefData.
std::string ValidateDiagnostics(const std::string& xml_path, const std::string& schema_path);

// The line of a diagnostics file that holds one entry, without its line end.
std::string DiagnosticsLine(int level, const std::string& description);

}  // namespace velorn::test
