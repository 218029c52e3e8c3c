// The [snow_model] section of the per-process storage file: the contents of the three glacier
// linear storages per subbasin, read once after construction and appended at the end of a run.
//
// Format: "[snow_model]", "<N> (number of subasins)", then per subbasin k = 1..N three lines
// "<k>\t<value>(TG code and Q..._slr value) <value>" for ice, firn and snow (the value again with
// every digit, "%.17g"), then an empty line. A model
// without glaciers writes 0.000000 values. Values keep six decimals ("%lf"). With tracers and
// glaciers the concentrations of the storages' water come before the empty line: a
// line "<T> (number of tracers in the glacier storages)", then per tracer t and subbasin k
// "<t> <k> <ice> <firn> <snow>" with every digit ("%.17g") and a comment. Process 0's file of a
// run with dynamic glaciers then keeps the sizes of its glacier list: a line "<G> (number of
// dynamic glaciers; ...)", then per glacier "<code> <area> <volume> <old area> <old volume>"
// (km2, km3, every digit).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "core/control_file_reader.h"
#include "core/error_code.h"
#include "core/mpi_operations.h"
#include "core/output_files.h"
#include "core/state_manifest.h"
#include "core/string_helpers.h"
#include "core/value_ranges.h"
#include "snow/snow_model.h"

