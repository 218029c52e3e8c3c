// Dump and repair of a soil column ("-dumpmode", "-closeAfterDump", "-repairAfterDump"): the
// tests a cell's column must pass after every inner water step, the name of its dump file, the
// repair of the failing values and the count of dump events with its messages.
//
// The pieces are pure functions over the column arrays of the soil-water sub-step (indexed
// -M..N: snow layers 1-M..0 above the soil layers 1..N), so the cell body calls them per inner
// step and tests need no model. The count of dump events is one atomic per model, shared by its
// threads; "-closeAfterDump" ends the run with code 199 from the thread of the cell, which the
// row-loop helper carries out of the parallel region.
//
// The cell body keeps a ColumnSnapshot (unsatzone/column_snapshot.h) at the start of every inner
// step (unsatzonmodellklasse::TakeColumnSnapshot) and calls unsatzonmodellklasse::CheckInnerStep
// after its iteration: the tests (with heat transfer the temperatures after the step against
// those at its start), the dump files, the close and the repair (unsatzone/soil_dump.cpp).
#pragma once

#include <atomic>
#include <climits>
#include <cstdint>
#include <string>

namespace velorn {

class DiagnosticStream;
struct CellHeat;

// What the cell body knows of an inner step beside its column: the step k (1..n_w), n_w, the
// step length (s), the top index i0, the cell's heat steps (null without heat transfer) and
// the sub-step length (s).
struct InnerStep {
  int step = 1;
  int innerSteps = 1;
  double innerStepLength = 0;
  int i0 = 0;
  const CellHeat* heat = nullptr;
  double substepSeconds = 0;
};

inline constexpr int kCloseAfterDumpCode = 199;
inline constexpr int kNoDumpLayer = INT_MIN;

// The tests that failed, each with its first failing layer (kNoDumpLayer: passed).
struct DumpReasons {
  int heat = kNoDumpLayer;
  int theta = kNoDumpLayer;
  bool baseflow = false;
  int snowGap = kNoDumpLayer;
  bool Any() const {
    return baseflow || heat != kNoDumpLayer || theta != kNoDumpLayer || snowGap != kNoDumpLayer;
  }
};

// Temperatures of a column (°C, -M..N) for the temperature test: current values, values at the
// start of the heat step, the top index i0, the n-factor times the surface temperature and, when
// known, the lower boundary temperature, which the bottom layer follows as the top layer follows
// the surface.
struct ColumnTemperatures {
  const double* current = nullptr;
  const double* start = nullptr;
  int i0 = 0;
  double surface = 0;
  bool hasLower = false;
  double lower = 0;
};

// Tests after the iteration of an inner step: base flow beyond +-10; water content below 0
// (and above -9998.9, an empty snow layer) or above saturation + 0.001; a snow layer below a
// wet one that is empty; with temperatures, one outside [-70, 70] or beyond all its reference
// values by more than 0.001.
DumpReasons TestColumnStep(double baseflow, const double* theta, const double* theta_sat, int M,
                           int N, const ColumnTemperatures* heat);

// "MPI_<rank>_<reasons>dump_row_<row>_col_<column>_substep_<k>_YYYYMMDDHH.dmp", the reasons
// "heat(i)_", "theta(i)_", "dgw_", "thetasnow(i)_" in this order.
std::string DumpFileName(int rank, const DumpReasons& reasons, long row, long column, int step,
                         int64_t year, int64_t month, int64_t day, int64_t hour);

// Sets the failing values back into their range: base flow to +-10; the water content of soil
// layers 1..N to [0, saturation]; their temperatures to [-70, 70] or to the nearest reference
// value (layer 1 with the references of a top layer). Snow layers are reported, not repaired.
void RepairColumnStep(const DumpReasons& reasons, double& baseflow, double* theta,
                      const double* theta_sat, int N, double* temperature,
                      const ColumnTemperatures* heat);

// One dump event: whether its files are written (no limit, or fewer events than the limit
// before it) and which repair message follows (0 none, 1 the message, 2 the message with
// "continuing from now on without that message..."; none without a limit).
struct DumpEvent {
  bool writeFiles = false;
  int message = 0;
};
DumpEvent CountDumpEvent(std::atomic<int64_t>& count, int64_t max_files);
// The repair message of an event (message 1 or 2) as one DEBUG entry.
void WriteRepairMessage(DiagnosticStream& diag, int message);
// "-closeAfterDump": the FATAL entry, then code 199.
[[noreturn]] void CloseAfterDump(DiagnosticStream& diag);

}  // namespace velorn
