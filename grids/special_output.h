// SpecialOutputClass: time series of single cells ("points") of registered grids and stacks,
// written to tab-separated text files, one row per model time step.
//
// Owns the files of the section [special_output] (SpecialOutputFile) and, per file, its
// entities (SpecialOutputEntity): an entity names one registered grid or stack by identifier and
// lists points by their coordinates, optionally with one stack level per point. The application
// constructs it after the other sub-models, so every grid it names is registered; the time loop
// calls RunStep(..., true, i) in every sub-step i and RunStep(..., false, 0) at the end of every
// step; the Ctrl-C menu and the shut-down call FlushBuffers; ReleaseMemory writes what is left.
//
//   [special_output]
//   1     flow control parameter
//   60    time interval
//   numfiles = 1;
//   {
//     header = gauges; filename = points.txt;
//     entity { ID = q_down; Symbol = Q; Xcoords = 3500.5, 4200; Ycoords = 1200 1300; }
//     entity { ID = soil_moisture; Symbol = SM; Xcoords = 3500; Ycoords = 1200; Level = 2; }
//   }
//
// File: line 1 "YY\tMM\tDD\tHH" and "\tSymbol/column/row[/level]" per point, line 2 the header
// text, line 3 "YY\tMM\tDD\tHH" and "\tSymbol/x/y[/level]" per point, then per step the date as
// "%ld\t%ld\t%ld\t%ld" and every value as "\t%g". Flux identifiers (SummedOverSubSteps) are
// summed over the sub-steps of a step when there are two or more; every other entity takes its
// value at the end of the step. A missing value (-9999) in any sub-step makes the step's sum
// missing. Values of cells that no process owns, of unregistered identifiers and of levels above
// a stack's level count are -9999.
//
// Concurrency: every process holds the same files and buffers and collects the cells it owns
// (the grid "MPIRegions"); a buffer write is collective (a maximum reduction onto process 0),
// so every process calls RunStep, FlushBuffers and ReleaseMemory at the same points. Only
// process 0 touches the files. No OpenMP here: a step visits a handful of cells.
//
// Failures (FATAL entry, then ErrorCode): 1006 x and y counts differ; 1007 a level list of
// another length than the points, or a negative level; 1008 a point outside the grid; 1009 the
// file cannot be created (process 0); 65 the file cannot be opened for appending (process 0);
// 17 a malformed section (no "numfiles", a file block not closed before the end of the file,
// two blocks of one file name). An ID that no registered grid or stack has gets a WARNING.
// Buffers hold at most 2 MiB per file.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/submodel.h"

namespace velorn {

class SpecialOutputClass;
class SpecialOutputFile;

inline constexpr int kSpecialOutputCoordinateCountCode = 1006;
inline constexpr int kSpecialOutputLevelCode = 1007;
inline constexpr int kSpecialOutputOutsideCode = 1008;
inline constexpr int kSpecialOutputCreateCode = 1009;
inline constexpr int kSpecialOutputAppendCode = 65;
// Bytes of the row buffer of one file, counting 8 per value (and the unused index 0) and 32 per
// row.
inline constexpr int64_t kSpecialOutputBufferBytes = 2097152;

// Rows that the buffer of a file with `values_per_row` values holds (at least 1).
int64_t SpecialOutputCapacity(int64_t values_per_row);
// True when the identifier names a flux that is summed over the sub-steps of a time step.
bool SummedOverSubSteps(const std::string& identifier);
// The values of the last `key = ...;` entry of `text` (at a key boundary), split at tabs, blanks,
// ";" and ","; a missing key gives an empty list. A piece that is no number is FATAL (17).
int ParseDoubleList(DiagnosticStream& diag, const std::string& text, const std::string& key,
                    std::vector<double>& values);
int ParseIntList(DiagnosticStream& diag, const std::string& text, const std::string& key,
                 std::vector<int32_t>& values);

// The model grid as the entities see it.
struct SpecialOutputGeometry {
  double xll = 0;
  double yll = 0;
  double cellsize = 0;
  int32_t ncols = 0;
  int32_t nrows = 0;
};

class SpecialOutputEntity {
 public:
  SpecialOutputEntity(SpecialOutputFile* file, DiagnosticStream* diag, const std::string& text,
                      GridRegistry* registry, const SpecialOutputGeometry& geometry,
                      int32_t sub_step_count);

  // Stores the values of this entity's points into `values` from `value_index` on and returns
  // the next free index. An entity summed over sub-steps takes part in sub-step calls only,
  // every other one in the end-of-step call only (it still advances the index).
  int CollectValues(double* values, int value_index, bool sub_step_call, int sub_step);
  // Registry entry 1..999 whose identifier equals `identifier`, 0 when there is none.
  int FindGridIndex(const std::string& identifier) const;
  // For the WARNING of an ID no grid has: the nearest registered IDs.
  std::string NearestIdentifiers() const;

