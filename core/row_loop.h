// The one parallel loop of the model: a body run over this process's own rows (or any index
// range) by the OpenMP threads, with errors carried out of the parallel region.
//
// No exception may leave an OpenMP region (the program would end in std::terminate, without
// its FATAL entry). ForEachRow runs the body for every index of [first, last] under
// `schedule(runtime)` (OMP_SCHEDULE chooses the distribution), keeps the first exception any
// thread throws (an ErrorCode or anything else), lets the other iterations finish or skip, and
// rethrows that exception on the calling thread after the region. An error raised in one row of
// many therefore arrives exactly once, with its code.
//
// Every cell loop of a sub-model runs through this helper; no model writes its own
// `#pragma omp parallel`. A body may write diagnostics entries (ThrowFatal among them): inside
// the region the stream keeps each thread's pieces until "[end-entry]" and writes the entry
// whole under its lock, so entries of different rows never mix. No MPI call may be made inside
// the body.
//
//   // Potential evaporation of every own cell; a bad land-use code ends the run with code 31.
//   ForEachRow(first_row, last_row, [&](long r) {
//     for (long c = columns.first(r); c <= columns.last(r); ++c) {
//       if (IsNodata(zone[r][c])) continue;
//       if (code[r][c] < 1) ThrowFatal(diag, 31, "FATAL: land-use code < 1 in row ", r);
//       etp[r][c] = PotentialEvaporation(temperature[r][c], radiation[r][c]);
//     }
//   });
//
// An empty range (last < first) does nothing. Nested calls run the inner loop on the calling
// thread (OpenMP's default), so a body may call a function that itself uses ForEachRow.
#pragma once

#include <atomic>
#include <exception>
#include <mutex>

namespace velorn {

// Holds the first exception thrown by any thread of a parallel region.
class FirstError {
 public:
  // Runs `work`; an exception it throws is kept if it is the first.
  template <class Work>
  void Capture(Work&& work) noexcept {
    try {
      work();
    } catch (...) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!error_) error_ = std::current_exception();
      failed_.store(true, std::memory_order_relaxed);
    }
  }
  // True once any thread failed: the remaining iterations may be skipped.
  bool Failed() const noexcept { return failed_.load(std::memory_order_relaxed); }
  // Rethrows the kept exception, if any; call after the region on the calling thread.
  void Rethrow() const {
    if (error_) std::rethrow_exception(error_);
  }

 private:
  std::mutex mutex_;
  std::exception_ptr error_;
  std::atomic<bool> failed_{false};
};

template <class Body>
void ForEachRow(long first, long last, Body&& body) {
  if (last < first) return;
  FirstError error;
#pragma omp parallel for schedule(runtime)
  for (long index = first; index <= last; ++index) {
    if (error.Failed()) continue;
    error.Capture([&] { body(index); });
  }
  error.Rethrow();
}

}  // namespace velorn
