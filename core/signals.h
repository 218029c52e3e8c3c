// Process-wide signal state and the SIGINT and SIGFPE handlers.
//
// Owns the few flags that the handlers write: whether an application (one model run) is current,
// its control state (0 = run on, 1 = Ctrl-C pressed and waiting for the menu; the time loop
// stores its other values 2, 3 and 99 here too) and the floating-point-error flag of the eight
// sub-models that the SIGFPE handler marks. They are `volatile std::sig_atomic_t` values, the
// only objects a handler touches, so a signal that arrives while a run is being torn down never
// reaches a deleted object.
//
// Callers: `main` installs both handlers around each run (and ignores SIGPIPE, so that a closed
// screen does not end a run); the application registers itself as
// current while it exists and polls the control state; the sub-models read and reset their
// floating-point-error flag; grid and stack readers and writers hold a SigintIgnoredScope while
// a file is open. Limits: one application per process at a time; the handlers are installed
// with sigaction and use only async-signal-safe calls (write, _exit, sigaction, tgkill).
//
// Interrupting a run: SIGINT (Ctrl-C in the terminal of a run started without mpirun) and
// SIGUSR1 take the same path. Under mpirun a Ctrl-C ends the whole job, because mpirun does not
// pass SIGINT on; it does pass SIGUSR1 to every process, so `kill -USR1 <pid of mpirun>` reaches
// the interrupt path of the run on every process. Everything said below of SIGINT holds for
// SIGUSR1 alike.
#pragma once

#include <signal.h>

#include <csignal>
#include <string>

namespace velorn {

// Exit code of a process ended by a real arithmetic trap (integer division by zero or
// overflow): 128 + SIGFPE, as a shell reports a process killed by that signal.
inline constexpr int kArithmeticTrapExitCode = 136;

// The sub-models whose floating-point-error flag the SIGFPE handler sets, in that order.
enum FpeSubModel : int {
  kFpeRadiationCorrection = 0,  // expokorrklasse
  kFpeEvapotranspiration,       // verdunstungsmodellklasse
  kFpeSnow,                     // schneemodellklasse
  kFpeInterception,             // interzeptionsmodellklasse
  kFpeUnsaturatedZone,          // unsatzonmodellklasse
  kFpeIrrigation,               // irrigationclass
  kFpeGroundwater,              // gwflowclass
  kFpeDischargeRouting,         // abflussmodellklasse
  kFpeSubModelCount
};

// Marks an application as current: its control state and every floating-point-error flag start
// at 0, or the control state at 1 when an interrupt arrived before (while the run was being set
// up), so that the run takes it at its first step.
void RegisterCurrentApplication();
// Ends the current application; the handlers stay installed but do nothing.
void ClearCurrentApplication();
bool HasCurrentApplication();

// Control state of the current application (`RunControlState`).
int ControlState();
void SetControlState(int state);
// The control state, set back to 0 in the same step: an interrupt arriving at any moment is
// either in the value returned or stays for the next call, never lost between a read and a reset.
int TakeControlState();

// Floating-point-error state of a sub-model: 0 none, 1 an error waits to be reported.
int FpeState(FpeSubModel model);
void SetFpeState(FpeSubModel model, int state);

// The termination signals: SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR2 and SIGXCPU, the signals
// that end a process by default and that users, mpirun and batch systems send (a cancelled job,
// a closed terminal, Ctrl-\, a time or CPU limit). Each is handled alike, below.
//
// The lock file that a termination signal removes before the process ends (the output folder's
// lock of the running run; path of at most 4095 characters), and the end of that.
void SetLockToRelease(const std::string& path);
void ClearLockToRelease();

// A function that a termination signal runs before the lock goes and the process ends: it puts back
// the files that a run's set-up set aside (core/output_files.h). It must be async-signal-safe.
// While a hook is set it runs on the thread that last called InstallRunHandlers, wherever the
// signal lands: another thread passes the signal on to it. Without one (nullptr: no set-up under
// way) the thread the signal lands on ends the process at once.
void SetTerminationHook(void (*hook)());

// Holds the termination signals back on this thread for its length: a termination signal that comes
// meanwhile waits and is taken when the scope ends. Each step that sets a file aside, puts it
// back or removes its copy runs in one, so the termination hook never sees a step half done.
class TerminationHeldScope {
 public:
  TerminationHeldScope();
  ~TerminationHeldScope();
  TerminationHeldScope(const TerminationHeldScope&) = delete;
  TerminationHeldScope& operator=(const TerminationHeldScope&) = delete;

 private:
  sigset_t previous_{};
};

// Rank of this process, for the tag of the trap message; `main` sets it after MPI starts.
void SetSignalRank(int rank);

// SIGINT and SIGUSR1 handler: ignores further signals of its kind, then moves the control state of
// the current application from 0 to 1 and tells the user to wait. Without a current application
// (the set-up of a run) it keeps the interrupt pending for the next application.
void OnInterrupt(int sig);
// An interrupt waits for the next application.
bool InterruptPending();
// What a SIGFPE does to the flags: when an application is current and the unsaturated zone
// has no unreported error, all eight flags become 1 and "floating point error" is written.
void OnFloatingPointError(int sig);
// The installed SIGFPE handler. A SIGFPE sent by a process (kill, raise) only sets the flags;
// a real trap would return to the faulting instruction and trap again forever, so after the
// flags it writes a FATAL line, tagged with the rank, to standard error and ends the process
// with kArithmeticTrapExitCode.
void OnFloatingPointTrap(int sig, siginfo_t* info, void* context);

// Installs OnInterrupt for SIGINT and SIGUSR1.
void EnableInterruptHandler();
// Gives SIGINT and SIGUSR1 their default action: a Ctrl-C then ends the process at once.
void DisableInterruptHandler();
// Installs both handlers; the program entry calls it as soon as MPI is up (a signal during the
// set-up of a run must not end the job) and again once an application has been constructed.
// The calling thread becomes the one that handles the termination signals.
void InstallRunHandlers();

// Holds SIGINT (and SIGUSR1) back while a grid, stack or table file is open: a signal arriving
// then interrupts neither the write nor the run, and is kept. When the outermost scope ends (also
// by an exception) the interrupt handler is installed again while an application is current;
// without one, the signals get back the actions they had before, so that Ctrl-C still ends a
// program that has no run to steer. A signal kept during the window is then raised again, so it
// takes that path (a Ctrl-C landing in a monthly table flush still opens the menu).
class SigintIgnoredScope {
 public:
  SigintIgnoredScope();
  ~SigintIgnoredScope();
  SigintIgnoredScope(const SigintIgnoredScope&) = delete;
  SigintIgnoredScope& operator=(const SigintIgnoredScope&) = delete;

 private:
  struct sigaction previous_[2]{};  // SIGINT, SIGUSR1
  bool outermost_ = false;
};

}  // namespace velorn
