// modelobject: the base of every object that takes part in a model run.
//
// The settings object `defaultini`, the interpolators, `routingclass`, `tracer_ini_class`,
// `GridStack` and (through `teilmodellklasse`) every sub-model derive from it. It carries what
// all of them share: the diagnostics stream and module name (from memory_handling), the grid
// geometry and this process's row range, MPI rank and size, the model dates with their
// ModelTimeKey, the output format flags and directories, the running statistics, the control
// file with its readers, and access to the shared GridRegistry (core/grid_registry.h).
//
// Fields are public: derived classes and the application fill them (geometry, rows, registry,
// zone table, ...) after construction. Conventions of a sub-model:
//
//   FindSection("[snow_model]", 1);                          // FATAL 17 when missing
//   int method = 0;
//   ReadValue(*control_file, method, "method of snow model in ");  // "2  comment" gives 2
//   double a = 0, b = 0;
//   ReadTwoValues(*control_file, a, b, "limits in ");        // "0.5 3 comment"
//   RegisterGrid(registry->FirstFreeIndex(), name, data, nullptr, 0, "snow", 0, first_local_row,
//                last_local_row);
//   int t = RequireGrid("temperature");                      // FATAL 33 when absent
//
// Failures write a "FATAL: " entry and throw ErrorCode (17 control file, 18 write, 19 read,
// 12 registry full, 33 grid missing, 81 buffer allocation, 1 grid allocation or text too long).
//
// The grid and stack file operations (read, write, masked write, stack output) and the
// write-code output (WriteGridOutput, which RegisterGrid calls for units digit 8) are defined by
// the grid I/O code in grids/.
#pragma once

#include <mpi.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/control_file_reader.h"
#include "core/grid_registry.h"
#include "core/memory_handling.h"
#include "core/model_date.h"
#include "core/running_statistics.h"
#include "core/zone_types.h"

namespace velorn {

struct MpiLayout;
struct HruRecord;
struct SubModelSetup;
class NetcdfGridWriter;
class NetcdfGridReader;

// Longest control-file name and file name after a directory prefix.
inline constexpr std::size_t kMaxFileNameLength = 2400;

// The grid geometry and this process's rows are the fields of the ModelGridGeometry base.
class modelobject : public memory_handling, public ModelGridGeometry {
 public:
  // Nothing but the defaults (the form used by GridStack). The requests of the halo exchange
  // live in the process's MpiLayout, sized from its lists.
  modelobject();
  // Everything zero except: GIF mapping defaults, month lengths, key weights, rank and size of
  // MPI_COMM_WORLD, and the arguments. The int32 argument has no effect. A control-file name
  // over 2400 characters is FATAL (code 1).
  modelobject(DiagnosticStream* diag_stream, const std::string& control_file_name_arg,
              int32_t unused, bool write_ascii_arg, bool write_double_arg, bool write_netcdf_arg,
              const std::string& input_directory_arg, const std::string& output_directory_arg,
              MpiLayout* mpi_arg, int32_t response_unit_switch_arg,
              std::vector<HruRecord>* response_unit_table_arg);
  ~modelobject() override;

  // --- Log, dates, intervals (slots 7..11) ----------------------------------------------------
  // Process 0 appends "<ctime>: <text>\n" to "modell_0.log"; other processes write nothing.
  virtual void WriteLog(int32_t unused, const std::string& text);
  // Stores the end date and its ModelTimeKey (end_key).
  virtual void SetEndDate(int64_t year, int64_t month, int64_t day, int64_t hour);
  virtual void SetReportInterval(int32_t hours) { report_interval = hours; }
  virtual int32_t GetReportInterval() { return report_interval; }
  virtual double GetTimeShiftHours() { return time_shift; }

