// Writer and reader of the soil zone's storage content section (see storage_content_file.h).
#include "core/number_reader.h"
#include "unsatzone/storage_content_file.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/control_file_reader.h"
#include "core/error_code.h"
#include "core/output_files.h"
#include "core/state_manifest.h"
#include "core/string_helpers.h"
#include "core/value_ranges.h"
#include "core/zone_entry_sums.h"

namespace velorn {

bool StoredValueAgrees(double stored, double control) {
  if (std::isnan(stored) || std::isnan(control)) return false;
  if (stored == 0) return control == 0;
  return std::fabs((stored - control) / stored) <= 1e-5;
}

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

constexpr const char* kParameterComments[6] = {
    "(kelsqd in min)\n",
    "(kelsqi in min)\n",
    "(drainage density)\n",
    "(inverse recession constant for baseflow [needed when using no groundwater model])\n",
    "(max. baseflow [needed when using no groundwater model])\n",
    "(surface runoff fraction of snowmelt)\n"};
constexpr const char* kParameterLabels[6] = {"m",        "kelsqi", "flussdichte",
                                             "kelsqlat", "Q0",     "SR_Anteil"};

std::vector<const std::vector<double>*> ParameterLines(const StorageParameters& p) {
  return {p.kelsqd,           p.kelsqi,
          p.drainage_density, p.inverse_recession,
          p.max_baseflow,     p.snow_runoff_fraction};
}

// Reads the stored items of the section in order and ends the run at the first mismatch.
class SectionReader {
 public:
  SectionReader(DiagnosticStream& diag, std::FILE* file) : diag_(diag), file_(file) {}

  void Compare(const char* label, double control, double stored) {
    if (StoredValueAgrees(stored, control)) return;
    ThrowFatal(diag_, kStorageFileContentCode, "FATAL: error in storage file content reading ",
               label, ":\nvalue in actual control is:   ", control,
               "\nbut value in storage file is: ", stored, "\nin storage content file ", path_,
               "\nVelorn throws...");
  }
  // An integer item that must equal `control`.
  int Int(const char* label, double control) {
    // The whole word must be the integer: "1e300" or "5x" is none.
    char word[64] = {};
    if (std::fscanf(file_, "%63s", word) != 1) Compare(label, control, std::nan(""));
    int value = 0;
    if (!ReadNumber(std::string_view(word), value))
      ThrowFatal(diag_, kStorageFileContentCode, "FATAL: storage content file ", path_, ": ", label,
                 " is \"", word, "\", no whole number");
    Compare(label, control, static_cast<double>(value));
    return static_cast<int>(value);
  }
  // The next word as a number; none (the file ends there) is empty. A word that is no number
  // ("inf", "1,5") ends the run naming it, the item and the file.
  std::optional<double> Next(const char* label) {
    char word[64] = {};
    if (std::fscanf(file_, "%63s", word) != 1) return std::nullopt;
    double value = 0;
    if (!ReadNumber(std::string_view(word), value))
      ThrowFatal(diag_, kStorageFileContentCode, "FATAL: storage content file ", path_, ": ", label,
                 " is \"", word, "\", no number");
    return value;
  }
  double Double(const char* label, double control) {
    const double value = Next(label).value_or(std::nan(""));
    Compare(label, control, value);
    return value;
  }
  // A stored state value (not compared); a missing one ends the run as a short record does.
  double State(const char* label) {
    const std::optional<double> value = Next(label);
    if (!value) Compare(label, 1, 0);
    return value.value_or(0.0);
  }
  void Record(const char* label, ZoneRecord& r) {
    int read = 0;
    for (std::optional<double> value; read < 5 && (value = Next(label)); ++read) r[read] = *value;
    if (read != 5) Compare(label, 5, read);
    SkipLine();
  }
  // A stored state value that must lie within [low, high] (NaN never does): the FATAL entry
  // names the file, the store and the value.
  void Require(const std::string& store, double value, double low, double high) {
    if (value >= low && value <= high) return;
    ThrowFatal(diag_, kStorageFileContentCode, "FATAL: storage content file ", path_, ": ", store,
               " holds ", value, ", outside ", low, " to ", high,
               " (what this run can have written there)");
  }
  void SetPath(const std::string& path) { path_ = path; }
  void SkipLine() {
    char line[2400];
    if (std::fgets(line, sizeof line, file_) == nullptr) return;
  }