namespace velorn {
namespace {

inline constexpr int kStorageMismatchCode = 71;
constexpr std::size_t kStorageLineLength = 2400;
constexpr const char* kGlacierTracerLabel = "(number of tracers in the glacier storages)";
constexpr const char* kGlacierStorageNames[3] = {"ice", "firn", "snow"};
constexpr const char* kGlacierListLabel =
    "(number of dynamic glaciers; code, area (km2), volume (km3), area and volume at the last "
    "evaluation)";
// Sizes no glacier on Earth exceeds: the Antarctic ice sheet's area (km2) and volume (km3).
constexpr double kLargestGlacierArea = 2e7;
constexpr double kLargestGlacierVolume = 3e7;

struct FileCloser {
  void operator()(std::FILE* file) const {
    if (file != nullptr) std::fclose(file);
  }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

void schneemodellklasse::CompareStorageValue(const std::string& label, double control_value,
                                             double file_value) {
  ThrowFatal(Diag(), kStorageMismatchCode,
             "FATAL: (snow model) error in storage file content reading ", label,
             ":\nvalue in actual control is:   ", control_value,
             "\nbut value in storage file is: ", file_value, "\nVelorn throws...");
}

int32_t schneemodellklasse::ReadStorageValue(std::FILE* file, double value,
                                             const std::string& label) {
  double file_value = 0;
  if (file == nullptr || !ReadNumber(file, file_value, "(")) return 0;
  const bool differs =
      file_value != 0 ? std::fabs((file_value - value) / file_value) > 1e-5 : value != 0;
  if (differs) CompareStorageValue(label, value, file_value);
  return 1;
}

void schneemodellklasse::ReadStorageState(const std::string& file_name, int32_t storage_mode) {
  if (GetFlowControl() == 0) return;
  storage_file_name.clear();
  if (file_name.empty()) return;
  // The section is written at the end whatever the start read, as the other models write theirs:
  // a start from the groundwater distance alone (mode 2) or a cold one leaves a state that a warm
  // start continues, glacier storages included.
  storage_file_name = file_name;
  if (storage_mode == 0 || storage_mode == 2 || storage_mode == 4 || Qice_els.empty() ||
      Qfirn_els.empty() || Qsnow_els.empty())
    return;
  std::string name = file_name;
  PrefixDirectory(input_directory, name);
  auto cold_start = [&](const std::string& first) {
    Diag() << first << name << "[end-entry]";
    Diag() << "WARNING: glacier model will be run with cold start initialization values"
           << "[end-entry]";
  };
  FileHandle file(std::fopen(name.c_str(), "r"));
  std::vector<char> line(kStorageLineLength + 1);
  bool found = false;
  while (file && std::fgets(line.data(), static_cast<int>(line.size()), file.get()) != nullptr) {
    if (std::strstr(line.data(), "snow_model") != nullptr) {
      found = true;
      break;
    }
  }
  // Each process reads its own file: the glacier storages start cold where no process finds
  // the section, and a state that holds it for some processes only is refused (collective).
  std::vector<double> seen = {found ? 1.0 : 0.0};
  AllReduceMaximum(seen);
  if (seen[0] == 0) {
    cold_start(
        file ? "WARNING: in snow/glacier model: [snow_model] not found in storage content file "
             : "WARNING: in snow/glacier model: error opening storage content file ");
    return;
  }
  if (!found)
    ThrowFatal(Diag(), kStorageMismatchCode, "FATAL: (snow model) storage content file ", name,
               file ? " holds no section [snow_model]" : " cannot be opened",
               ", which those of other processes hold: the glacier storages of a warm start "
               "cannot start cold on some processes");
  CheckStateFile(Diag(), name);
  ReportUncheckedState(Diag(), name);
  auto skip_line = [&] {
    int ch = 0;
    while ((ch = std::fgetc(file.get())) != EOF && ch != '\n') {
    }
  };
  int count = -1;
  if (!ReadNumber(file.get(), count) || count != soil_zone_count)
    CompareStorageValue("number of subbasins", soil_zone_count, count);
  skip_line();
  for (int32_t k = 1; k <= soil_zone_count; ++k) {
    for (std::vector<double>* array : {&Qice_els, &Qfirn_els, &Qsnow_els}) {
      int code = -1;
      double value = 0;
      if (!ReadNumber(file.get(), code) || code != k) CompareStorageValue("subbasin code", k, code);
      if (!ReadNumber(file.get(), value, "("))
        CompareStorageValue("storage content of subbasin " + std::to_string(k), 0, -9999);
      double exact = 0;
      const bool kept = ExactStorageValue(file.get(), value, exact);
      // Both numbers of the line are the storage's content (mm): from empty to the largest snow
      // pack, as the set-up allows its initial content.
      for (const double stored : {value, exact}) {
        if (stored >= 0 && stored <= kLargestSnowWaterEquivalent) continue;
        ThrowFatal(Diag(), kStorageMismatchCode, "FATAL: (snow model) storage content file ", name,
                   ": the ",
                   kGlacierStorageNames[array == &Qice_els    ? 0
                                        : array == &Qfirn_els ? 1
                                                              : 2],
                   " storage of subbasin ", k, " holds ", stored, ", outside 0 to ",
                   kLargestSnowWaterEquivalent, " mm (what this run can have written there)");
      }
      (*array)[static_cast<std::size_t>(k)] = kept ? exact : value;
    }
  }
  if (tracer_count > 0 && !glacier_runoff_concentration_.empty())
    ReadGlacierRunoffConcentrations(file.get(), name);
  if (rank == 0 && IsDynamicGlacierMethod(glacierMethod) && readGlacierGrids == 1)
    ReadGlacierListState(name);
}

// The glacier list's lines stand in the [snow_model] section before its empty line; a file
// without them (written before they were kept) leaves the sizes scaled from the fractions.
void schneemodellklasse::ReadGlacierListState(const std::string& name) {
  FileHandle file(std::fopen(name.c_str(), "r"));
  std::vector<char> line(kStorageLineLength + 1);
  bool section = false, found = false;
  while (file && std::fgets(line.data(), static_cast<int>(line.size()), file.get()) != nullptr) {
    if (!section) {
      section = std::strstr(line.data(), "[snow_model]") != nullptr;
      continue;
    }
    if (line[std::strspn(line.data(), " \t\r\n")] == '\0') break;  // the section's end
    found = std::strstr(line.data(), kGlacierListLabel) != nullptr;
    if (found) break;
  }
  if (!found) return;
  auto refuse = [&](const std::string& what) {
    ThrowFatal(Diag(), kStorageMismatchCode, "FATAL: (snow model) storage content file ", name,
               ": ", what);
  };
  // Every glacier holds a cell of the grid.
  const long most = static_cast<long>(nrows) * static_cast<long>(ncols);
  long count = -1;
  std::size_t at = 0;
  if (!ScanValue(std::string_view(line.data()), at, count) || count < 0 || count > most)
    refuse("no number of dynamic glaciers from 0 to " + std::to_string(most));
  for (long i = 0; i < count; ++i) {
    int code = 0;
    double size[4] = {};
    if (!(ReadNumber(file.get(), code) && ReadNumber(file.get(), size[0]) &&
          ReadNumber(file.get(), size[1]) && ReadNumber(file.get(), size[2]) &&
          ReadNumber(file.get(), size[3])))
      refuse("the line of dynamic glacier " + std::to_string(i + 1) + " of " +
             std::to_string(count) + " holds no code with two areas and volumes");
    for (int k = 0; k < 4; ++k) {
      const double largest = k % 2 == 0 ? kLargestGlacierArea : kLargestGlacierVolume;
      if (std::isfinite(size[k]) && size[k] >= 0 && size[k] <= largest) continue;
      refuse("glacier " + std::to_string(code) + " has the " + (k % 2 == 0 ? "area " : "volume ") +
             FormatText("%g", size[k]) + (k % 2 == 0 ? " km2" : " km3") + ", outside 0 to " +
             FormatText("%g", largest));
    }
    // A glacier the grids no longer hold keeps no record.
    const auto at = glacier_index.find(code);
    if (at == glacier_index.end()) continue;
    GlacierRecord& glacier = glacier_list[at->second];
    glacier.area = size[0];
    glacier.volume = size[1];
    glacier.oldArea = size[2];
    glacier.oldVolume = size[3];
  }
}

std::string schneemodellklasse::GlacierListStateText() const {
  if (rank != 0 || !IsDynamicGlacierMethod(glacierMethod)) return "";
  std::string text =
      FormatText("%d ", static_cast<int>(glacier_list.size())) + kGlacierListLabel + "\n";
  for (const GlacierRecord& glacier : glacier_list)
    text += FormatText("%d %.17g %.17g %.17g %.17g\n", glacier.code, glacier.area, glacier.volume,
                       glacier.oldArea, glacier.oldVolume);
  return text;
}

// The rest of a storage line: its comment, then the value with every digit (a line that ends
// with the comment, as a hand-made file's may, keeps the six decimals). The six decimals stand
// where the exact value is missing or does not round to them.
bool schneemodellklasse::ExactStorageValue(std::FILE* file, double rounded, double& exact) {
  std::string rest;
  for (int ch = 0; (ch = std::fgetc(file)) != EOF && ch != '\n';)
    rest.push_back(static_cast<char>(ch));
  exact = rounded;
  const std::size_t comment_end = rest.rfind(')');
  if (comment_end == std::string::npos) return false;
  std::size_t at = comment_end + 1;
  if (!ScanValue(rest, at, exact)) {
    exact = rounded;
    return false;
  }
  return std::fabs(exact - rounded) <= 5.1e-7 + 1e-15 * std::fabs(rounded);
}

// The concentrations of the storages' water follow the storages' lines; a file without them (a
// run without tracers wrote it) ends the section there, and that water starts free of the
// tracers.
void schneemodellklasse::ReadGlacierRunoffConcentrations(std::FILE* file, const std::string& name) {
  std::vector<char> line(kStorageLineLength + 1);
  if (std::fgets(line.data(), static_cast<int>(line.size()), file) == nullptr ||
      std::strstr(line.data(), kGlacierTracerLabel) == nullptr) {
    Diag() << "WARNING: the storage file " << name
           << " keeps no tracer concentrations of the glacier storages (a run without tracers "
              "wrote it): the water they hold starts free of the tracers"
           << "[end-entry]";
    std::fill(glacier_runoff_concentration_.begin(), glacier_runoff_concentration_.end(), 0.0);
    return;
  }
  int count = -1;
  std::size_t at = 0;
  if (!ScanValue(std::string_view(line.data()), at, count) || count != tracer_count)
    CompareStorageValue("number of tracers of the glacier storages", tracer_count, count);
  const std::size_t subbasins = static_cast<std::size_t>(soil_zone_count) + 1;
  for (int32_t t = 1; t <= tracer_count; ++t) {
    for (int32_t k = 1; k <= soil_zone_count; ++k) {
      int tracer = -1, code = -1;
      if (!(ReadNumber(file, tracer) && ReadNumber(file, code)) || tracer != t)
        CompareStorageValue("tracer of the glacier storages", t, tracer);
      if (code != k) CompareStorageValue("subbasin code", k, code);
      double* concentration =
          &glacier_runoff_concentration_[(static_cast<std::size_t>(t) * subbasins + k) * 3];
      for (int s = 0; s < 3; ++s) {
        if (!ReadNumber(file, concentration[s]) || !std::isfinite(concentration[s]) ||
            concentration[s] < 0)
          ThrowFatal(Diag(), kStorageMismatchCode, "FATAL: (snow model) the storage file ", name,
                     " holds no concentration (a number, 0 or more) of tracer ", t,
                     " in a glacier storage of subbasin ", k);
      }
      // The rest of the line is its comment.
      for (int ch = 0; (ch = std::fgetc(file)) != EOF && ch != '\n';) {
      }
    }
  }
}

void schneemodellklasse::WriteStorageState(bool append) {
  if (GetFlowControl() == 0 || storage_file_name.empty()) return;
  // Beside the other models' sections in the output directory: the run never writes into the
  // folder of its initial state.
  std::string name = storage_file_name;
  PrefixDirectory(output_directory, name);
  std::string text = "[snow_model]\n" + FormatText("%d (number of subasins)\n", soil_zone_count);
  const char* comments[3] = {"(TG code and Qice_slr value)", "(TG code and Qfirn_slr value)",
                             "(TG code and Qsnow_slr value)"};
  const std::vector<double>* arrays[3] = {&Qice_els, &Qfirn_els, &Qsnow_els};
  for (int32_t k = 1; k <= soil_zone_count; ++k) {
    for (int a = 0; a < 3; ++a) {
      const std::vector<double>& array = *arrays[a];
      const double value =
          static_cast<std::size_t>(k) < array.size() ? array[static_cast<std::size_t>(k)] : 0.0;
      // Every digit after the comment: a warm start continues with the storage's own value.
      text += FormatText("%d\t%lf", k, value) + comments[a] + FormatText(" %.17g\n", value);
    }
  }
  // Written when the model is released, after its tracers: the concentrations keep their count.
  const std::size_t subbasins = static_cast<std::size_t>(soil_zone_count) + 1;
  const auto tracers =
      static_cast<int32_t>(glacier_runoff_concentration_.size() / (subbasins * 3)) - 1;
  if (tracers > 0) {
    text += FormatText("%d ", tracers) + kGlacierTracerLabel + "\n";
    for (int32_t t = 1; t <= tracers; ++t) {
      for (int32_t k = 1; k <= soil_zone_count; ++k) {
        const double* concentration =
            &glacier_runoff_concentration_[(static_cast<std::size_t>(t) * subbasins + k) * 3];
        text += FormatText("%d %d %.17g %.17g %.17g ", t, k, concentration[0], concentration[1],
                           concentration[2]) +
                "(tracer, TG code, concentration in the ice, firn and snow storage)\n";
      }
    }
  }
  text += GlacierListStateText() + "\n";
  CheckedFile file(Diag(), kWriteErrorCode, name, append ? "a" : "w");
  file.Write(text);
  file.Close();
}

}  // namespace velorn
