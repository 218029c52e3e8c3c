// memory_handling: root of the model class tree, allocation with error reporting.
//
// `modelobject`, `ModellApplication` and `TSplines` derive from it. It hands out the two shapes
// of numeric data of the model (grids of doubles and stacks, see core/matrix.h for their layout)
// and zero-filled buffers, and turns every failed allocation into a "FATAL: " entry on the
// object's DiagnosticStream followed by a thrown ErrorCode: code 1 for grids and stacks, 81 for
// buffers ("FATAL: memory allocation error in " + module name + " (" + caller's code + ")").
//
// The grid operations forward to core/matrix.h, which records every layout: freeing with
// arguments other than those of the allocation is refused (code 1) instead of freeing foreign
// memory. New code should prefer the owning GridMatrix / StackMatrix and std::vector
// (AllocateArray) over the raw forms, which remain for code that hands `double**` around.
//
// The diagnostics pointer and the module name live here because every allocation message needs
// them; derived classes set the module name with SetModuleName (at most 100 characters).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/diagnostic_stream.h"
#include "core/matrix.h"

namespace velorn {

// Longest module name.
inline constexpr std::size_t kMaxModuleNameLength = 100;
// Code thrown after a failed buffer allocation.
inline constexpr int kAllocationErrorCode = 81;

class memory_handling {
 public:
  explicit memory_handling(DiagnosticStream* diag_stream = nullptr) : diag(diag_stream) {}
  virtual ~memory_handling() = default;
  memory_handling(const memory_handling&) = delete;
  memory_handling& operator=(const memory_handling&) = delete;

  // Stack of rows first_row..last_row (row pointers null outside), cells first_col..last_col,
  // levels 0..levels per cell, all zero. total_rows <= 0: the row array ends at last_row.
  virtual double*** Allocate3dMatrix(int64_t first_row, int64_t last_row, int64_t first_col,
                                     int64_t last_col, int64_t levels, int64_t total_rows);
  // Frees a stack; the row range must be that of the allocation. Null is ignored.
  virtual void Free3dMatrix(double*** stack, int64_t first_row, int64_t last_row);
  // Grid of rows first_row..last_row with columns 0..last_col (use 1..last_col), all zero:
  // a whole grid is matrix(1, nrows, 1, ncols, 0), a process's share
  // matrix(first local row, last local row, 1, ncols, nrows).
  virtual double** matrix(int64_t first_row, int64_t last_row, int64_t first_col, int64_t last_col,
                          int64_t total_rows);
  // Frees a grid; first row, last row and last column must be those of the allocation.
  virtual void FreeMatrix(double** grid, int64_t first_row, int64_t last_row, int64_t first_col,
                          int64_t last_col, int64_t total_rows);
  // `count` zero bytes (a valid pointer also for 0); a failure (or a negative count) calls
  // ReportAllocationError(code).
  virtual std::unique_ptr<char[]> AllocateBuffer(int32_t count, int32_t code);
  // Writes "FATAL: memory allocation error in <module> (<code>)" and throws 81.
  [[noreturn]] virtual void ReportAllocationError(int32_t code);
  // Halvings that bring x to 1 or below (0 for x <= 1).
  virtual double CountHalvings(double x);

  // `count` value-initialised (zero) elements; a failure calls ReportAllocationError(code).
  template <class T>
  std::vector<T> AllocateArray(std::size_t count, int32_t code) {
    std::vector<T> array;
    bool failed = false;
    try {
      array.resize(count);
    } catch (const std::bad_alloc&) {
      failed = true;
    } catch (const std::length_error&) {
      failed = true;
    }
    if (failed) ReportAllocationError(code);
    return array;
  }

  // Sets the module name used in messages; a name over 100 characters is a FATAL error
  // (code 1).
  void SetModuleName(const std::string& name);

  DiagnosticStream* diag = nullptr;
  std::string module_name;

 protected:
  // The stream for messages; an object without one is a programming error (std::logic_error).
  DiagnosticStream& Diag() const;
};

}  // namespace velorn
