#include "tests/support/velorn_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace velorn::test {
namespace fs = std::filesystem;

namespace {

std::string SlurpFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : fallback;
}

RunResult Execute(const std::string& directory, const std::vector<std::string>& command,
                  const std::vector<std::string>& environment, int timeout_seconds,
                  const std::function<void(int)>& while_running = {},
                  const std::string& input = {}) {
  char pattern[] = "/tmp/velorn-run-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  const fs::path capture(pattern);
  const std::string out_path = (capture / "stdout").string();
  const std::string err_path = (capture / "stderr").string();
  const std::string in_path = input.empty() ? "/dev/null" : (capture / "stdin").string();
  if (!input.empty()) std::ofstream(in_path, std::ios::binary) << input;

  pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    setpgid(0, 0);
    if (chdir(directory.c_str()) != 0) _exit(126);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int in = open(in_path.c_str(), O_RDONLY);
    if (out < 0 || err < 0 || in < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    for (const auto& setting : environment) putenv(const_cast<char*>(setting.c_str()));
    std::vector<char*> argv;
    for (const auto& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }

  if (while_running) while_running(child);
  RunResult result;
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  while (true) {
    pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) break;
    if (std::chrono::steady_clock::now() > deadline) {
      result.timed_out = true;
      kill(-child, SIGKILL);
      waitpid(child, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (WIFEXITED(status))
    result.exit_status = WEXITSTATUS(status);
  else if (WIFSIGNALED(status))
    result.exit_status = 128 + WTERMSIG(status);
  result.out = SlurpFile(out_path);
  result.err = SlurpFile(err_path);
  std::error_code ignored;
  fs::remove_all(capture, ignored);
  return result;
}

}  // namespace

std::string RunResult::Describe() const {
  std::ostringstream text;
  text << "exit status " << exit_status << (timed_out ? " (timed out)" : "") << "\n--- stdout\n"
       << out << "\n--- stderr\n"
       << err << "\n--- diagnostics\n"
       << diag;
  return text.str();
}

RunResult RunVelorn(const RunOptions& options, const std::vector<std::string>& arguments) {
  std::vector<std::string> command = {
      EnvOr("VELORN_MPIEXEC", "mpirun"), "--allow-run-as-root", "--oversubscribe",
      // Unbound, so that the runs CTest starts side by side spread over the cores. Bound, every
      // run's process 0 shares core 0 and its process 1 core 1 with those of all other runs;
      // two processes that wait for each other (yielding) then step in turn with the other
      // runs, and a warm start of 4 s took over 300 s on a busy machine.
      "--bind-to", "none", "-np", std::to_string(options.processes),
      options.binary.empty() ? EnvOr("VELORN_BINARY", "velorn") : options.binary};
  command.insert(command.end(), arguments.begin(), arguments.end());
  RunResult result = Execute(options.directory, command, options.environment,
                             options.timeout_seconds, options.while_running, options.input);
  if (!options.diag_file.empty())
    result.diag = SlurpFile(fs::path(options.directory) / options.diag_file);
  return result;
}

RunResult RunCommand(const std::string& directory, const std::vector<std::string>& command,
                     int timeout_seconds) {
  return Execute(directory, command, {}, timeout_seconds);
}

std::string ValidateDiagnostics(const std::string& xml_path, const std::string& schema_path) {
  RunResult check = RunCommand(fs::path(xml_path).parent_path().string(),
                               {"xmllint", "--noout", "--schema", schema_path, xml_path});
  if (check.exit_status == 0) return {};
  return check.err.empty() ? "xmllint failed with status " + std::to_string(check.exit_status)
                           : check.err;
}

std::string DiagnosticsLine(int level, const std::string& description) {
  return "\t<line level=\"" + std::to_string(level) + "\" description= \"" + description + "\"/>";
}

RunResult RunExampleControl(const std::string& directory, int processes, int threads,
                            const std::vector<std::string>& control_files,
                            std::function<void(int pid)> while_running) {
  RunOptions options;
  options.processes = processes;
  options.directory = directory;
  options.environment = {"OMP_NUM_THREADS=" + std::to_string(threads)};
  // Several threads take the rows one at a time, so that a result depending on their order
  // shows; a thread that waits for the others sleeps (the runs of the tests share the cores,
  // and spinning threads of an inner loop with many short regions slow a run a hundredfold).
  if (threads > 1) {
    options.environment.push_back("OMP_SCHEDULE=dynamic,1");
    options.environment.push_back("OMP_WAIT_POLICY=passive");
  }
  options.timeout_seconds = 300;
  options.while_running = std::move(while_running);
  return RunVelorn(options, control_files);
}

}  // namespace velorn::test
