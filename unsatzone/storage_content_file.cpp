// Writer and reader of the soil zone's storage content section (see storage_content_file.h).
#include "unsatzone/storage_content_file.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "core/error_code.h"
#include "core/output_files.h"

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
               "\nbut value in storage file is: ", stored, "\nVelorn throws...");
  }
  // An integer item that must equal `control`.
  int Int(const char* label, double control) {
    int value = 0;
    if (std::fscanf(file_, "%d", &value) != 1) Compare(label, control, std::nan(""));
    Compare(label, control, value);
    return value;
  }
  double Double(const char* label, double control) {
    double value = std::nan("");
    if (std::fscanf(file_, "%lf", &value) != 1) value = std::nan("");
    Compare(label, control, value);
    return value;
  }
  // A stored state value (not compared); a missing one ends the run as a short record does.
  double State(const char* label) {
    double value = 0;
    if (std::fscanf(file_, "%lf", &value) != 1) Compare(label, 1, 0);
    return value;
  }
  void Record(const char* label, ZoneRecord& r) {
    const int read = std::fscanf(file_, "%lf %lf %lf %lf %lf", &r[0], &r[1], &r[2], &r[3], &r[4]);
    if (read != 5) Compare(label, 5, read < 0 ? 0 : read);
    SkipLine();
  }
  void SkipLine() {
    char line[2400];
    if (std::fgets(line, sizeof line, file_) == nullptr) return;
  }

 private:
  DiagnosticStream& diag_;
  std::FILE* file_;
};

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
      for (int32_t z = 1; z <= zmax; ++z) {
        for (const char* name : {"QD", "QI"}) {
          const ZoneRecord& r = (name[1] == 'D' ? runoff.zoneFZT_QD : runoff.zoneFZT_QI)[t][s][z];
          // States with 17 digits, which read back to the same double: a warm start goes on
          // as the run would have.
          f.Printf(
              "%.17g %.17g %.17g %.17g %.17g (zoneFZT_%s.n/.sx/.zonenwert/.rel/"
              ".RelCellSum)\n",
              r[0], r[1], r[2], r[3], r[4], name);
        }
      }
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
  if (File(std::fopen(beyond.c_str(), "rt")))
    ThrowFatal(diag, kStorageFileContentCode, "FATAL: storage content file ", beyond,
               " belongs to a run of more than ", size,
               " processes: a warm start needs the process count of the run that wrote its "
               "state files");
}

void ReadStorageSection(DiagnosticStream& diag, const std::string& path,
                        RunoffConcentration& runoff, const StorageParameters& parameters) {
  errno = 0;
  File file(std::fopen(path.c_str(), "rt"));
  if (!file)
    ThrowFatal(diag, kStorageFileOpenCode, "FATAL: error opening storage content file ", path,
               SystemReason(ErrnoOrIo()));
  std::FILE* f = file.get();
  char line[2400];
  bool found = false;
  while (!found && std::fgets(line, sizeof line, f) != nullptr)
    found = std::strstr(line, "unsatzon_model") != nullptr;
  if (!found)
    ThrowFatal(diag, kStorageFileContentCode,
               "FATAL: error locking for the section [unsatzon_model] in ", path);
  SectionReader in(diag, f);
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
      for (int32_t z = 1; z <= zmax; ++z) {
        in.Record("number of fields for zonal statistics QD", runoff.zoneFZT_QD[t][s][z]);
        in.Record("number of fields for zonal statistics QI", runoff.zoneFZT_QI[t][s][z]);
      }
      runoff.QDd[t][s] = in.State("QDd");
      in.SkipLine();
      runoff.QIi[t][s] = in.State("QIi");
      in.SkipLine();
    }
  }
}

}  // namespace velorn
