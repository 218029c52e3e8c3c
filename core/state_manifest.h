// The manifest of a run's state: which run wrote the files a warm start reads, and whether it
// finished writing them.
//
// A run writes its state (the grids and stacks of the end, the storage content files) one file
// after another. A run killed between two of them, over a folder that held an earlier state,
// leaves files of two dates; a warm start from them would mix two runs. So the end of a run
// writes "velorn_state.txt" in its output folder around the state:
//
//   StateManifestWriter manifest(diag, output_folder, date, step);  // marks it incomplete
//   ...                                                  // every process writes its state files
//   manifest.Finish();  // collective: each file's size and hash, the run, "complete"; written last
//
// The manifest says the model date of the step whose end the state is and the step length
// ("date 2019 6 30 0 step 1440"), lists the files ("file <hash> <size> <name>"), names the state
// files of earlier runs in the folder that this run did not write again ("earlier <name>") and
// ends with the count of those lines ("end <n>"), so that a manifest cut short or with lines
// removed is told from a whole one.
// Until Finish the manifest says "incomplete" (since when) and keeps the files of the state it
// replaces. A warm start reads the manifest of its initial-state folder at set-up
// (ExamineStateManifest, collective); every reader of a state file (a stack, a storage content
// file, a grid read inside a StateGridRead) calls CheckStateFile for the file it opens:
//   - a state file of the folder, or one the manifest lists, while the manifest says
//     incomplete: FATAL (code 71), the state is of a run that did not finish it;
//   - a file the manifest lists whose bytes are not those the run wrote (size or hash): FATAL
//     (code 71) naming the file and the run that wrote the manifest;
//   - a file the manifest names as one of an earlier run: FATAL (code 71), a warm start reads
//     the state of one run (a run that wrote part of the state over a whole one);
//   - a state file of the folder the manifest does not list: FATAL (code 71), another run left
//     it (one killed while it wrote its state over the folder, one whose manifest is gone);
//   - a manifest that cannot be read (another first line, a line of another form, cut short,
//     lines removed): FATAL (code 71) naming it, for every state file of its folder;
//   - a state of another date than the step before the run's start: a WARNING, once.
// A sub-model's start grid (read inside a StateGridRead of kind kStartGrid) may be the user's own:
// a file of the folder that no manifest names is then read, with a WARNING, not refused.
// The grid reader calls CheckGridFile for every grid: an input (a grid read outside a
// StateGridRead) is no part of the state, and a run that reads no state (a cold start) does not
// need the manifest of the folder it reads its inputs from.
// A folder without a manifest (a state written before manifests, or copied without it) is read
// as before; the storage content file's readers say so once in a WARNING (ReportUncheckedState).
// A manifest of an older version (no date, no end line) is read, with a WARNING that the date
// of its state is not checked. Carriage returns at the line ends are no part of the lines.
// The files are named relative to the manifest's folder, so a state copied with its manifest
// to another folder stays checked. Hash: 64-bit FNV-1a over the file's bytes.
#pragma once

#include <cstdint>
#include <string>

#include "core/diagnostic_stream.h"
#include "core/model_date.h"

namespace velorn {

inline constexpr const char* kStateManifestName = "velorn_state.txt";
inline constexpr int kStateManifestCode = 71;

// 64-bit FNV-1a hash of the file's bytes and its size; false when it cannot be read.
bool HashFile(const std::string& path, uint64_t& hash, uint64_t& size);

class StateManifestWriter {
 public:
  // `date` is the model date of the step whose end the state is, `step_minutes` its length.
  StateManifestWriter(DiagnosticStream& diag, std::string folder, const ModelDate& date,
                      double step_minutes);
  ~StateManifestWriter();
  StateManifestWriter(const StateManifestWriter&) = delete;
  StateManifestWriter& operator=(const StateManifestWriter&) = delete;

  void Finish();

 private:
  DiagnosticStream& diag_;
  std::string folder_;
  std::string date_line_;
  bool recording_ = false;
};

// Reads the manifest of `folder` on process 0 and shares it with every process (collective).
void ExamineStateManifest(const std::string& folder);

// The first date of this run: a state read for it should be that of the step before.
void SetRunStartDate(const ModelDate& start);

// Refuses to read the state file `path` unless the examined manifest says it is of the state
// one run finished.
void CheckStateFile(DiagnosticStream& diag, const std::string& path);

// The grid reader's check: CheckStateFile for a grid read while a StateGridRead lives.
void CheckGridFile(DiagnosticStream& diag, const std::string& path);

// What a grid read inside a StateGridRead is:
//   kState: a grid of the stored state only (CheckStateFile);
//   kStartGrid: a sub-model's start grid that continues a stored state or that the user made
//     (start heads, start concentrations): checked as state when a manifest names it (listed,
//     or an earlier run's) or cannot tell (incomplete, unreadable); a file of the folder that
//     no manifest names is the user's own grid, read with a WARNING. It is one grid, not the
//     state of another run, so it mixes none.
enum class StateGridKind { kState, kStartGrid };

// While one lives (on every process, around the collective read), the grids read are state:
//   { const StateGridRead state; ReadGrid(name, grid, ...); }
class StateGridRead {
 public:
  explicit StateGridRead(StateGridKind kind = StateGridKind::kState);
  ~StateGridRead();
  StateGridRead(const StateGridRead&) = delete;
  StateGridRead& operator=(const StateGridRead&) = delete;

 private:
  StateGridKind kind_;
};

// Once per run: a WARNING that the state read from `path`'s folder has no manifest.
void ReportUncheckedState(DiagnosticStream& diag, const std::string& path);

}  // namespace velorn
