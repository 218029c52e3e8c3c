// ExactSumsOverRows: exact sums over the cells of a range of rows, taken by the row loop
// (core/row_loop.h) with one set of sums per thread, merged after the region. The sums are exact
// (core/exact_sum.h), so the result does not depend on the threads nor on the order of the rows.
//
//   std::vector<ExactSum> pools = ExactSumsOverRows(first_row, last_row, zones,
//                                                   [&](long r, ExactSum* sums) {
//     for (long c = first; c <= last; ++c) sums[zone[r][c]].Add(storage[r][c]);
//   });
//
// Called inside a parallel region (a body of another row loop), the rows run on the calling
// thread into one set of sums, as the nested row loop itself does.
#pragma once

#include <omp.h>

#include <cstddef>
#include <vector>

#include "core/exact_sum.h"
#include "core/row_loop.h"

namespace velorn {

template <class Body>
std::vector<ExactSum> ExactSumsOverRows(long first, long last, std::size_t count, Body&& body) {
  const bool nested = omp_in_parallel() != 0;
  const std::size_t threads = nested ? 1 : static_cast<std::size_t>(omp_get_max_threads());
  std::vector<std::vector<ExactSum>> sums(threads, std::vector<ExactSum>(count));
  ForEachRow(first, last, [&](long r) {
    const std::size_t own = nested ? 0 : static_cast<std::size_t>(omp_get_thread_num());
    body(r, sums[own].data());
  });
  for (std::size_t t = 1; t < threads; ++t)
    for (std::size_t k = 0; k < count; ++k) sums[0][k].Merge(sums[t][k]);
  return std::move(sums[0]);
}

}  // namespace velorn
