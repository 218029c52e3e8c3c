// The routing section of the storage file: the routing model finds and writes the section, every
// stretch reads and writes its own block (see routing_model.h and routing_stretch.h).
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "core/number_reader.h"
#include "core/error_code.h"
#include "core/output_files.h"
#include "core/state_manifest.h"
#include "core/string_helpers.h"
#include "core/value_ranges.h"
#include "routing/routing_model.h"
#include "routing/routing_stretch.h"

namespace velorn {
namespace {

// Values of a history row per line of the file.
constexpr int32_t kValuesPerLine = 10;
constexpr const char* kSectionName = "routing_model";
constexpr const char* kReceivedLabel = "received through connections, reservoir";
// The line of a section's linear-storage concentrations (with tracers only).
constexpr const char* kMixedLabel = "].Cmix[subchannel ";
// The line of a section's last scheduled history position and its storage (water, solute).
constexpr const char* kScheduleLabel = "].last_and_storage[subchannel ";
// The line that opens the irrigation block after the stretches (with irrigation only).
constexpr const char* kIrrigationLabel = "irrigation: subbasins and tracers";

bool ReadToken(StorageFileReader& in, std::string& token) {
  token.clear();
  int c = std::fgetc(in.file);
  while (c != EOF && std::isspace(c) != 0) {
    if (c == '\n') ++in.line;
    c = std::fgetc(in.file);
  }
  while (c != EOF && std::isspace(c) == 0) {
    token.push_back(static_cast<char>(c));
    c = std::fgetc(in.file);
  }
  if (c != EOF) std::ungetc(c, in.file);
  return !token.empty();
}

}  // namespace

bool StorageFileReader::Read(double& value) {
  std::string& token = last;
  if (!ReadToken(*this, token)) return false;
  return ReadNumber(token, value);
}

bool StorageFileReader::Read(int32_t& value) {
  std::string& token = last;
  if (!ReadToken(*this, token)) return false;
  return ReadNumber(token, value);
}

void StorageFileReader::SkipLine() {
  int c = std::fgetc(file);
  while (c != EOF && c != '\n') c = std::fgetc(file);
  if (c == '\n') ++line;
}

bool StorageFileReader::ReadLine(std::string& text) {
  text.clear();
  int c = std::fgetc(file);
  if (c == EOF) return false;
  while (c != EOF && c != '\n') {
    text.push_back(static_cast<char>(c));
    c = std::fgetc(file);
  }
  if (c == '\n') ++line;
  return true;
}

// --- The stretch's block ---------------------------------------------------------------------

void routingclass::WriteStorageState(CheckedFile& file) const {
  file.Printf("%d (routing subbasin with tributaries", tg_code_);
  for (int32_t i = 1; i <= ntrib_; ++i) file.Printf(" %d", items_[i].code);
  file.Printf("\n");
  auto history = [&](int32_t tr, int32_t t, int32_t item, const char* label) {
    file.Printf("%d %d (tracer/flow index and %s)\n", tr, t, label);
    const int32_t length = nsub_ + items_[item].record.history_length;
    for (int32_t k = 1; k <= length; ++k) {
      file.Printf("%.17g ", history_[tr][t][k]);
      if (k % kValuesPerLine == 0) file.Printf("\n");
    }
    file.Printf("\n");
  };
  auto sections = [&](int32_t item, int32_t label) {
    const ChannelRecord& r = items_[item].record;
    for (int32_t s = 1; s <= r.SectionCount(); ++s) {
      for (int32_t j = 1; j <= nsub_; ++j) file.Printf("%.17g ", r.Outflow(s, j));
      file.Printf(" (wqtab[local tributary %d].Qaus[subchannel %d][1..%d])\n", label, s, nsub_);
      file.Printf("%.17g (wqtab[local tributary %d].qvzuq[subchannel %d])\n", r.previous_share[s],
                  label, s);
      if (ntr_ >= 1) {
        file.Printf("%d ", ntr_);
        for (int32_t tr = 1; tr <= ntr_; ++tr) file.Printf("%.17g ", r.mixed[tr][s]);
        file.Printf("(wqtab[local tributary %d%s%d][1..%d])\n", label, kMixedLabel, s, ntr_);
      }
      file.Printf("%d ", r.last[s]);
      for (int32_t tr = 0; tr <= ntr_; ++tr) file.Printf("%.17g ", r.storage[tr][s]);
      file.Printf("(wqtab[local tributary %d%s%d])\n", label, kScheduleLabel, s);
    }
  };
  for (int32_t i = 1; i <= ntrib_ + nlist_; ++i) {
    std::vector<int32_t> sources;
    for (int32_t member : items_[i].members) sources.push_back(IndexOf(member));
    sources.push_back(IndexOf(items_[i].code));
    for (int32_t t : sources) {
      for (int32_t tr = 0; tr <= ntr_; ++tr) history(tr, t, i, "tributary subbasin");
      sections(i, i);
      if (records_ != nullptr) {
        const ReinfiltrationRecord& record = records_[t];
        for (int32_t tr = 0; tr <= ntr_; ++tr) file.Printf("%.17g ", record.riverValues[tr]);
        file.Printf("(riverflow_table[%d].flow_mm[%d])\n", t, ntr_ + 1);
        file.Printf("%.17g %.17g (riverflow_table[%d].flowm3s/speed\n", record.offeredWater,
                    record.channelLength, t);
      }
    }
  }
  // Each inflow block carries the state of the inflow's own channel.
  for (int32_t k = 1; k <= nZL_; ++k) {
    const int32_t item = ntrib_ + nlist_ + k;
    for (int32_t tr = 0; tr <= ntr_; ++tr) history(tr, FlowIndex(item), item, "external inflow");
    sections(item, k);
  }
  file.Printf("%d (number of reservoirs)\n", nSP_);
  // Per reservoir its state, its running-average setting and the running-average list, each
  // on a line of its own (the list line may be empty), then the water it received through a
  // hydraulic connection and books in Qin at its next step (exact, so the balance continues).
  for (int32_t k = 1; k <= nSP_; ++k) {
    const SP_class& r = reservoirs_[k];
    for (int32_t tr = 0; tr <= ntr_; ++tr) file.Printf("%.17g ", r.state()[tr]);
    file.Printf(" (reservoir %d)\n", k);
    file.Printf("%d (useRunningAvg reservoir %d)\n", r.UseRunningAvg(), k);
    for (double v : r.history()) file.Printf("%.17g ", v);
    file.Printf("\n");
    file.Printf("%.17g (%s %d)\n", r.received(), kReceivedLabel, k);
  }
  file.Printf("\n\n");
}

int32_t routingclass::ReadStorageState(StorageFileReader& in) {
  int32_t without_tracers = 0;
  // `read` is what the file holds there (the last word read, or the line).
  std::string read;
  auto fail = [&](const char* what) {
    ThrowFatal(*diag, kRoutingStorageContentCode, "FATAL: error reading ", what, " in file ",
               in.name, " (position ", in.line, "): \"", read.empty() ? in.last : read, "\"");
  };
  auto value = [&](double& v) {
    if (!in.Read(v)) fail("a state value");
  };
  // A stored value against what this model writes there (NaN never passes): the FATAL entry
  // names the file, its line, the store and the value.
  auto require = [&](const std::string& store, double v, double low, double high) {
    if (v >= low && v <= high) return;
    ThrowFatal(*diag, kRoutingStorageContentCode, "FATAL: storage content file ", in.name,
               ", line ", in.line, ": ", store, " of the stretch of subbasin ", tg_code_, " holds ",
               v, ", outside ", low, " to ", high, " (what this run can have written there)");
  };
  auto bounded = [&](double& v, const std::string& store, double low, double high) {
    value(v);
    require(store, v, low, high);
  };
  constexpr double kAny = std::numeric_limits<double>::max();
  int32_t code = 0;
  if (!in.Read(code) || code != tg_code_) fail("subbasin code");
  in.SkipLine();
  auto history = [&](int32_t tr, int32_t t, int32_t item) {
    int32_t tracer = 0;
    int32_t index = 0;
    if (!in.Read(tracer) || tracer != tr) fail("tracer code");
    if (!in.Read(index) || index != t) fail("tributary index");
    in.SkipLine();
    // Discharges (m3/s) of water, up to the largest river's; below 0 where the water that
    // re-infiltrated from the channel (taken from the step's runoff) exceeded a sub-step's
    // runoff, a shortfall the routing carries on; a tracer's any number.
    const int32_t length = nsub_ + items_[item].record.history_length;
    for (int32_t k = 1; k <= length; ++k)
      bounded(history_[tr][t][k], FormatText("the history of tracer/flow %d, source %d", tr, t),
              tr == 0 ? -kLargestDischarge : -kAny, tr == 0 ? kLargestDischarge : kAny);
  };
  // The next line when it carries `label`; otherwise the file stays where it was.
  auto optional_line = [&](const char* label, std::string& text) {
    const long mark = std::ftell(in.file);
    const int64_t line = in.line;
    if (in.ReadLine(text) && text.find(label) != std::string::npos) return true;
    std::fseek(in.file, mark, SEEK_SET);
    in.line = line;
    return false;
  };
  auto sections = [&](int32_t item) {
    ChannelRecord& r = items_[item].record;
    for (int32_t s = 1; s <= r.SectionCount(); ++s) {
      const std::string section = FormatText("section %d of channel %d", s, item);
      for (int32_t j = 1; j <= nsub_; ++j)
        // Below 0 as the source histories can be.
        bounded(r.Outflow(s, j), "the outflow (m3/s) of " + section, -kLargestDischarge,
                kLargestDischarge);
      r.Outflow(s, 0) = r.Outflow(s, nsub_);
      in.SkipLine();
      bounded(r.previous_share[s], "the flood share of " + section, 0.0, 1.0);
      in.SkipLine();
      // The concentrations of the linear storages; a file without them (a run without tracers
      // wrote it) goes on with the next block, the storages' water free of the tracers.
      std::string text;
      if (!optional_line(kMixedLabel, text)) {
        for (int32_t tr = 1; tr <= ntr_; ++tr) r.mixed[tr][s] = 0.0;
        ++without_tracers;
      } else {
        std::size_t pos = 0;
        int32_t count = 0;
        read = text;
        if (!ScanValue(text, pos, count) || count != ntr_)
          fail("the tracer count of the channel storages");
        for (int32_t tr = 1; tr <= ntr_; ++tr)
          if (!ScanValue(text, pos, r.mixed[tr][s]) || !std::isfinite(r.mixed[tr][s]))
            fail("a tracer concentration");
        read.clear();
      }
      // The last scheduled position and the section storage; a file without them leaves them as
      // the initialisation set them.
      if (!optional_line(kScheduleLabel, text)) continue;
      std::size_t pos = 0;
      int32_t last = 0;
      read = text;
      if (!ScanValue(text, pos, last) || last < 0 || last > nsub_ + r.history_length)
        fail("the last scheduled position of a channel section");
      r.last[s] = last;
      // The water the section holds back: at most what its history positions carried, in either
      // direction (positions that withdrawals lowered below 0 go into it as they are).
      const double held = kLargestDischarge * (nsub_ + r.history_length);
      for (int32_t tr = 0; tr <= ntr_; ++tr) {
        if (!ScanValue(text, pos, r.storage[tr][s])) fail("the storage of a channel section");
        require(FormatText("the storage of tracer/flow %d in ", tr) + section, r.storage[tr][s],
                tr == 0 ? -held : -kAny, tr == 0 ? held : kAny);
      }
      read.clear();
    }
  };
  for (int32_t i = 1; i <= ntrib_ + nlist_; ++i) {
    std::vector<int32_t> sources;
    for (int32_t member : items_[i].members) sources.push_back(IndexOf(member));
    sources.push_back(IndexOf(items_[i].code));
    for (int32_t t : sources) {
      for (int32_t tr = 0; tr <= ntr_; ++tr) history(tr, t, i);
      sections(i);
      if (records_ != nullptr) {
        ReinfiltrationRecord& record = records_[t];
        for (int32_t tr = 0; tr <= ntr_; ++tr)
          bounded(record.riverValues[tr], "the river flow of the reinfiltration", -kAny, kAny);
        in.SkipLine();
        bounded(record.offeredWater, "the water offered for reinfiltration", -kAny, kAny);
        bounded(record.channelLength, "the channel length of the reinfiltration", 0.0, kAny);
        in.SkipLine();
      }
    }
  }
  for (int32_t k = 1; k <= nZL_; ++k) {
    const int32_t item = ntrib_ + nlist_ + k;
    for (int32_t tr = 0; tr <= ntr_; ++tr) history(tr, FlowIndex(item), item);
    sections(item);
  }
  int32_t reservoirs = 0;
  if (!in.Read(reservoirs) || reservoirs != nSP_) fail("reservoir code");
  in.SkipLine();
  for (int32_t k = 1; k <= nSP_; ++k) {
    SP_class& r = reservoirs_[k];
    for (int32_t tr = 0; tr <= ntr_; ++tr)
      bounded(r.state()[tr], FormatText("the state %d of reservoir %d", tr, k), -kAny, kAny);
    in.SkipLine();
    // The setting line and the list line; a file without them goes on with the next block.
    const long mark = std::ftell(in.file);
    const int64_t line = in.line;
    std::string text;
    if (!in.ReadLine(text) || text.find("useRunningAvg") == std::string::npos) {
      std::fseek(in.file, mark, SEEK_SET);
      in.line = line;
      continue;
    }
    std::size_t pos = 0;
    int32_t setting = 0;
    read = text;
    if (!ScanValue(text, pos, setting)) fail("a running-average setting");
    r.SetUseRunningAvg(setting);
    if (!in.ReadLine(text)) fail("a running-average list");
    read.clear();
    r.history().clear();
    pos = 0;
    for (double v = 0; ScanValue(text, pos, v);) {
      require(FormatText("the running-average list of reservoir %d", k), v, -kAny, kAny);
      r.history().push_back(v);
    }
    if (!NumberLikeWordAt(text, pos).empty()) fail("the running-average list of a reservoir");
    // The received water; a file without its line received none.
    const long after_list = std::ftell(in.file);
    const int64_t list_line = in.line;
    r.set_received(0.0);
    if (!in.ReadLine(text) || text.find(kReceivedLabel) == std::string::npos) {
      std::fseek(in.file, after_list, SEEK_SET);
      in.line = list_line;
      continue;
    }
    double received = 0;
    pos = 0;
    read = text;
    if (!ScanValue(text, pos, received)) fail("the water received through a connection");
    read.clear();
    require(FormatText("the water received by reservoir %d", k), received, -kAny, kAny);
    r.set_received(received);
  }
  return without_tracers;
}

// --- The routing model's section -------------------------------------------------------------

void abflussmodellklasse::ReadStorageState(const std::string* name, int32_t mode) {
  if (!IsOn() || name == nullptr) return;
  storage_name_ = *name;
  if (mode == 0 || mode == 2 || mode == 4) return;
  std::string path = *name;
  PrefixDirectory(input_directory, path);
  errno = 0;
  StorageFileReader in{std::fopen(path.c_str(), "r"), path, 1, {}};
  const NumberSource source(path);
  if (in.file == nullptr)
    ThrowFatal(Diag(), kRoutingStorageOpenCode, "FATAL: error opening storage content file ", path,
               SystemReason(ErrnoOrIo()));
  CheckStateFile(Diag(), path);
  ReportUncheckedState(Diag(), path);
  struct Closer {
    std::FILE* f;
    ~Closer() { std::fclose(f); }
  } closer{in.file};
  std::string line;
  bool found = false;
  while (!found && in.ReadLine(line)) found = line.find(kSectionName) != std::string::npos;
  if (!found)
    ThrowFatal(Diag(), kRoutingStorageContentCode, "FATAL: error looking for the section ",
               kSectionName, " in ", path);
  int32_t without_tracers = 0;
  for (int32_t n = 1; n <= ndesc_; ++n) without_tracers += stretches_[n]->ReadStorageState(in);
  ReadIrrigationState(in);
  if (tracer_count > 0 && without_tracers > 0)
    Diag() << "WARNING: the storage file " << path
           << " keeps no tracer concentrations of the channel storages (a run without tracers "
              "wrote it): the water they hold starts free of the tracers"
           << "[end-entry]";
  restored_from_storage_ = true;
}

void abflussmodellklasse::WriteStorageState() {
  std::string path = storage_name_.has_value() ? *storage_name_ : std::string(kDefaultStorageFile);
  PrefixDirectory(output_directory, path);
  written_storage_name_ = path;
  // A state that cannot be stored ends the run: the next run would start from nothing.
  CheckedFile file(Diag(), kWriteErrorCode, path, "wt");
  file.Printf("[%s]\n", kSectionName);
  for (int32_t n = 1; n <= ndesc_; ++n) stretches_[n]->WriteStorageState(file);
  WriteIrrigationState(file);
  file.Printf("\n");
  file.Close();
}

// A river that could not give irrigation all it asked for owes the rest and gives it first in
// the next steps; irrigation takes what the rivers and reservoirs offered in the step before.
// Both go on in a warm start: a line per subbasin with the debt, the river offer per tracer
// index (water, then concentrations), the reservoir offer likewise and per tracer the solute the
// rivers and reservoirs gave irrigation beyond what the cells received.
void abflussmodellklasse::WriteIrrigationState(CheckedFile& file) const {
  if (irrigation_demand_ == nullptr) return;
  file.Printf("%d %d (%s)\n", nsb_, tracer_count, kIrrigationLabel);
  for (int32_t z = 1; z <= nsb_; ++z) {
    file.Printf("%.17g", irrigation_owed_[z]);
    for (const auto* offers : {&maxirrig_, &maxirrig_reservoirs_})
      for (int32_t tr = 0; tr <= tracer_count; ++tr) file.Printf(" %.17g", (*offers)[tr][z]);
    for (int32_t tr = 1; tr <= tracer_count; ++tr) file.Printf(" %.17g", irrigation_solute_[tr][z]);
    file.Printf(
        " (irrigation of subbasin %d: owed, offered by the river, by the reservoir, solute given "
        "beyond what the cells received)\n",
        z);
  }
}

// A file written without the block (or by a run without irrigation) leaves no debt and no
// offer, as a cold start does; a line without the solute values (written before they were
// kept) leaves none of it.
void abflussmodellklasse::ReadIrrigationState(StorageFileReader& in) {
  std::string text;
  while (in.ReadLine(text) && text.find_first_not_of(" \t\r") == std::string::npos) {
  }
  if (irrigation_demand_ == nullptr || text.find(kIrrigationLabel) == std::string::npos) return;
  auto fail = [&](const char* what) {
    ThrowFatal(Diag(), kRoutingStorageContentCode, "FATAL: error reading ", what, " in file ",
               in.name, " (position ", in.line, ")");
  };
  std::size_t pos = 0;
  int32_t subbasins = 0, tracers = 0;
  if (!ScanValue(text, pos, subbasins) || subbasins != nsb_ || !ScanValue(text, pos, tracers) ||
      tracers != tracer_count)
    fail("the subbasin and tracer counts of the irrigation block");
  for (int32_t z = 1; z <= nsb_; ++z) {
    if (!in.ReadLine(text)) fail("the irrigation state of a subbasin");
    pos = 0;
    auto value = [&](double& v) {
      if (!ScanValue(text, pos, v) || !std::isfinite(v)) fail("the irrigation state of a subbasin");
    };
    value(irrigation_owed_[z]);
    for (auto* offers : {&maxirrig_, &maxirrig_reservoirs_})
      for (int32_t tr = 0; tr <= tracer_count; ++tr) value((*offers)[tr][z]);
    for (int32_t tr = 1; tr <= tracer_count; ++tr) irrigation_solute_[tr][z] = 0.0;
    std::size_t at = pos;
    double solute = 0.0;
    for (int32_t tr = 1; tr <= tracer_count && ScanValue(text, at, solute); ++tr)
      irrigation_solute_[tr][z] = solute;
  }
}

}  // namespace velorn
