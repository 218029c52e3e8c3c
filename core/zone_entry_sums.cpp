// Exact per-step sums of record entries over the processes (see zone_entry_sums.h).
#include "core/zone_entry_sums.h"

#include <algorithm>

#include "core/mpi_operations.h"
#include "core/string_helpers.h"

namespace velorn {

void ZoneEntrySums::Widen(NarrowSum& sum) {
  ExactSum& wide = wide_.emplace_back();
  if (sum.lo >= 0) {
    // The digits, then the counts of NaN and infinities (none yet: those terms widen the sum).
    int64_t packed[NarrowSum::kWidth + ExactSum::kSpecials] = {};
    std::copy(sum.digit, sum.digit + NarrowSum::kWidth, packed);
    wide.Unpack(sum.lo, sum.lo + NarrowSum::kWidth - 1, packed);
  }
  sum.wide = static_cast<int32_t>(wide_.size() - 1);
}

void ZoneEntrySums::Resize(std::size_t keys) {
  slot_.assign(keys, -1);
  entered_.clear();
  sums_.clear();
  wide_.clear();
  layout_.clear();
  grown_ = false;
  totals_.clear();
}

int32_t ZoneEntrySums::NewSlot(std::size_t key) {
  const auto slot = static_cast<int32_t>(entered_.size());
  slot_[key] = slot;
  entered_.push_back(key);
  sums_.resize(sums_.size() + kTerms);
  grown_ = true;
  return slot;
}

void ZoneEntrySums::AgreeLayout(MPI_Comm comm) {
  std::vector<double> entered(slot_.size(), 0.0);
  for (std::size_t key : entered_) entered[key] = 1.0;
  AllReduceMaximum(entered, comm);
  layout_.clear();
  for (std::size_t key = 0; key < entered.size(); ++key)
    if (entered[key] > 0) layout_.push_back(key);
  grown_ = false;
}

int ZoneEntrySums::Normalised(const NarrowSum& sum, int64_t* digits) {
  if (sum.lo < 0) return -1;
  std::copy(sum.digit, sum.digit + NarrowSum::kWidth, digits);
  digits[NarrowSum::kWidth] = 0;
  ExactSum::NormalizeDigits(digits, NarrowSum::kWidth + 1);
  return sum.lo;
}

const std::vector<ZoneEntrySums::Total>& ZoneEntrySums::Finish(std::vector<ExactSum>* extra,
                                                               MPI_Comm comm) {
  totals_.clear();
  int size = 1;
  int rank = 0;
  MPI_Comm_size(comm, &size);
  MPI_Comm_rank(comm, &rank);
  const auto reset = [&] {
    std::fill(sums_.begin(), sums_.end(), NarrowSum{});
    wide_.clear();
  };
  if (size == 1) {
    for (std::size_t slot = 0; slot < entered_.size(); ++slot) {
      Total& total = totals_.emplace_back();
      total.key = entered_[slot];
      for (int f = 0; f < kTerms; ++f) {
        const NarrowSum& sum = sums_[slot * kTerms + static_cast<std::size_t>(f)];
        total.value[f] = sum.wide >= 0 ? wide_[static_cast<std::size_t>(sum.wide)].Value()
                         : sum.lo >= 0
                             ? ExactSum::ValueOfDigits(sum.lo, sum.digit, NarrowSum::kWidth)
                             : 0.0;
      }
    }
    reset();
    return totals_;
  }
  // One digit range for all sums and processes, so the packed sums line up element-wise; and
  // whether the list of entered records must be agreed again.
  int lo = ExactSum::kDigits;
  int hi = -1;
  int64_t digits[NarrowSum::kWidth + 1];
  for (const NarrowSum& sum : sums_) {
    if (sum.wide >= 0) {
      ExactSum& wide = wide_[static_cast<std::size_t>(sum.wide)];
      wide.Normalize();
      lo = std::min(lo, wide.lowest_digit());
      hi = std::max(hi, wide.highest_digit());
      continue;
    }
    const int first = Normalised(sum, digits);
    for (int k = 0; first >= 0 && k <= NarrowSum::kWidth; ++k)
      if (digits[k] != 0) {
        lo = std::min(lo, first + k);
        hi = std::max(hi, first + k);
      }
  }
  if (extra != nullptr)
    for (ExactSum& e : *extra) {
      e.Normalize();
      lo = std::min(lo, e.lowest_digit());
      hi = std::max(hi, e.highest_digit());
    }
  std::vector<double> agreed{-static_cast<double>(lo), static_cast<double>(hi), grown_ ? 1.0 : 0.0};
  AllReduceMaximum(agreed, comm);
  lo = -static_cast<int>(agreed[0]);
  hi = static_cast<int>(agreed[1]);
  if (agreed[2] > 0) AgreeLayout(comm);
  const int count = std::max(hi - lo + 1, 0);
  const auto width = static_cast<std::size_t>(count + ExactSum::kSpecials);
  // Every value of every record in the list, then the extra sums: digits lo..hi and the counts
  // of NaN and infinities (those of a narrow sum are 0).
  std::vector<int64_t> packed(
      (layout_.size() * kTerms + (extra != nullptr ? extra->size() : 0)) * width, 0);
  int64_t* next = packed.data();
  for (std::size_t key : layout_) {
    const int32_t slot = slot_[key];
    for (int f = 0; f < kTerms; ++f, next += width) {
      if (slot < 0) continue;
      const NarrowSum& sum = sums_[static_cast<std::size_t>(slot) * kTerms + f];
      if (sum.wide >= 0) {
        std::vector<int64_t> one;
        wide_[static_cast<std::size_t>(sum.wide)].Pack(lo, hi, one);
        std::copy(one.begin(), one.end(), next);
        continue;
      }
      const int first = Normalised(sum, digits);
      for (int k = 0; first >= 0 && k <= NarrowSum::kWidth; ++k)
        if (digits[k] != 0) next[first + k - lo] = digits[k];
    }
  }
  if (extra != nullptr)
    for (const ExactSum& e : *extra) {
      std::vector<int64_t> one;
      e.Pack(lo, hi, one);
      std::copy(one.begin(), one.end(), next);
      next += width;
    }
  reset();
  ReduceSumsToRoot(packed, comm);
  if (rank != 0) return totals_;
  const int64_t* in = packed.data();
  ExactSum sum;
  // A value's total: from its digits alone unless it holds NaN or infinities.
  const auto value = [&](const int64_t* at) {
    if (std::any_of(at + count, at + width, [](int64_t n) { return n != 0; })) {
      sum.Unpack(lo, hi, at);
      return sum.Value();
    }
    return ExactSum::ValueOfDigits(lo, at, count);
  };
  totals_.reserve(layout_.size());
  for (std::size_t key : layout_) {
    Total& total = totals_.emplace_back();
    total.key = key;
    for (int f = 0; f < kTerms; ++f, in += width) total.value[f] = value(in);
  }
  if (extra != nullptr)
    for (ExactSum& e : *extra) {
      e.Unpack(lo, hi, in);
      in += width;
    }
  return totals_;
}

void AppendFlowTimeRecords(std::string& text, const std::vector<ZoneRecord>& qd,
                           const std::vector<ZoneRecord>& qi, int32_t last) {
  // printf's exact conversion of these doubles was most of the cost of writing a state with
  // long flow times; AppendGeneral gives the same text several times faster.
  for (int32_t z = 1; z <= last; ++z) {
    for (const char* name : {"QD", "QI"}) {
      for (const double value : (name[1] == 'D' ? qd : qi)[static_cast<std::size_t>(z)].field) {
        AppendGeneral(text, value, 17);
        text += ' ';
      }
      text += "(zoneFZT_";
      text += name;
      text += ".n/.sx/.zonenwert/.rel/.RelCellSum)\n";
    }
  }
}

}  // namespace velorn
