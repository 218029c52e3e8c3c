// ZoneEntrySums: what the cells enter into numbered records during one step (a count, a sum and
// a weight per entry), summed exactly and combined over the processes once per step, so that
// the step's total of each record is the same double on any number of processes and for any
// order of the cells.
//
// Owners: the flow-time zones of the soil zone's runoff concentration
// (unsatzone/runoff_concentration.h) and of surface routing (lateral/surface_routing_model.h).
// They hold their records as plain doubles on process 0 and add each step's totals to them there,
// in the order of the steps; the other processes hold no share of them. The owner numbers its
// records 0..keys-1. A record gets its three exact sums when a cell of this process first
// enters it and keeps them (a cell enters the same record every step), so the memory follows the
// records the own cells reach, not all records: a cell's runoff that arrives in 300 steps needs
// no sums for the other 299. Each sum holds only the five base-2^32 digits around its first term
// (48 bytes: terms within about 2^32 of each other, as one step's entries of one record are);
// a term outside them moves the sum to a full ExactSum (core/exact_sum.h) for the rest of the
// step. The digits are not normalised while the step runs: at most 2^30 entries per record and
// step.
//
//   ZoneEntrySums sums;
//   sums.Resize(keys);
//   for every own cell and sub-step:  sums.Add(key, count, value, weight);
//   for (const auto& t : sums.Finish(nullptr, comm))  // collective, at the end of the step
//     records[t.key] += t.value;                       // on process 0 only
//
// Finish makes one exchange of packed digits over the records that any process entered (their
// list is agreed among the processes whenever a process entered a record for the first time)
// plus, optionally, further exact sums of the owner that travel along. With one process it
// rounds the sums and exchanges nothing. Not thread-safe: one thread adds (the owners' cell loops
// that enter records run on one thread). No call inside an OpenMP region.
#pragma once

#include <mpi.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/exact_sum.h"
#include "core/zone_types.h"

namespace velorn {

class ZoneEntrySums {
 public:
  // Terms of one entry, in the records' field order: count, sum, weight.
  static constexpr int kTerms = 3;
  // The step's totals of one record.
  struct Total {
    std::size_t key = 0;
    double value[kTerms] = {};
  };

  // Records 0..keys-1, none entered yet.
  void Resize(std::size_t keys);
  std::size_t keys() const { return slot_.size(); }

  // Adds one entry to record `key` (< keys()).
  void Add(std::size_t key, double count, double value, double weight) {
    int32_t slot = slot_[key];
    if (slot < 0) slot = NewSlot(key);
    NarrowSum* sums = &sums_[static_cast<std::size_t>(slot) * kTerms];
    AddTerm(sums[0], count);
    AddTerm(sums[1], value);
    AddTerm(sums[2], weight);
  }

  // The step's totals over all processes of every record that received an entry on any process
  // (each the exact sum rounded once), on process 0; empty on the others. `extra` (may be null)
  // travels in the same exchange: on process 0 each of its sums becomes its sum over all
  // processes, the others keep theirs. Starts the next step without entries. Collective.
  const std::vector<Total>& Finish(std::vector<ExactSum>* extra, MPI_Comm comm);

 private:
  // An exact sum of one step's terms: digits lo..lo+4 (unnormalised), or wide_[wide].
  struct NarrowSum {
    static constexpr int kWidth = 5;
    int64_t digit[kWidth] = {};
    int32_t lo = -1;    // no term yet
    int32_t wide = -1;  // no full sum
  };
  void AddTerm(NarrowSum& sum, double x) {
    if (sum.wide < 0) {
      bool fits = true;
      SplitExactSumTerm(
          x,
          [&](int digit, bool negative, int64_t low, int64_t middle, int64_t high) {
            if (sum.lo < 0) sum.lo = digit > 0 ? digit - 1 : 0;
            const int k = digit - sum.lo;
            fits = k >= 0 && k + 2 < NarrowSum::kWidth;
            if (!fits) return;
            const int64_t sign = negative ? -1 : 1;
            sum.digit[k] += sign * low;
            sum.digit[k + 1] += sign * middle;
            sum.digit[k + 2] += sign * high;
          },
          [&](int) { fits = false; });
      if (fits) return;
      Widen(sum);
    }
    wide_[static_cast<std::size_t>(sum.wide)].Add(x);
  }
  // Moves the sum to a full ExactSum.
  void Widen(NarrowSum& sum);
  // The digits lo..lo+5 of a narrow sum, normalised, at `digits`; returns lo (-1: no term).
  static int Normalised(const NarrowSum& sum, int64_t* digits);
  int32_t NewSlot(std::size_t key);
  // Makes the list of records that any process entered (collective).
  void AgreeLayout(MPI_Comm comm);

  std::vector<int32_t> slot_;         // per record: its sums (index / kTerms) or -1
  std::vector<std::size_t> entered_;  // the records this process entered, by slot
  std::vector<NarrowSum> sums_;       // kTerms per slot
  std::vector<ExactSum> wide_;        // the step's sums that outgrew their digits
  std::vector<std::size_t> layout_;   // records entered on any process, ascending
  bool grown_ = false;                // a record entered for the first time since AgreeLayout
  std::vector<Total> totals_;
};

// Appends the flow-time records 1..last of one subbasin as the owners' storage content files
// hold them, per zone a line of `qd`, then one of `qi`: the five fields with every digit
// ("%.17g ", so that a warm start reads back the same doubles), then the fields' names.
void AppendFlowTimeRecords(std::string& text, const std::vector<ZoneRecord>& qd,
                           const std::vector<ZoneRecord>& qi, int32_t last);

}  // namespace velorn
