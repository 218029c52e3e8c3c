// The [SurfaceRoutingModel] section of the storage content file (delay lines and storages of
// every subbasin and tracer) and the dump options of the solver.
//
// Values are written with 17 significant digits, which read back to the same doubles, so that a
// warm start continues the run exactly; the reader takes any precision (files written with six
// digits read as before).
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/error_code.h"
#include "core/mpi_operations.h"
#include "core/number_reader.h"
#include "core/output_files.h"
#include "core/state_manifest.h"
#include "core/zone_entry_sums.h"
#include "lateral/surface_routing_model.h"

namespace velorn {

namespace {
constexpr const char* kSection = "SurfaceRoutingModel";
constexpr const char* kOldStateNote =
    ". This means that the actual model run will not initialize the flow travel time zones for "
    "direct runoff and interflow, as it was before version 9.08.06.";
}  // namespace

void surfaceroutingclass::SetDumpOptions(bool dump, bool close_after, bool repair_after,
                                         int64_t maximum_files) {
  dump_mode = dump;
  close_after_dump = close_after;
  repair_after_dump = repair_after;
  maximum_dump_files = maximum_files;
}

void surfaceroutingclass::SkipLine() {
  int c = 0;
  while ((c = std::fgetc(storage_file)) != EOF && c != '\n') {
  }
}

void surfaceroutingclass::CloseStorageFile() {
  if (storage_file != nullptr) std::fclose(storage_file);
  storage_file = nullptr;
}

[[noreturn]] void surfaceroutingclass::CompareStorageValue(const std::string& description,
                                                           double actual, double in_file) {
  CloseStorageFile();
  ThrowFatal(Diag(), kSurfaceStorageMismatchCode, "FATAL: error in storage file content reading ",
             description, ":\nvalue in actual control is:   ", actual,
             "\nbut value in storage file is: ", in_file, "\nVelorn throws...");
}

int surfaceroutingclass::ReadStorageValue(double expected, const std::string& description) {
  double r = 0;
  const int read = ReadNumber(storage_file, r) ? 1 : 0;
  // A value that cannot be read is a mismatch, never a comparison with an undefined number.
  if (read != 1) CompareStorageValue(description, expected, std::nan(""));
  const bool mismatch = r != 0 ? std::fabs((r - expected) / r) > 1e-5 : expected != 0;
  if (mismatch) CompareStorageValue(description, expected, r);
  return read;
}

void surfaceroutingclass::ReadStorageState(const std::string& file_name, int32_t storage_mode) {
  if (GetFlowControl() == 0 || file_name.empty()) return;
  storage_file_name = file_name;
  if (storage_mode == 0 || storage_mode == 2 || storage_mode == 4) return;
  std::string path = file_name;
  PrefixDirectory(input_directory, path);
  storage_file = std::fopen(path.c_str(), "r");
  char line[2401];
  bool found = false;
  while (storage_file != nullptr && std::fgets(line, sizeof line, storage_file) != nullptr)
    if (std::strstr(line, kSection) != nullptr) {
      found = true;
      // A header longer than the buffer leaves the rest of its line behind.
      if (std::strchr(line, '\n') == nullptr) SkipLine();
      break;
    }
  // Each process reads its own file: the flow-time zones start anew where no process finds the
  // section, and a state that holds it for some processes only is refused (collective).
  std::vector<double> seen = {found ? 1.0 : 0.0};
  AllReduceMaximum(seen);
  const bool opened = storage_file != nullptr;
  if (seen[0] == 0) {
    CloseStorageFile();
    Diag() << (opened ? "WARNING: error locking for the section [" + std::string(kSection) + "] in "
                      : std::string("WARNING: error opening storage content file "))
           << path << kOldStateNote << "[end-entry]";
    return;
  }
  if (!found) {
    CloseStorageFile();
    ThrowFatal(Diag(), kSurfaceStorageMismatchCode, "FATAL: storage content file ", path,
               opened ? " holds no section [" : " cannot be opened, its section [", kSection,
               "], which those of other processes hold: the flow-time zones of a warm start "
               "cannot start anew on some processes");
  }
  CheckStateFile(Diag(), path);
  ReportUncheckedState(Diag(), path);
  ReadStorageValue(zone_count, "number of subbasins");
  SkipLine();
  ReadStorageValue(tracer_count, "number of tracers");
  SkipLine();
  const char* const kFieldLabels[2] = {"number of fields for zonal statistics QD",
                                       "number of fields for zonal statistics QI"};
  for (int32_t k = 0; k <= tracer_count; ++k) {
    ReadStorageValue(k, "actual tracers(0=runoff)");
    SkipLine();
    for (int32_t z = 1; z <= zone_count; ++z) {
      int subbasin = 0, zones = 0;
      int pair = ReadNumber(storage_file, subbasin) ? 1 : 0;
      if (pair == 1 && ReadNumber(storage_file, zones)) pair = 2;
      if (pair < 1) CompareStorageValue("actual zone", z, std::nan(""));
      if (subbasin != z) CompareStorageValue("actual zone", z, subbasin);
      const int32_t m = static_cast<int32_t>(std::trunc(maxzeit[z]));
      if (pair < 2) CompareStorageValue("maxzeit of actual subbasin", m, std::nan(""));
      if (zones != m) CompareStorageValue("maxzeit of actual subbasin", m, zones);
      SkipLine();
      for (int32_t j = 1; j <= m; ++j) {
        for (int q = 0; q < 2; ++q) {
          ZoneRecord& record = (q == 0 ? zoneFZT_QD : zoneFZT_QI)[k][z][j];
          double v[5] = {0, 0, 0, 0, 0};
          int read = 0;
          while (read < 5 && ReadNumber(storage_file, v[read])) ++read;
          if (read != 5) CompareStorageValue(kFieldLabels[q], 5, read);
          for (int f = 0; f < 5; ++f) record[f] = v[f];
          SkipLine();
        }
      }
      for (std::vector<double*>* storage : {&QDd, &QIi}) {
        double value = 0;
        if (!ReadNumber(storage_file, value))
          CompareStorageValue(storage == &QDd ? "QDd" : "QIi", 0, std::nan(""));
        (*storage)[k][z] = value;
        SkipLine();
      }
    }
  }
  CloseStorageFile();
  zone_records_read = true;
}

void surfaceroutingclass::WriteStorageState(bool append) {
  if (GetFlowControl() == 0 || storage_file_name.empty() || QDd.empty()) return;
  std::string path = storage_file_name;
  PrefixDirectory(output_directory, path);
  CheckedFile file(Diag(), kWriteErrorCode, path, append ? "a" : "w");
  file.Printf("[SurfaceRoutingModel]\n");
  file.Printf("%d (number of subasins)\n", zone_count);
  file.Printf("%d (number of tracers)\n", tracer_count);
  for (int32_t k = 0; k <= tracer_count; ++k) {
    file.Printf("%d (0=runoff, 1...9 = tracers)\n", k);
    for (int32_t z = 1; z <= zone_count; ++z) {
      const int32_t m = static_cast<int32_t>(std::trunc(maxzeit[z]));
      file.Printf("%d %d (zone %d and maxzeit)\n", z, m, z);
      std::string records;
      AppendFlowTimeRecords(records, zoneFZT_QD[k][z], zoneFZT_QI[k][z], m);
      file.Write(records);
      file.Printf("%.17g (QDd[%d][%d])\n", QDd[k][z], k, z);
      file.Printf("%.17g (QIi[%d][%d])\n", QIi[k][z], k, z);
    }
  }
  file.Printf("\n");
  file.Close();
}

}  // namespace velorn