 private:
  DiagnosticStream& diag_;
  std::FILE* file_;
  std::string path_;
};

// The stored records and storages of subbasin s (tracer t) against what the model writes there:
// the zone number and share as this run's zones have them (the flow times are the same), counts
// and weight sums up to what the subbasin's cells give in a step, water sums of at most a water
// column per weight and sub-step, storages of water from none to a water column. A tracer's
// records and storages hold solute, whose only bound here is to be a number.
void CheckStoredRecords(SectionReader& in, const RunoffConcentration& runoff, int32_t t, int32_t s,
                        const std::vector<ZoneRecord> (&expected)[2], int32_t substeps_bound) {
  const double water_column = kLargestRelief * 1000.0;  // mm
  const auto si = static_cast<std::size_t>(s);
  // Zones sized without their cells (no SetupZones) have no capacities to bound them.
  const auto capacity = [&](const std::vector<double>& of) {
    return si < of.size() ? of[si] * (1 + 1e-12) : std::numeric_limits<double>::max();
  };
  const double counts = capacity(runoff.count_capacity);
  const double weights = capacity(runoff.weight_capacity);
  const auto zmax = static_cast<int32_t>(runoff.maxzeit[si]);
  for (int b = 0; b < 2; ++b) {
    const auto& buffer = (b == 0 ? runoff.zoneFZT_QD : runoff.zoneFZT_QI)[t][si];
    for (int32_t z = 1; z <= zmax; ++z) {
      const ZoneRecord& r = buffer[static_cast<std::size_t>(z)];
      const ZoneRecord& e = expected[b][static_cast<std::size_t>(z)];
      const std::string store = FormatText("zoneFZT_%s of tracer %d, subbasin %d, zone %d",
                                           b == 0 ? "QD" : "QI", t, s, z);
      in.Require(store + " (zone number)", r[2], e[2], e[2]);
      if (!StoredValueAgrees(r[3], e[3]))
        in.Require(store + " (share of the subbasin)", r[3], e[3], e[3]);
      if (t > 0) {
        in.Require(store + " (solute)", r[1], -std::numeric_limits<double>::max(),
                   std::numeric_limits<double>::max());
        continue;
      }
      in.Require(store + " (count)", r[0], 0, counts);
      in.Require(store + " (weight sum)", r[4], 0, weights);
      in.Require(store + " (water)", r[1], 0, r[4] * substeps_bound * water_column);
    }
  }
  const double low = t > 0 ? -std::numeric_limits<double>::max() : 0.0;
  const double high = t > 0 ? std::numeric_limits<double>::max() : water_column;
  in.Require(FormatText("QDd[%d][%d] (direct runoff storage, mm)", t, s), runoff.QDd[t][si], low,
             high);
  in.Require(FormatText("QIi[%d][%d] (interflow storage, mm)", t, s), runoff.QIi[t][si], low, high);
}

}  // namespace

void WriteStorageSection(DiagnosticStream& diag, const std::string& path, bool append,
                         const RunoffConcentration& runoff, const StorageParameters& parameters) {
  CheckedFile f(diag, kWriteErrorCode, path, append ? "a" : "w");
  const int32_t n = runoff.subbasins();
  f.Printf("[unsatzon_model]\n%d (number of subasins)\n", n);
  for (int32_t s = 1; s <= n; ++s) f.Printf("%.0f\t", (*parameters.codes)[s]);
  f.Write("(code)\n");
  const auto lines = ParameterLines(parameters);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    for (int32_t s = 1; s <= n; ++s) f.Printf("%g ", (*lines[i])[s]);
    f.Write(kParameterComments[i]);
  }
  f.Printf("%d (number of tracers)\n", runoff.tracers());
  for (int32_t t = 0; t <= runoff.tracers(); ++t) {
    f.Printf("%d (0=runoff, 1...9 = tracers)\n", t);
    for (int32_t s = 1; s <= n; ++s) {
      const auto zmax = static_cast<int32_t>(runoff.maxzeit[s]);
      f.Printf("%d %d (zone %d and maxzeit)\n", s, zmax, s);
      std::string records;
      AppendFlowTimeRecords(records, runoff.zoneFZT_QD[t][s], runoff.zoneFZT_QI[t][s], zmax);
      f.Write(records);
      f.Printf("%.17g (QDd[%d][%d])\n", runoff.QDd[t][s], t, s);
      f.Printf("%.17g (QIi[%d][%d])\n", runoff.QIi[t][s], t, s);
    }
  }
  f.Write("\n");
  f.Close();
}

