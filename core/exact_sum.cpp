// ExactSum: exact accumulation in base-2^32 digits, normalisation, packing and rounding.
#include "core/exact_sum.h"

#include <algorithm>
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

}  // namespace

void ExactSum::Reset() {
  if (lo_ <= hi_) std::fill(digits_ + lo_, digits_ + hi_ + 1, int64_t{0});
  std::fill(std::begin(specials_), std::end(specials_), int64_t{0});
  lo_ = kDigits;
  hi_ = -1;
  pending_ = 0;
}

void ExactSum::Add(double x) {
  uint64_t bits = 0;
  std::memcpy(&bits, &x, sizeof bits);
  const bool negative = (bits >> 63) != 0;
  const int exponent = static_cast<int>((bits >> 52) & 0x7ff);
  uint64_t mantissa = bits & ((uint64_t{1} << 52) - 1);
  if (exponent == 0x7ff) {
    ++specials_[mantissa != 0 ? kNan : (negative ? kMinusInfinity : kPlusInfinity)];
    return;
  }
  // x = mantissa * 2^(position - 1074): subnormals have position 0, normal numbers carry the
  // hidden bit.
  int position = 0;
  if (exponent == 0) {
    if (mantissa == 0) return;
  } else {
    mantissa |= uint64_t{1} << 52;
    position = exponent - 1;
  }
  const int digit = position >> 5;
  const unsigned __int128 shifted = static_cast<unsigned __int128>(mantissa) << (position & 31);
  const auto low = static_cast<int64_t>(static_cast<uint32_t>(shifted));
  const auto middle = static_cast<int64_t>(static_cast<uint32_t>(shifted >> 32));
  const auto high = static_cast<int64_t>(static_cast<uint64_t>(shifted >> 64));
  if (negative) {
    digits_[digit] -= low;
    digits_[digit + 1] -= middle;
    digits_[digit + 2] -= high;
  } else {
    digits_[digit] += low;
    digits_[digit + 1] += middle;
    digits_[digit + 2] += high;
  }
  lo_ = std::min(lo_, digit);
  hi_ = std::max(hi_, digit + 2);
  if (++pending_ >= kAdditionsPerNormalization) Normalize();
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
  // The normalised digits are unique for a given sum; adding them from the highest down
  // rounds the same way whatever order the terms came in.
  double value = 0;
  for (int k = normal.hi_; k >= normal.lo_; --k) {
    value += std::ldexp(static_cast<double>(normal.digits_[k]), 32 * k + kLowestExponent);
  }
  return value;
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
