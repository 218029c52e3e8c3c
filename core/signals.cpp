// Signal handlers and the process-wide flags they set.
#include "core/signals.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace velorn {
namespace {

volatile std::sig_atomic_t g_application_current = 0;
// Lock-free, so the handler may set it and the time loop may take it in one exchange.
std::atomic<int> g_control_state{0};
static_assert(std::atomic<int>::is_always_lock_free);
// An interrupt that arrived while no application was current (during the set-up of a run).
volatile std::sig_atomic_t g_pending_interrupt = 0;
volatile std::sig_atomic_t g_fpe_state[kFpeSubModelCount] = {};
volatile std::sig_atomic_t g_rank = 0;

// The signals that interrupt a run: Ctrl-C, and SIGUSR1, which mpirun passes on.
constexpr int kInterruptSignals[2] = {SIGINT, SIGUSR1};

// The signals that end a run, each by default ending the process, as users and batch systems
// send them: mpirun ending the job (TERM), a terminal gone (HUP), Ctrl-\ (QUIT), an alarm
// (ALRM), a batch system's warning before its limit (USR2) and its CPU-time limit (XCPU).
constexpr int kTerminationSignals[] = {SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR2, SIGXCPU};

sigset_t TerminationSet() {
  sigset_t set;
  sigemptyset(&set);
  for (const int sig : kTerminationSignals) sigaddset(&set, sig);
  return set;
}

// Depth of nested SigintIgnoredScope windows (never touched by a handler).
std::atomic<int> g_ignore_depth{0};
// An interrupt signal that arrived inside a SigintIgnoredScope window, taken when it ends.
volatile std::sig_atomic_t g_deferred_interrupt = 0;

// The action of SIGINT and SIGUSR1 inside a file window: the signal is kept, not lost, and the
// write goes on (SA_RESTART), so a Ctrl-C during a table flush still opens the menu afterwards.
void DeferInterrupt(int sig) {
  g_deferred_interrupt = sig;
}

// write(2) of a constant text; the only output a handler makes.
void WriteRaw(int fd, const char* text) {
  std::size_t left = std::strlen(text);
  while (left > 0) {
    const ssize_t written = ::write(fd, text, left);
    if (written <= 0) return;
    text += written;
    left -= static_cast<std::size_t>(written);
  }
}

// "(mpi-rank  N) " as the diagnostics stream writes it, built without library calls.
void WriteRankTag(int fd) {
  char tag[32] = "(mpi-rank ";
  std::size_t at = 10;
  char digits[12];
  std::size_t count = 0;
  long rank = g_rank;
  do {
    digits[count++] = static_cast<char>('0' + rank % 10);
    rank /= 10;
  } while (rank > 0 && count < sizeof digits);
  if (count < 2) tag[at++] = ' ';
  while (count > 0) tag[at++] = digits[--count];
  tag[at++] = ')';
  tag[at++] = ' ';
  tag[at] = '\0';
  WriteRaw(fd, tag);
}

void SetAction(int sig, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  sigaction(sig, &action, nullptr);
}

// The lock file of the output folder that this process holds, removed by OnTerminate.
char g_held_lock[4096] = {};
volatile std::sig_atomic_t g_lock_held = 0;
std::atomic<void (*)()> g_termination_hook{nullptr};
// The thread that installed the handlers (the one that sets a run's files aside and writes
// them): the termination signals are handled there alone. Lock-free, read by the handler.
std::atomic<pid_t> g_termination_thread{0};
static_assert(std::atomic<pid_t>::is_always_lock_free);

pid_t CurrentThread() {
  return static_cast<pid_t>(::syscall(SYS_gettid));
}

// A termination signal (mpirun ending the job, a terminal gone, a batch system's limit): the
// process ends as the signal would end it, but first puts back what its set-up set aside and
// gives up the lock of its output folder, so that the next run in that folder is not refused.
//
// A signal sent to the process reaches whichever of its threads the kernel picks (MPI's progress
// threads, OpenMP's workers). Handled there, the put-back would race with the thread that goes on
// setting files aside and writing them: a file put back and then truncated by its writer, or set
// aside after the put-back, is lost. So another thread passes the signal on to the thread that
// installed the handlers and returns; that thread takes it between two set-aside steps (it holds
// the signals during each, TerminationHeldScope), where the record of the kept files is whole.
void OnTerminate(int sig) {
  // Without a hook (no set-up under way: none begun, or the first step done) there is nothing to
  // race with: the lock goes and the process ends where the signal landed, at once.
  void (*hook)() = g_termination_hook.load();
  const pid_t owner = g_termination_thread.load();
  if (hook != nullptr && owner > 0 && owner != CurrentThread()) {
    const int saved = errno;
    const bool passed = ::syscall(SYS_tgkill, ::getpid(), owner, sig) == 0;
    errno = saved;
    if (passed) return;  // else that thread is gone (a forked child): handled here
  }
  // The files a set-up set aside go back while this run still holds the folder.
  hook = g_termination_hook.load();
  if (hook != nullptr) hook();
  if (g_lock_held != 0) ::unlink(g_held_lock);
  g_lock_held = 0;
  SetAction(sig, SIG_DFL);
  ::raise(sig);
}

const char* TrapKind(int code) {
  switch (code) {
    case FPE_INTDIV:
      return "integer division by zero";
    case FPE_INTOVF:
      return "integer overflow";
    case FPE_FLTDIV:
      return "floating-point division by zero";
    case FPE_FLTOVF:
      return "floating-point overflow";
    case FPE_FLTUND:
      return "floating-point underflow";
    case FPE_FLTRES:
      return "inexact floating-point result";
    case FPE_FLTINV:
      return "invalid floating-point operation";
    case FPE_FLTSUB:
      return "subscript out of range";
    default:
      return "arithmetic error";
  }
}

}  // namespace

