// Zone tables for tests of the zone statistics and of the tracer bookkeeping: records 0..n
// built from zone codes and area shares, as the set-up builds them from the zone grid.
//
// Header only; runs on the calling process.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/zone_types.h"

namespace velorn::test {

// Records 0..codes.size(): record z (1-based) has code codes[z - 1] and area share shares[z - 1]
// (0 when not given); record 0 has share 1. Counts and sums are 0.
inline std::vector<ZoneRecord> MakeZoneTable(const std::vector<int>& codes,
                                             const std::vector<double>& shares = {}) {
  std::vector<ZoneRecord> table(codes.size() + 1);
  table[0][3] = 1.0;
  for (std::size_t z = 1; z <= codes.size(); ++z) {
    table[z][2] = codes[z - 1];
    table[z][3] = z - 1 < shares.size() ? shares[z - 1] : 0.0;
  }
  return table;
}

// An output list as the tables take it: index 0 unused, codes from 1.
inline std::vector<int> OutputList(const std::vector<int>& codes) {
  std::vector<int> list{0};
  list.insert(list.end(), codes.begin(), codes.end());
  return list;
}

}  // namespace velorn::test
