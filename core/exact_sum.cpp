// ExactSum: exact accumulation in base-2^32 digits, normalisation, packing and rounding.
#include "core/exact_sum.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

namespace velorn {
namespace {

constexpr int64_t kBase = int64_t{1} << 32;
constexpr int64_t kHalfBase = int64_t{1} << 31;
// Additions after which the digits are normalised: each moves a digit by less than 2^32, so
// 2^30 of them keep a normalised digit below 2^62.
constexpr int32_t kAdditionsPerNormalization = 1 << 30;
// Digit i weighs 2^(32 i + kLowestExponent).
constexpr int kLowestExponent = -1074;
constexpr int kNan = 0;
constexpr int kPlusInfinity = 1;
constexpr int kMinusInfinity = 2;

// The value of normalised digits lo..hi (digit k at first[k - lo]). The normalised digits are
// unique for a given sum; adding them from the highest down rounds the same way whatever order
// the terms came in.
double Evaluate(const int64_t* first, int lo, int hi) {
  // Digit k as a double is digit x 2^(32 k - 1074), exact: a product with the power of two where
  // that power and the product of a normalised digit (below 2^31) are normal doubles (k from 2
  // to 64), ldexp elsewhere. Zero digits add nothing (the value is never -0).
  static const std::array<double, ExactSum::kDigits> kWeight = [] {
    std::array<double, ExactSum::kDigits> weight{};
    for (int k = 0; k < ExactSum::kDigits; ++k)
      weight[k] = std::ldexp(1.0, 32 * k + kLowestExponent);
    return weight;
  }();
  double value = 0;
  for (int k = hi; k >= lo; --k) {
    const int64_t digit = first[k - lo];
    if (digit == 0) continue;
    value += k >= 2 && k <= 64 ? static_cast<double>(digit) * kWeight[k]
                               : std::ldexp(static_cast<double>(digit), 32 * k + kLowestExponent);
  }
  return value;
}

}  // namespace

void ExactSum::Reset() {
  if (lo_ <= hi_) std::fill(digits_ + lo_, digits_ + hi_ + 1, int64_t{0});
  std::fill(std::begin(specials_), std::end(specials_), int64_t{0});
  lo_ = kDigits;
  hi_ = -1;
  pending_ = 0;
}

void ExactSum::Add(double x) {
  SplitExactSumTerm(
      x,
      [this](int digit, bool negative, int64_t low, int64_t middle, int64_t high) {
        if (!negative) {
          digits_[digit] += low;
          digits_[digit + 1] += middle;
          digits_[digit + 2] += high;
        } else {
          digits_[digit] -= low;
          digits_[digit + 1] -= middle;
          digits_[digit + 2] -= high;
        }
        lo_ = std::min(lo_, digit);
        hi_ = std::max(hi_, digit + 2);
        if (++pending_ >= kAdditionsPerNormalization) Normalize();
      },
      [this](int special) { ++specials_[special]; });
}

void ExactSum::Merge(const ExactSum& other) {
  for (int k = 0; k < kSpecials; ++k) specials_[k] += other.specials_[k];
  if (other.lo_ > other.hi_) return;
  // Both sides normalised first: digit sums then stay far inside int64.
  ExactSum normalized = other;
  normalized.Normalize();
  Normalize();
  for (int k = normalized.lo_; k <= normalized.hi_; ++k) digits_[k] += normalized.digits_[k];
  lo_ = std::min(lo_, normalized.lo_);
  hi_ = std::max(hi_, normalized.hi_);
  Normalize();
}

void ExactSum::Normalize() {
  pending_ = 0;
  if (lo_ > hi_) return;
  int64_t carry = 0;
  int k = lo_;
  for (; k < kDigits - 1; ++k) {
    digits_[k] += carry;
    if (k > hi_ && digits_[k] == 0) break;
    carry = (digits_[k] + kHalfBase) >> 32;  // arithmetic shift: floor division
    digits_[k] -= carry * kBase;
    if (k >= hi_ && carry == 0) break;
  }
  if (k == kDigits - 1) digits_[k] += carry;
  hi_ = std::max(hi_, std::min(k, kDigits - 1));
  while (hi_ > lo_ && digits_[hi_] == 0) --hi_;
}

double ExactSum::Value() const {
  if (specials_[kNan] > 0 || (specials_[kPlusInfinity] > 0 && specials_[kMinusInfinity] > 0)) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  if (specials_[kPlusInfinity] > 0) return std::numeric_limits<double>::infinity();
  if (specials_[kMinusInfinity] > 0) return -std::numeric_limits<double>::infinity();
  ExactSum normal = *this;
  normal.Normalize();
  return Evaluate(normal.digits_ + normal.lo_, normal.lo_, normal.hi_);
}

void ExactSum::NormalizeDigits(int64_t* digits, int count) {
  int64_t carry = 0;
  for (int k = 0; k < count - 1; ++k) {
    digits[k] += carry;
    carry = (digits[k] + kHalfBase) >> 32;  // arithmetic shift: floor division
    digits[k] -= carry * kBase;
  }
  if (count > 0) digits[count - 1] += carry;
}

double ExactSum::ValueOfDigits(int lo, const int64_t* digits, int count) {
  // Two digits more for the carries, as far as the sum's own digits reach.
  int64_t normal[kDigits + 2];
  const int width = std::min(count + 2, kDigits - lo);
  std::copy(digits, digits + count, normal);
  std::fill(normal + count, normal + std::max(width, count), int64_t{0});
  NormalizeDigits(normal, width);
  int hi = width - 1;
  while (hi > 0 && normal[hi] == 0) --hi;
  return Evaluate(normal, lo, lo + hi);
}

void ExactSum::Pack(int lo, int hi, std::vector<int64_t>& out) const {
  for (int k = lo; k <= hi; ++k) out.push_back(digits_[k]);
  out.insert(out.end(), std::begin(specials_), std::end(specials_));
}

void ExactSum::Unpack(int lo, int hi, const int64_t* in) {
  Reset();
  if (lo <= hi) {
    std::copy(in, in + (hi - lo + 1), digits_ + lo);
    lo_ = lo;
    hi_ = hi;
    in += hi - lo + 1;
  }
  std::copy(in, in + kSpecials, specials_);
  Normalize();
}

}  // namespace velorn