  // --- Grid look-up (slots 12..15) -----------------------------------------------------------
  // Index 1..999 of the grid with this identifier, or 0 (see GridRegistry::Find for the flag).
  virtual int FindGrid(const std::string& identifier, int flag);
  // Index of the grid; absent: the "not found in memory" FATAL entry and code 33.
  virtual int RequireGrid(const std::string& identifier);
  // Index of the first of the names (in argument order) that is registered; none: FATAL 33.
  virtual int RequireOneOfThreeGrids(const std::string& name1, const std::string& name2,
                                     const std::string& name3);
  virtual int RequireOneOfFourGrids(const std::string& name1, const std::string& name2,
                                    const std::string& name3, const std::string& name4);

  // --- Control file (slots 16..21) -------------------------------------------------------------
  // "FATAL: error in control file, " text1 "; " text2 "not found!" and code 17; when the word
  // at the cursor is a number that is not finite ("nan", "inf"), the entry names it instead:
  // text1 "; " text2 "\"nan\" is not a finite number".
  [[noreturn]] virtual void ReportControlFileError(const std::string& text1,
                                                   const std::string& text2);
  // A line's word at `pos` that begins like a number but is none ("-0,0065", "3mm": where a scan
  // of a line's numbers stopped) ends the run as ReportControlFileError does, naming the word;
  // any other word (a comment) is left to the caller.
  // `code` 0 is the control file's error code.
  void RefuseNumberLikeWord(std::string_view line, std::size_t pos, const std::string& text1,
                            int32_t code = 0);
  // "FATAL: write error " name " ! (" code ")" and code 18.
  [[noreturn]] virtual void ReportWriteError(const std::string& name, int32_t code,
                                             const std::string& reason = {});
  // "FATAL: read error " name " ! (" code ")" and code 19.
  [[noreturn]] virtual void ReportReadError(const std::string& name, int32_t code);
  // Reads one value, then discards the rest of its line (returned in `rest` when given).
  // (Overloads per type; a derived class overriding one would hide the others, so don't.)
  // Result 1. A value that cannot be read writes the "Next line in Velorn control file: "
  // report with the offending word, then ReportControlFileError(description, module_name).
  virtual int ReadValue(ControlFileReader& file, int& destination, const std::string& description,
                        std::string* rest = nullptr);
  virtual int ReadValue(ControlFileReader& file, long& destination, const std::string& description,
                        std::string* rest = nullptr);
  virtual int ReadValue(ControlFileReader& file, double& destination,
                        const std::string& description, std::string* rest = nullptr);
  virtual int ReadValue(ControlFileReader& file, std::string& destination,
                        const std::string& description, std::string* rest = nullptr);
  // Reads two values (int, long, double or a word each) from a line and discards the rest of
  // it; result 2. Fewer: ReportControlFileError(description, module_name) at once.
  template <class First, class Second>
  int ReadTwoValues(ControlFileReader& file, First& first, Second& second,
                    const std::string& description, std::string* rest = nullptr);
  // A value read from the control file that lies outside low..high ends the run: "FATAL: error
  // in control file, " description module_name " is " value ", it must lie within " low " to "
  // high, code 17. Parameters that feed powers, products and integer arithmetic are checked
  // this way where they are read, so that no run goes on to NaN or overflowing results.
  void RequireRange(double value, double low, double high, const std::string& description);
  // Positions control_file on the line after `header` and returns 1; not found: 0, or with
  // `fatal` set ReportControlFileError(header, "(EOF)"). No open control file counts as not
  // found.
  virtual int FindSection(const std::string& header, int fatal);

  // --- Running statistics (slots 22..24) -----------------------------------------------------
  virtual void ResetStatistics(double nodata_value) { statistics.Reset(nodata_value); }
  virtual void AddToStatistics(double value, double weight) { statistics.Add(value, weight); }
  virtual void GetStatistics(double& count, double& minimum, double& maximum, double& sum,
                             double& mean, double& standard_deviation);

