// ExactSum: a sum of doubles that is exact, so its result does not depend on the order of the
// terms nor on how they were split between processes.
//
// The zone statistics add one term per cell; the cells of a zone are spread over the MPI
// processes, and a plain double sum rounded per process and then combined gives results that
// differ in the last bits between process counts (visible wherever a printed value lies on a
// rounding tie). ExactSum keeps the sum as an integer multiple of the smallest double,
// 2^-1074, in signed digits of base 2^32 held in int64 (digit i weighs 2^(32 i - 1074)), so
// adding is exact and associative. Digits are brought back into [-2^31, 2^31) every 2^30
// additions and before a transfer, so a sum of digits of up to 2^31 processes cannot overflow.
// Infinities and NaNs are counted apart and give the IEEE result (NaN wins, +inf and -inf
// together give NaN).
//
// Callers: zonalstatistic (core/zone_statistics.h), three sums per zone. For a transfer the sum
// is packed into int64 values (digits lo..hi, then the three special counts) that add up
// element-wise over processes (MPI_SUM of MPI_INT64_T); Unpack replaces the sum by such a total.
//
//   ExactSum s;  s.Add(0.1); s.Add(1e16); s.Add(-1e16);   s.Value() == 0.1
//
// Limits: Value() rounds the exact sum to a double by a fixed rule (within a few units of the
// last place); Add costs a few integer operations, no allocation.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace velorn {

// Splits a double into base-2^32 digits of a multiple of 2^-1074 and hands them on: a finite
// nonzero x as finite(d, negative, low, middle, high), x = sign (low 2^(32 d) + middle
// 2^(32 (d + 1)) + high 2^(32 (d + 2))) 2^-1074 with d in 0..63, low and middle below 2^32,
// high below 2^21; NaN and infinities as special(index of their count: 0 NaN, 1 +inf, 2 -inf);
// zeros not at all. Inline, so that the sums that use it keep their own hot path.
template <class Finite, class Special>
inline void SplitExactSumTerm(double x, Finite finite, Special special) {
  uint64_t bits = 0;
  std::memcpy(&bits, &x, sizeof bits);
  const bool negative = (bits >> 63) != 0;
  const int exponent = static_cast<int>((bits >> 52) & 0x7ff);
  uint64_t mantissa = bits & ((uint64_t{1} << 52) - 1);
  if (exponent == 0x7ff) {
    special(mantissa != 0 ? 0 : (negative ? 2 : 1));
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
  const unsigned __int128 shifted = static_cast<unsigned __int128>(mantissa) << (position & 31);
  finite(position >> 5, negative, static_cast<int64_t>(static_cast<uint32_t>(shifted)),
         static_cast<int64_t>(static_cast<uint32_t>(shifted >> 32)),
         static_cast<int64_t>(static_cast<uint64_t>(shifted >> 64)));
}

class ExactSum {
 public:
  // Digits needed for the largest double times 2^30 additions (2^1054 / 2^-1074 = 2^2128).
  static constexpr int kDigits = 67;
  // Special counts that follow the digits in a packed sum: NaN, +inf, -inf.
  static constexpr int kSpecials = 3;

  void Reset();
  void Add(double x);
  // Adds another exact sum (the sums of two threads or two parts of a table): the result is that
  // of adding all terms of both to one sum, whatever the split.
  void Merge(const ExactSum& other);
  // The sum rounded to a double (the same double for every order of the same terms).
  double Value() const;

  // Digit range touched so far (lo > hi when the sum holds no finite nonzero term).
  int lowest_digit() const { return lo_; }
  int highest_digit() const { return hi_; }
  // Brings digits into [-2^31, 2^31), carrying upwards (may widen the touched range).
  void Normalize();
  // Appends digits lo..hi and the special counts to `out` (hi - lo + 1 + kSpecials values).
  // Normalize first; lo..hi must cover the touched range.
  void Pack(int lo, int hi, std::vector<int64_t>& out) const;
  // Replaces the sum by the packed values at `in` (digits lo..hi, then the special counts).
  void Unpack(int lo, int hi, const int64_t* in);

  // Brings `count` digits into [-2^31, 2^31), carrying upwards; the last takes what is left.
  static void NormalizeDigits(int64_t* digits, int count);
  // Value() of the sum of no NaN or infinity whose digits lo..lo + count - 1 are `digits`
  // (unnormalised, each below 2^62 in magnitude, count at most kDigits), without making a sum.
  static double ValueOfDigits(int lo, const int64_t* digits, int count);

 private:
  int64_t digits_[kDigits] = {};
  int64_t specials_[kSpecials] = {};
  int lo_ = kDigits;
  int hi_ = -1;
  int32_t pending_ = 0;  // additions since the last normalisation
};

}  // namespace velorn