void RegisterCurrentApplication() {
  // An interrupt sent during the set-up is taken at the first step of the run.
  g_control_state = g_pending_interrupt != 0 ? 1 : 0;
  g_pending_interrupt = 0;
  for (auto& state : g_fpe_state) state = 0;
  g_application_current = 1;
}

void ClearCurrentApplication() {
  g_application_current = 0;
}

bool HasCurrentApplication() {
  return g_application_current != 0;
}

int ControlState() {
  return g_control_state;
}

void SetControlState(int state) {
  g_control_state = state;
}

int TakeControlState() {
  return g_control_state.exchange(0);
}

int FpeState(FpeSubModel model) {
  return g_fpe_state[model];
}

void SetFpeState(FpeSubModel model, int state) {
  g_fpe_state[model] = state;
}

bool InterruptPending() {
  return g_pending_interrupt != 0;
}

void OnInterrupt(int sig) {
  SetAction(sig, SIG_IGN);
  if (g_application_current == 0) {
    if (g_pending_interrupt != 0) return;
    g_pending_interrupt = 1;
    WriteRaw(STDOUT_FILENO, "\nCntr-C pressed! the menu opens when the run starts...\n\n");
    return;
  }
  int running = 0;
  if (!g_control_state.compare_exchange_strong(running, 1)) return;
  WriteRaw(STDOUT_FILENO, "\nCntr-C pressed! please wait...\n\n");
}

void OnFloatingPointError(int /*sig*/) {
  if (g_application_current == 0) return;
  if (g_fpe_state[kFpeUnsaturatedZone] != 0) return;
  for (auto& state : g_fpe_state) state = 1;
  WriteRaw(STDOUT_FILENO, "floating point error\n");
}

void OnFloatingPointTrap(int sig, siginfo_t* info, void* /*context*/) {
  OnFloatingPointError(sig);
  // si_code <= 0 means the signal was sent by a process (kill, raise, sigqueue): return to it.
  if (info == nullptr || info->si_code <= 0) return;
  WriteRankTag(STDERR_FILENO);
  WriteRaw(STDERR_FILENO, "FATAL: arithmetic trap (");
  WriteRaw(STDERR_FILENO, TrapKind(info->si_code));
  WriteRaw(STDERR_FILENO, "), the process cannot go on and ends with exit code 136\n");
  ::_exit(kArithmeticTrapExitCode);
}

void SetLockToRelease(const std::string& path) {
  g_lock_held = 0;
  if (path.empty() || path.size() >= sizeof g_held_lock) return;
  std::memcpy(g_held_lock, path.c_str(), path.size() + 1);
  g_lock_held = 1;
}

void ClearLockToRelease() {
  g_lock_held = 0;
}

void SetTerminationHook(void (*hook)()) {
  g_termination_hook = hook;
}

void SetSignalRank(int rank) {
  g_rank = rank;
}

void EnableInterruptHandler() {
  for (const int sig : kInterruptSignals) SetAction(sig, OnInterrupt);
}

void DisableInterruptHandler() {
  for (const int sig : kInterruptSignals) SetAction(sig, SIG_DFL);
}

void InstallRunHandlers() {
  g_termination_thread = CurrentThread();
  EnableInterruptHandler();
  // A screen that closes (the run piped into "head", a terminal gone) must not end the run
  // without a word, with its lock left behind: writes to it fail instead, and the run goes on
  // writing its files (the diagnostics stream notes the closed screen in its file).
  SetAction(SIGPIPE, SIG_IGN);
  // Each holds the others back while it runs: a HUP that follows a TERM (a closed terminal
  // while mpirun ends the job), or the TERM after a batch system's XCPU, does not start a
  // second put-back inside the first.
  struct sigaction terminate {};
  terminate.sa_handler = OnTerminate;
  terminate.sa_mask = TerminationSet();
  for (const int sig : kTerminationSignals) sigaction(sig, &terminate, nullptr);
  struct sigaction action {};
  action.sa_sigaction = OnFloatingPointTrap;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_SIGINFO;
  sigaction(SIGFPE, &action, nullptr);
}

TerminationHeldScope::TerminationHeldScope() {
  const sigset_t held = TerminationSet();
  pthread_sigmask(SIG_BLOCK, &held, &previous_);
}

TerminationHeldScope::~TerminationHeldScope() {
  pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

SigintIgnoredScope::SigintIgnoredScope() {
  outermost_ = g_ignore_depth.fetch_add(1) == 0;
  if (!outermost_) return;
  struct sigaction defer {};
  defer.sa_handler = DeferInterrupt;
  sigemptyset(&defer.sa_mask);
  defer.sa_flags = SA_RESTART;
  for (int i = 0; i < 2; ++i) {
    sigaction(kInterruptSignals[i], nullptr, &previous_[i]);
    // A signal the run already ignores (after a Ctrl-C, until the menu is done) stays ignored.
    if (previous_[i].sa_handler != SIG_IGN) sigaction(kInterruptSignals[i], &defer, nullptr);
  }
}

SigintIgnoredScope::~SigintIgnoredScope() {
  g_ignore_depth.fetch_sub(1);
  if (!outermost_) return;
  if (HasCurrentApplication()) {
    EnableInterruptHandler();
  } else {
    for (int i = 0; i < 2; ++i) sigaction(kInterruptSignals[i], &previous_[i], nullptr);
  }
  // The interrupt that came during the window now takes the path it would have taken.
  const int deferred = g_deferred_interrupt;
  g_deferred_interrupt = 0;
  if (deferred != 0) raise(deferred);
}

}  // namespace velorn