  // --- Stack files (slots 25, 27, 30; grids/stack_files.cpp) ----------------------------------
  // Reads a stack file (ASCII, single or double binary; the input directory is put in front)
  // into a newly allocated stack of this process's rows (all rows on process 0 with
  // wholeOnRoot) and returns its level count L (levels 0..L per cell). Collective. The geometry
  // must be the model's (code 24); 21 open, 22 format or read, 23 close errors.
  virtual int ReadStack(const std::string& fileName, double***& stack, bool wholeOnRoot);
  // Writes levels 0..`levels` of a stack as netCDF or ASCII (process 0) or binary (all
  // processes through MPI-IO, each writing the cells it owns). Collective for binary.
  virtual void WriteStack(const std::string& fileName, double*** stack, int levels, bool asciiFlag,
                          bool doubleFlag, bool netcdfFlag);
  // Writes the stack of registry entry `index` as its units digit says. Collective.
  virtual void WriteStackOutput(int index);

  // --- Grid files (slots 26, 28, 29; grids/grid_reader.cpp, grids/grid_writer.cpp) ------------
  // Reads an ASCII, binary (double or single), GIF or netCDF ("file<variable>slice") grid file,
  // resampled onto the model grid when its geometry differs, with its own nodata value mapped
  // onto the model's; fillMode 1 fills nodata holes from neighbours, 2 with fillValue. Every
  // process gets its local rows (with one halo row on each side when withHaloRows); with
  // keepWholeGrid 1 process 0 keeps every row; with rootOnly nothing is communicated. With
  // `allocate` a matrix preset with nodata is made, else the rows are written into `grid`.
  // Fills grid_header (values 1-6, and 7-12 of binary files). Collective unless rootOnly.
  // Codes: 21 open, 22 format, header or cells, 23 close, 25 hole too big, 33 filling without
  // the reference grid.
  virtual void ReadGrid(const std::string& fileName, double**& grid, int fillMode, bool allocate,
                        bool verbose, bool strictFill, int keepWholeGrid, bool rootOnly,
                        bool withHaloRows, double fillValue);
  // Writes a grid as a netCDF slice (netcdfFlag), ASCII (asciiFlag) or binary double or single
  // (doubleFlag) file; no MPI: rows this process does not hold are written as nodata. Binary
  // headers carry the area-weighted statistics (also left in grid_header). Codes: 26 create,
  // 18 write, 27 close; a file left behind by a failure is removed.
  virtual void WriteGrid(const std::string& fileName, double** grid, bool asciiFlag,
                         bool doubleFlag, bool netcdfFlag);
  // As WriteGrid, for derived grids: in the ASCII and binary forms the cells of held rows
  // outside the row's column range are first set to nodata in `grid` itself.
  virtual void WriteGridMasked(const std::string& fileName, double** grid, bool asciiFlag,
                               bool doubleFlag, bool netcdfFlag);
  // As WriteGrid (WriteGridMasked when `masked`) from rows handed over one at a time:
  // rows(r) is called for r = 1..nrows in order (null: a row of nodata); `grid` names the grid
  // for the once-only warning of values that are no finite number. The output of registered
  // grids streams gathered rows through it (grids/grid_row_stream.h).
  virtual void WriteGridRows(const std::string& fileName,
                             const std::function<double*(int32_t)>& rows, double** grid,
                             bool asciiFlag, bool doubleFlag, bool netcdfFlag, bool masked);

  // --- Registry (slots 31..33) ------------------------------------------------------------------
  // Write-code output of entry `index` at the date in step_date (grids/grid_output.cpp): keeps
  // the companions up to date and writes the grid and the companions that are due, gathered
  // to process 0 with mpiMode 1 (collective then). gridOnly leaves the period, minimum and
  // maximum companions unwritten.
  virtual void WriteGridOutput(int index, int mpiMode, bool gridOnly);
  // Fills registry entry `index` (1..999, from FirstFreeIndex) with the data (grid, or stack
  // with its level count), names and write code; companions for first_row..last_row are
  // allocated from the digits. Units digit 8 writes the grid at once (WriteGridOutput(index,
  // 1, false)). See GridRegistry::Register for the failures.
  virtual void RegisterGrid(int index, const std::string& file_name, double** grid, double*** stack,
                            int32_t level_count, const std::string& identifier, int32_t write_code,
                            int64_t first_row, int64_t last_row);
  // Releases the entry's names and companions and clears it; the data stay with their owner.
  virtual void UnregisterGrid(int index);