void RefuseStorageFilesOfMoreProcesses(DiagnosticStream& diag, const std::string& base_path,
                                       int size) {
  const std::string beyond = base_path + "_" + std::to_string(size);
  if (!File(std::fopen(beyond.c_str(), "rt"))) return;
  // The manifest first: a file it names as an earlier run's is no part of the state, whatever
  // process count wrote it.
  CheckStateFile(diag, beyond);
  ThrowFatal(diag, kStorageFileContentCode, "FATAL: storage content file ", beyond,
             " belongs to a run of more than ",
             size == 1 ? std::string("one process") : std::to_string(size) + " processes",
             ": a warm start needs the process count of the run that wrote its state files");
}

void ReadStorageSection(DiagnosticStream& diag, const std::string& path,
                        RunoffConcentration& runoff, const StorageParameters& parameters) {
  errno = 0;
  File file(std::fopen(path.c_str(), "rt"));
  const NumberSource source(path);
  if (!file)
    ThrowFatal(diag, kStorageFileOpenCode, "FATAL: error opening storage content file ", path,
               SystemReason(ErrnoOrIo()));
  CheckStateFile(diag, path);
  ReportUncheckedState(diag, path);
  std::FILE* f = file.get();
  char line[2400];
  bool found = false;
  while (!found && std::fgets(line, sizeof line, f) != nullptr)
    found = std::strstr(line, "unsatzon_model") != nullptr;
  if (!found)
    ThrowFatal(diag, kStorageFileContentCode,
               "FATAL: error locking for the section [unsatzon_model] in ", path);
  SectionReader in(diag, f);
  in.SetPath(path);
  const int32_t n = runoff.subbasins();
  in.Int("number of subbasins", n);
  in.SkipLine();
  for (int32_t s = 1; s <= n; ++s) in.Int("subbasin code", (*parameters.codes)[s]);
  in.SkipLine();
  const auto lines = ParameterLines(parameters);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    for (int32_t s = 1; s <= n; ++s) in.Double(kParameterLabels[i], (*lines[i])[s]);
    in.SkipLine();
  }
  in.Int("number of tracers", runoff.tracers());
  in.SkipLine();
  for (int32_t t = 0; t <= runoff.tracers(); ++t) {
    in.Int("actual tracers(0=runoff)", t);
    in.SkipLine();
    for (int32_t s = 1; s <= n; ++s) {
      in.Int("actual zone", s);
      const auto zmax = static_cast<int32_t>(runoff.maxzeit[s]);
      in.Int("maxzeit of actual subbasin", zmax);
      in.SkipLine();
      // The zone numbers and shares this run's set-up gave the records.
      const std::vector<ZoneRecord> expected[2] = {runoff.zoneFZT_QD[t][s],
                                                   runoff.zoneFZT_QI[t][s]};
      for (int32_t z = 1; z <= zmax; ++z) {
        in.Record("number of fields for zonal statistics QD", runoff.zoneFZT_QD[t][s][z]);
        in.Record("number of fields for zonal statistics QI", runoff.zoneFZT_QI[t][s][z]);
      }
      runoff.QDd[t][s] = in.State("QDd");
      in.SkipLine();
      runoff.QIi[t][s] = in.State("QIi");
      in.SkipLine();
      CheckStoredRecords(in, runoff, t, s, expected, parameters.substeps);
    }
  }
  runoff.RecordsRead();
}

}  // namespace velorn
