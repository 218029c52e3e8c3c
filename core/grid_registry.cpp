// GridRegistry: registration, searches and release of entries.
#include "core/grid_registry.h"

#include "core/diagnostic_stream.h"
#include "core/error_code.h"

namespace velorn {
namespace {

void CheckTextLength(DiagnosticStream& diag, const char* what, const std::string& text,
                     std::size_t limit) {
  if (text.size() <= limit) return;
  ThrowFatal(diag, kRegistryTextCode, "FATAL: ", what, " longer than ",
             static_cast<unsigned long>(limit), " characters: ", text);
}

// Allocates a companion for the entry's rows when `wanted`, else releases it.
void SetCompanion(DiagnosticStream& diag, bool wanted, GridMatrix& companion, std::string& name,
                  const std::string& file_name, int64_t first_row, int64_t last_row, int32_t ncols,
                  int32_t nrows) {
  if (!wanted) {
    companion = GridMatrix();
    name.clear();
    return;
  }
  companion = GridMatrix(diag, first_row, last_row, ncols, nrows);
  name = file_name;
}

}  // namespace

void SetWriteCodeDigits(GridEntry& entry, int32_t write_code) {
  entry.write_code = write_code;
  entry.units_digit = write_code % 10;
  entry.tens_digit = write_code % 100 / 10;
  const int32_t hundreds = write_code % 1000 / 100;
  entry.minimum_flag = (hundreds == 1 || hundreds == 3) ? 1 : 0;
  entry.maximum_flag = (hundreds == 2 || hundreds == 3) ? 1 : 0;
  entry.thousands_digit = write_code % 10000 / 1000;
}

GridRegistry::GridRegistry() : entries_(kGridRegistrySize) {}

int GridRegistry::FirstFreeIndex() const {
  for (int i = 1; i <= kLastGridIndex; ++i) {
    if (!entries_[i].identifier) return i;
  }
  return kRefusedGridIndex;
}

int GridRegistry::Find(std::string_view identifier, int flag) const {
  for (int i = 1; i <= kLastGridIndex; ++i) {
    const GridEntry& entry = entries_[i];
    if (i >= 2) {
      if (!entry.file_name) return 0;
      if (flag == 0 && entry.grid == nullptr) return 0;
    }
    if (entry.HasIdentifier(identifier)) return i;
  }
  return 0;
}

int GridRegistry::FindIdentifier(std::string_view identifier) const {
  for (int i = 1; i <= kLastGridIndex; ++i) {
    const GridEntry& entry = entries_[i];
    if (!entry.identifier) return 0;
    if (*entry.identifier == identifier) return i;
  }
  return 0;
}

void GridRegistry::Register(DiagnosticStream& diag, int index, const std::string& file_name,
                            double** grid, double*** stack, int32_t level_count,
                            const std::string& identifier, int32_t write_code, int64_t first_row,
                            int64_t last_row, int32_t ncols, int32_t nrows) {
  if (index == kRefusedGridIndex) {
    ThrowFatal(diag, kRegistryFullCode, "FATAL: no free grid in memory,(max. ", kRefusedGridIndex,
               ")!");
  }
  if (index < 1 || index > kLastGridIndex) {
    ThrowFatal(diag, kRegistryFullCode, "FATAL: invalid grid registry index ", index, " for grid ",
               identifier, " (valid: 1..", kLastGridIndex, ")");
  }
  CheckTextLength(diag, "grid file name", file_name, kMaxGridFileNameLength);
  CheckTextLength(diag, "grid identifier", identifier, kMaxGridIdentifierLength);

  GridEntry& entry = entries_[index];
  entry.file_name = file_name;
  if (!entry.first_file_name) entry.first_file_name = file_name;
  entry.identifier = identifier;
  entry.grid = grid;
  entry.stack = stack;
  entry.level_count = level_count;
  entry.extremes_initialised = 0;
  entry.run_period_written = false;
  entry.call_counter = 0;
  SetWriteCodeDigits(entry, write_code);
  entry.first_row = first_row;
  entry.last_row = last_row;

  // Companions of an earlier registration of this index are released by the assignments.
  SetCompanion(diag, entry.tens_digit != 0, entry.period_grid, entry.period_file_name, file_name,
               first_row, last_row, ncols, nrows);
  SetCompanion(diag, entry.minimum_flag != 0, entry.minimum_grid, entry.minimum_file_name,
               file_name, first_row, last_row, ncols, nrows);
  SetCompanion(diag, entry.maximum_flag != 0, entry.maximum_grid, entry.maximum_file_name,
               file_name, first_row, last_row, ncols, nrows);
  SetCompanion(diag, entry.thousands_digit != 0, entry.vegetation_grid, entry.vegetation_file_name,
               file_name, first_row, last_row, ncols, nrows);
}

void GridRegistry::Unregister(int index) {
  if (index < 1 || index > kRefusedGridIndex) return;
  GridEntry& entry = entries_[index];
  entry.file_name.reset();
  entry.identifier.reset();
  entry.units_digit = 0;
  entry.level_count = 0;
  entry.grid = nullptr;
  entry.stack = nullptr;
  entry.call_counter = 0;
  entry.period_grid = GridMatrix();
  entry.period_file_name.clear();
  entry.minimum_grid = GridMatrix();
  entry.minimum_file_name.clear();
  entry.maximum_grid = GridMatrix();
  entry.maximum_file_name.clear();
  entry.vegetation_grid = GridMatrix();
  entry.vegetation_file_name.clear();
  entry.first_file_name.reset();
}

}  // namespace velorn