  // --- Numerics and life cycle (slots 34..36) ------------------------------------------------
  virtual double InterpolateLinear(double x0, double y0, double x1, double y1, double x);
  virtual void SetInitialised(int32_t flag) { initialised = flag; }
  // "DEBUG: deleting module <name>", then releases names, buffers and the netCDF writer and
  // reader. Every override ends by calling it.
  virtual void ReleaseMemory();

  // --- Not virtual -----------------------------------------------------------------------------
  // Puts `directory` in front of a relative `name` (one not beginning with '/' or '~'); an empty
  // directory leaves the name alone. A result over 2400 characters is FATAL (code 1).
  void PrefixDirectory(const std::string& directory, std::string& name);
  // The name of a grid the model names itself: `stem` "." the extension of the form its grids
  // are written in (GridFormExtension: "snowalbedo.dbl" with binary doubles).
  std::string FixedGridName(const std::string& stem) const;
  // The file of the input directory a warm start reads a state grid from: `name`, or `older`
  // (the name an earlier version gave it) when only that file is there, with an INFO entry.
  // Collective: every process takes the same name.
  std::string StateFileToRead(const std::string& name, const std::string& older);
  void SetInputGridGeometry(double** grid, double x, double y, double cell_size);
  // Copies what every model object takes from the application's SubModelSetup: the report
  // interval and step-end shift, the [output_list] codes, the zone table with its code-to-index
  // array and column ranges, the grid geometry with this process's rows, and the registry.
  // Dates, tables and grids of the registry are each caller's own business.
  void StoreSharedSetup(const SubModelSetup& setup);

  // --- MPI exchange of registered grids (grids/modelobject_exchange.cpp) -----------------------
  // The operations of grids/mpi_exchange.h on this object's layout (`mpi`). Each takes a matrix
  // or, when it is null, the data of registry entry `index`; stacks take their level count and
  // name from the entry when `index` is 1 or more. With one process, or before the regions are
  // set up (`mpi` null), each returns at once. Collective: every process calls them in the same
  // order, outside OpenMP regions.
  void MPIScatterGrid(int index, double** grid);
  void MPIGatherGrid(int index, double** grid);
  // A whole grid on process 0 (the caller owns it), empty elsewhere.
  GridMatrix MPIGatherGridCopy(int index, double** grid);
  // Without an entry (index 0 or below) `levels` must be given: 0 is code 1010.
  void MPIScatterStack(int index, double*** stack, int levels = 0);
  void MPIGatherStack(int index, double*** stack);
  StackMatrix MPIGatherStackCopy(int index, double*** stack);
  // Halo exchange; a negative index does nothing.
  void MPIPostHaloReceives(int index, double** grid);
  void MPIPostHaloSends(int index, double** grid);
  void MPIWaitHalo(int index);
  void MPIExchangeGridHalo(int index, double** grid);
  void MPIExchangeStackHalo(int index, int unused, double*** stack);
  // Zone records 0..last (five doubles each).
  void MPIReduceRecords(ZoneRecord* records, int last, bool keep);
  void MPIBroadcastRecords(ZoneRecord* records, int last);
  // Packed values of the cells of entry `value_index` where entry `mask_index` is above nodata;
  // counts[r] is the number of such cells owned by process r (see grids/mpi_exchange.h).
  void MPIGatherZoneValues(int value_index, int mask_index, const int64_t* counts, double** target);
  void MPIScatterZoneValues(int value_index, int mask_index, const int64_t* counts);

