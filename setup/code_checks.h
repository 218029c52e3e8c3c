// Code grids: the land-use, soil and irrigation grids hold the codes of their tables' entries;
// the set-up checks every code against its table and replaces it by the index of its entry, so
// that the sub-models index the tables directly with the grid value.
//
// The pure steps live here (testable on whole grids without MPI); the settings object runs
// them on process 0 and distributes the result (defaultini::CheckCodeGrid and the named checks,
// code_checks.cpp), at set-up and again after every periodic re-read of a code grid; once
// process 0 holds only its rows (setup/held_rows_trim.h), a re-read grid is checked and replaced
// on every process's rows and the first unknown code in row order is reported. A code is
// the integer part of the cell value, and a replaced cell holds exactly its entry's index, also
// when the file held a fraction (20.5 in a grid whose table has code 20 at entry 2 becomes 2).
// The pure steps take a table as its codes, entries 1..count (element 0 unused); the settings
// object takes them from its own tables (land use, multilayer land use, soil, irrigation).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velorn {

// The tables a code grid is checked against, with their messages and codes.
enum class CodeTable { kSoil, kIrrigation, kLanduse, kMultilayerLanduse };

inline constexpr int kUnknownLanduseCode = 31;
inline constexpr int kUnknownIrrigationCode = 31;
inline constexpr int kUnknownSoilCode = 32;
inline constexpr int kUnknownMultilayerCode = 311;
inline constexpr int kBadLayerCode = 312;

struct UnknownCode {
  bool found = false;
  int32_t row = 0;
  int32_t col = 0;
  double value = 0;
};

// The first cell (row by row) inside the zones (zone value not nodata) whose code is no code
// of the table; irrigation grids test only values above 0. A value that is not finite is
// never a code.
UnknownCode FindUnknownCode(double** grid, double** zone, int32_t ncols, int32_t nrows,
                            double nodata, const std::vector<int32_t>& codes, bool positive_only);
// The same over rows first_row..last_row only.
UnknownCode FindUnknownCode(double** grid, double** zone, int32_t ncols, int32_t first_row,
                            int32_t last_row, double nodata, const std::vector<int32_t>& codes,
                            bool positive_only);

// Sets every cell of rows 1..nrows whose code is a table code to that entry's index (with a
// code given twice, the later entry's). Irrigation grids (positive_only) keep values of 0 and
// below.
void ReplaceCodesByIndexes(double** grid, int32_t ncols, int32_t nrows,
                           const std::vector<int32_t>& codes, bool positive_only);
// The same over rows first_row..last_row only.
void ReplaceCodesByIndexes(double** grid, int32_t ncols, int32_t first_row, int32_t last_row,
                           const std::vector<int32_t>& codes, bool positive_only);

// Pairs of entries (first, later) that hold the same code.
std::vector<std::pair<int32_t, int32_t>> DuplicateCodes(const std::vector<int32_t>& codes);

// Index 1..count of `code` in the table (the later of equal codes), 0 when absent.
int32_t IndexOfCode(const std::vector<int32_t>& codes, int32_t code);

}  // namespace velorn