  // Header pieces of the points: "\tSymbol/column/row[/level]" and "\tSymbol/x/y[/level]".
  std::string CellHeader() const;
  std::string CoordinateHeader() const;

  int32_t point_count() const { return point_count_; }
  int32_t grid_index() const { return grid_index_; }
  bool summed() const { return summed_over_sub_steps_; }
  const std::vector<int32_t>& point_columns() const { return point_columns_; }
  const std::vector<int32_t>& point_rows() const { return point_rows_; }

 private:
  void LocatePoints();
  // The value of point p on this process, -9999 when this process does not own its cell.
  double PointValue(int p) const;

  DiagnosticStream* diag_ = nullptr;
  int32_t point_count_ = 0;
  int32_t grid_index_ = 0;
  SpecialOutputGeometry geometry_;
  std::string id_;
  std::string symbol_;
  std::vector<double> x_coordinates_;
  std::vector<double> y_coordinates_;
  std::vector<int32_t> levels_;
  std::vector<int32_t> point_columns_;
  std::vector<int32_t> point_rows_;
  GridRegistry* registry_ = nullptr;
  SpecialOutputFile* file_ = nullptr;
  bool summed_over_sub_steps_ = false;
  int32_t sub_step_count_ = 1;
};

class SpecialOutputFile {
 public:
  SpecialOutputFile(SpecialOutputClass* owner, DiagnosticStream* diag, const std::string& block,
                    GridRegistry* registry, const SpecialOutputGeometry& geometry,
                    int32_t first_row, int32_t last_row, const std::string& output_directory,
                    int32_t sub_step_count);
  // Writes the rows still buffered (collective, like WriteBuffer); a failure is reported in
  // its FATAL entry and not thrown further.
  ~SpecialOutputFile();
  SpecialOutputFile(const SpecialOutputFile&) = delete;
  SpecialOutputFile& operator=(const SpecialOutputFile&) = delete;

  // One collection call of the step (see SpecialOutputClass::RunStep).
  void CollectRow(int64_t hour, int64_t day, int64_t month, int64_t year, bool sub_step_call,
                  int sub_step);
  // Collective: reduces the used rows onto process 0, which appends them; empties the buffer.
  void WriteBuffer();
  // WriteBuffer when rows are used.
  void Flush();

  SpecialOutputClass* owner() const { return owner_; }
  int32_t first_row() const { return first_row_; }
  int32_t last_row() const { return last_row_; }
  int32_t values_per_row() const { return values_per_row_; }
  int64_t capacity() const { return capacity_; }
  int64_t rows_used() const { return rows_used_; }
  const std::string& file_name() const { return file_name_; }
  const std::vector<std::unique_ptr<SpecialOutputEntity>>& entities() const { return entities_; }

 private:
  void CreateFile();
  double* RowValues(int64_t row) { return values_.data() + row * (values_per_row_ + 1); }

  DiagnosticStream* diag_ = nullptr;
  int32_t values_per_row_ = 0;
  // Rows 1..capacity: per row the date (year, month, day, hour) and values 1..n (index 0 unused).
  std::vector<std::array<int64_t, 4>> dates_;
  std::vector<double> values_;
  int64_t capacity_ = 1;
  int64_t rows_used_ = 0;
  std::string header_;
  std::string file_name_;
  std::vector<std::unique_ptr<SpecialOutputEntity>> entities_;
  GridRegistry* registry_ = nullptr;
  SpecialOutputClass* owner_ = nullptr;
  int32_t first_row_ = 0;
  int32_t last_row_ = 0;
  int32_t sub_step_count_ = 1;
  bool row_closed_ = true;
};

class SpecialOutputClass : public teilmodellklasse {
 public:
  // Reads [special_output] and creates the files; `error` is set to 0 (failures throw).
  // A missing section or flow control 0 leaves the special output off, without files.
  SpecialOutputClass(const SubModelSetup& setup, int32_t& error, int32_t sub_step_count);
  ~SpecialOutputClass() override;

  // One collection call: (..., true, i) in sub-step i, (..., false, 0) at the end of the step.
  void RunStep(int64_t hour, int64_t day, int64_t month, int64_t year, bool sub_step_call,
               int sub_step);
  using teilmodellklasse::RunStep;
  // Collective: writes the buffered rows of every file.
  void FlushBuffers();
  // Collective: every file writes its remaining rows and is deleted; then the base release.
  void ReleaseMemory() override;

  // The grid of owner processes ("MPIRegions"); null before the regions are set up.
  double** OwnerGrid() const { return owner_grid; }
  const std::vector<std::unique_ptr<SpecialOutputFile>>& files() const { return files_; }

 private:
  void ReadFiles();
  // The lines of the next file block from control_file.
  std::string ReadFileBlock(int file_number);

  std::vector<std::unique_ptr<SpecialOutputFile>> files_;
  int32_t file_count_ = 0;
};

}  // namespace velorn