  // --- Fields ----------------------------------------------------------------------------------
  int32_t initialised = 0;
  double min_to_int_end = 0;  // minutes from the data hour to the end of the step
  double time_shift = 0;      // min_to_int_end / 60, hours
  // January..December; the settings object sets February for the end year.
  std::array<int32_t, 12> month_lengths{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  std::string line_buffer1;  // scratch lines of the readers; the sub-model base keeps its
  std::string line_buffer2;  // section header "[" module "]" in line_buffer2
  std::string control_file_name;
  std::unique_ptr<ControlFileReader> control_file;  // open for the object's section, or null
  RunningStatistics statistics;
  // Header of the last grid read or written: ncols, nrows, xll, yll, cellsize, nodata, count,
  // minimum, maximum, sum, mean, standard deviation.
  std::array<double, 12> grid_header{};
  double** relative_cell_area = nullptr;  // weights of the header statistics
  // Input geometry of the grid reader.
  double input_x = 0;
  double input_y = 0;
  double input_cellsize = 0;
  double** input_grid = nullptr;
  // The grid reader refuses a grid of another geometry that covers none of the model area; a
  // caller that checks the coverage itself, with its own code, turns this off around its read.
  bool refuse_grid_beside_model = true;
  // Pixel-to-value mapping of GIF grids.
  double gif_b1 = 0.0767528404;
  double gif_a1 = 8.916787e-05;
  double gif_b2 = 0.0767528404;
  double gif_a2 = 8.916787e-05;
  int32_t gif_limit = 127;
  // Zone table (records 0..zone_count), code-to-index array, per-row column ranges.
  ZoneRecord* zone_table = nullptr;
  int32_t* zone_code_index = nullptr;
  ColumnRange* column_ranges = nullptr;
  int32_t zone_count = 0;
  int32_t highest_zone_code = 0;
  // Zone codes of [output_list] (1..count) for the zone statistics.
  int32_t output_list_count = 0;
  int32_t* output_list_codes = nullptr;
  // Model time.
  ModelDate step_date;
  ModelDate start_date;
  ModelDate end_date;
  std::array<int64_t, 4> key_weights{kKeyWeightYear, kKeyWeightMonth, kKeyWeightDay,
                                     kKeyWeightHour};
  int64_t end_key = 0;
  // Output format of grid and stack files.
  bool write_ascii = false;
  bool write_double = false;
  bool write_netcdf = false;
  std::string output_directory;  // empty: no prefix
  std::string input_directory;
  // Grids written with a value that is no finite number, each warned about once.
  std::set<double**> grids_with_non_finite_values;
  // Rows per block in which process 0 gathers and writes a grid of the write-code output
  // (0: as many as fit 4 MiB).
  int32_t output_block_rows = 0;
  GridRegistry* registry = nullptr;  // shared by all model objects of the run
  double** owner_grid = nullptr;     // data of "MPIRegions"
  double** strip_table = nullptr;    // data of "MPIHelper"
  int32_t rank = 0;
  int32_t size = 1;
  MpiLayout* mpi = nullptr;  // this process's decomposition and halo lists
  int32_t response_unit_switch = 0;
  std::vector<HruRecord>* response_unit_table = nullptr;
  int32_t report_interval = 0;  // hours
  // One netCDF writer and reader per object (created by the netCDF output code).
  std::shared_ptr<NetcdfGridWriter> netcdf_writer;
  std::shared_ptr<NetcdfGridReader> netcdf_reader;

 private:
  template <class T>
  int ReadOneValue(ControlFileReader& file, T& destination, const std::string& description,
                   std::string* rest);
  GridRegistry& Registry();
};

template <class First, class Second>
int modelobject::ReadTwoValues(ControlFileReader& file, First& first, Second& second,
                               const std::string& description, std::string* rest) {
  int count = 0;
  if (file.Read(first)) {
    count = 1;
    if (file.Read(second)) count = 2;
  }
  if (count != 2) ReportControlFileError(description, module_name);
  std::string remainder = file.RestOfLine();
  if (rest != nullptr) *rest = std::move(remainder);
  return count;
}

}  // namespace velorn
