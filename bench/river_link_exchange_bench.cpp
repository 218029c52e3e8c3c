// The soil zone's river-link exchange of one sub-step: the cells of the links go forward to the
// processes that compute them and come back, against the limit of the same bytes moved between
// the same peers by plain MPI_Sendrecv calls (and a memcpy for a process's cells to itself).
//
// Usage: mpirun -np N river_link_exchange_bench [side (300)] [repetitions (20)]
// A square basin of `side` rows in equal row strips; 68 grids and two stacks of 6 levels (82
// doubles per cell, as the example basin moves). Rivers run from the top row to the bottom row
// in every k-th column (each river one link, computed by process link mod N), for 1 %, 5 % and
// 20 % of the cells. Process 0 prints per share the best time of one forward and back exchange
// and of the limit.
#include <mpi.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "core/diagnostic_stream.h"
#include "unsatzone/soil_halo.h"

namespace {

using velorn::bench::BestTime;

constexpr int kGrids = 68, kStacks = 2, kLevels = 6;

int Run(int argc, char** argv) {
  const int side = argc > 1 ? std::atoi(argv[1]) : 300;
  const int repetitions = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
  int rank = 0, size = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  std::ostringstream screen;
  const std::string diag_name = "/tmp/velorn_bench_diag_" + std::to_string(getpid()) + ".xml";
  velorn::DiagnosticStream diag(diag_name, 0, screen);
  auto owner = [&](int row) { return static_cast<int>(static_cast<long>(row - 1) * size / side); };
  int first = side + 1, last = 0;
  for (int r = 1; r <= side; ++r)
    if (owner(r) == rank) first = std::min(first, r), last = r;

  std::vector<velorn::GridMatrix> grids;
  std::vector<velorn::StackMatrix> stacks;
  for (int g = 0; g < kGrids; ++g) grids.emplace_back(diag, first - 1, last, side, side);
  for (int s = 0; s < kStacks; ++s) stacks.emplace_back(diag, first - 1, last, side, kLevels, side);
  auto make_list = [&] {
    velorn::CellValueList list;
    for (const auto& g : grids) list.AddGrid(g.get());
    for (const auto& s : stacks) list.AddStack(s.get(), kLevels);
    return list;
  };
  const velorn::CellValueList list = make_list();
  std::vector<velorn::ColumnRange> ranges(static_cast<std::size_t>(side) + 1,
                                          velorn::ColumnRange{1, side});
  if (rank == 0)
    std::printf("%d processes, %d x %d cells, %lld doubles per cell\n", size, side, side,
                static_cast<long long>(list.ValueCount()));

  for (const double share : {0.01, 0.05, 0.20}) {
    velorn::RiverLinkSet links;
    const int every = std::max(1, static_cast<int>(1.0 / share + 0.5));
    int code = 0;
    for (int c = 1; c <= side; c += every, ++code) {
      auto link = std::make_unique<velorn::RiverLink>(code + 1, code % size);
      for (int r = 1; r <= side; ++r)
        link->AddCell({r, c, code + 1, owner(r), code % size, 0.0, r - 1});
      link->AssignTo(code % size);
      links.links.push_back(std::move(link));
    }
    velorn::SortLinkCellsByProcess(links, rank, size);
    velorn::RiverLinkHalo halo(diag, make_list(), links, rank, first, ranges.data());
    const double exchange = BestTime(repetitions, [&] {
      halo.ExchangeForward();
      halo.ExchangeBack();
    });
    // The limit: the same doubles per peer pair, forward and back, by MPI_Sendrecv in a shifted
    // schedule (no cycle of waits), a process's own cells by memcpy.
    const auto values = static_cast<std::size_t>(list.ValueCount());
    std::vector<std::vector<double>> out(size), in(size);
    for (int p = 0; p < size; ++p) {
      out[p].assign(links.own_cells_by_computing[p].size() * values, 1.0);
      in[p].assign(links.computed_cells_by_owner[p].size() * values, 0.0);
    }
    auto move = [&](std::vector<std::vector<double>>& send,
                    std::vector<std::vector<double>>& recv) {
      std::memcpy(recv[rank].data(), send[rank].data(), send[rank].size() * sizeof(double));
      for (int s = 1; s < size; ++s) {
        const int to = (rank + s) % size, from = (rank - s + size) % size;
        MPI_Sendrecv(send[to].data(), static_cast<int>(send[to].size()), MPI_DOUBLE, to, 0,
                     recv[from].data(), static_cast<int>(recv[from].size()), MPI_DOUBLE, from, 0,
                     MPI_COMM_WORLD, MPI_STATUS_IGNORE);
      }
    };
    const double limit = BestTime(repetitions, [&] {
      move(out, in);
      move(in, out);
    });
    double bytes = 0;
    for (int p = 0; p < size; ++p) bytes += 2.0 * out[p].size() * sizeof(double);
    MPI_Allreduce(MPI_IN_PLACE, &bytes, 1, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    if (rank == 0)
      std::printf("%4.0f %% link cells: exchange %8.3f ms, limit %8.3f ms (%.1f MB moved)\n",
                  share * 100, exchange * 1e3, limit * 1e3, bytes / 1e6);
  }
  std::remove(diag.file_name().c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return velorn::bench::BenchMain(argc, argv, "river_link_exchange_bench", Run);
}
