// memory_handling: forwards the grid and stack operations to the recorded-layout allocators and
// reports failed buffer allocations.
#include "core/memory_handling.h"

#include "core/error_code.h"

namespace velorn {

DiagnosticStream& memory_handling::Diag() const {
  if (diag == nullptr) throw std::logic_error("model object without a diagnostics stream");
  return *diag;
}

double*** memory_handling::Allocate3dMatrix(int64_t first_row, int64_t last_row, int64_t first_col,
                                            int64_t last_col, int64_t levels, int64_t total_rows) {
  return velorn::Allocate3dMatrix(Diag(), first_row, last_row, first_col, last_col, levels,
                                  total_rows);
}

void memory_handling::Free3dMatrix(double*** stack, int64_t first_row, int64_t last_row) {
  if (stack == nullptr) return;
  velorn::Free3dMatrix(Diag(), stack, first_row, last_row);
}

double** memory_handling::matrix(int64_t first_row, int64_t last_row, int64_t first_col,
                                 int64_t last_col, int64_t total_rows) {
  return AllocateMatrix(Diag(), first_row, last_row, first_col, last_col, total_rows);
}

void memory_handling::FreeMatrix(double** grid, int64_t first_row, int64_t last_row,
                                 int64_t first_col, int64_t last_col, int64_t total_rows) {
  if (grid == nullptr) return;
  velorn::FreeMatrix(Diag(), grid, first_row, last_row, first_col, last_col, total_rows);
}

std::unique_ptr<char[]> memory_handling::AllocateBuffer(int32_t count, int32_t code) {
  std::unique_ptr<char[]> buffer;
  if (count >= 0) {
    try {
      // Value-initialised, so zero; a count of 0 still gives a valid, unique pointer.
      buffer = std::make_unique<char[]>(static_cast<uint32_t>(count));
    } catch (const std::bad_alloc&) {
      buffer.reset();
    }
  }
  if (!buffer) ReportAllocationError(code);
  return buffer;
}

void memory_handling::ReportAllocationError(int32_t code) {
  ThrowFatal(Diag(), kAllocationErrorCode, "FATAL: memory allocation error in ", module_name, " (",
             code, ")");
}

double memory_handling::CountHalvings(double x) {
  return velorn::CountHalvings(x);
}

void memory_handling::SetModuleName(const std::string& name) {
  if (name.size() > kMaxModuleNameLength) {
    ThrowFatal(Diag(), 1, "FATAL: module name longer than ", static_cast<int>(kMaxModuleNameLength),
               " characters: ", name);
  }
  module_name = name;
}

}  // namespace velorn
