// Zone ranking of a whole grid, and the soil model's ranking with its distribution to every
// process.
#include "core/zone_ranking.h"

#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "core/error_code.h"
#include "core/grid_registry.h"
#include "core/mpi_operations.h"
#include "core/nodata.h"
#include "core/submodel.h"

namespace velorn {
namespace {

// First pass: the distinct codes in the order met, with their positions in `work_index`.
class ZoneRanker {
 public:
  ZoneRanker(DiagnosticStream& diag, const std::string& file_name)
      : diag_(diag), file_name_(file_name), work_index_(kMaxZoneCode + 1, 0) {
    codes_.reserve(64);
  }

  // The code of a data cell, checked against 0..32767.
  int32_t CodeOf(double value) const {
    const double code = std::floor(value + 0.5);
    if (!(code >= 0 && code <= kMaxZoneCode)) {
      ThrowFatal(diag_, kZoneCodeRangeCode, "FATAL: wrong zone index in ", file_name_,
                 "!\n Zones have to range from 0 to ", kMaxZoneCode, "!");
    }
    return static_cast<int32_t>(code);
  }

  void Meet(int32_t code) {
    if (work_index_[code] != 0) return;
    if (static_cast<int32_t>(codes_.size()) >= kMaxRankedZones) {
      ThrowFatal(diag_, kTooManyZonesCode, "FATAL: too much zones in ", file_name_, ", (max. ",
                 kMaxRankedZones, "!)");
    }
    codes_.push_back(code);
    work_index_[code] = static_cast<int32_t>(codes_.size());
    highest_ = std::max(highest_, code);
  }

  // Records 0..count sorted by code (the codes are distinct) and the index 0..highest.
  ZoneCellRanking Sorted() {
    std::sort(codes_.begin(), codes_.end());
    ZoneCellRanking ranking;
    ranking.count = static_cast<int32_t>(codes_.size());
    ranking.highest = highest_;
    ranking.table.assign(codes_.size() + 1, ZoneRecord{});
    ranking.table[0] = ZoneRecord{{0, 0, 1.0, 1.0, 0}};
    ranking.code_index.assign(static_cast<std::size_t>(highest_) + 1, 0);
    for (std::size_t i = 0; i < codes_.size(); ++i) {
      ranking.table[i + 1][2] = codes_[i];
      ranking.code_index[codes_[i]] = static_cast<int32_t>(i + 1);
    }
    return ranking;
  }

 private:
  DiagnosticStream& diag_;
  const std::string& file_name_;
  std::vector<int32_t> work_index_;  // code -> position in the order met, 0 unseen
  std::vector<int32_t> codes_;
  int32_t highest_ = 0;
};

template <class CellVisitor>
void ForEachDataCell(const double* const* grid, const ColumnRange* column_ranges, int32_t nrows,
                     double nodata, CellVisitor&& visit) {
  for (int32_t r = 1; r <= nrows; ++r) {
    if (grid[r] == nullptr) throw std::logic_error("zone grid row not held on process 0");
    for (int32_t c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (IsNotNodata(grid[r][c], nodata)) visit(r, c, grid[r][c]);
    }
  }
}

}  // namespace

ZoneCellRanking RankZoneCells(DiagnosticStream& diag, const double* const* grid,
                              const double* const* weights, const ColumnRange* column_ranges,
                              int32_t nrows, double nodata, double cellsize,
                              const std::string& file_name, const std::string& module_name) {
  ZoneRanker ranker(diag, file_name);
  ForEachDataCell(grid, column_ranges, nrows, nodata,
                  [&](int32_t, int32_t, double value) { ranker.Meet(ranker.CodeOf(value)); });
  ZoneCellRanking ranking = ranker.Sorted();

  ForEachDataCell(grid, column_ranges, nrows, nodata, [&](int32_t r, int32_t c, double value) {
    ZoneRecord& record = ranking.table[ranking.code_index[ranker.CodeOf(value)]];
    const double weight = weights != nullptr ? weights[r][c] : 1.0;
    record[0] += weight;
    record[1] += 1.0;
    record[4] += weight;
  });

  // The weight sum of all zones, kept in double: truncating it would distort the shares of
  // fractional weights and could report a grid with data as empty.
  double total = 0;
  for (int32_t i = 1; i <= ranking.count; ++i) total += ranking.table[i][0];
  if (ranking.count == 0 || !(total > 0)) {
    ThrowFatal(diag, kNoDataCellCode, "FATAL: all cells in ", file_name, " are NODATA!");
  }
  for (int32_t i = 1; i <= ranking.count; ++i) ranking.table[i][3] = ranking.table[i][0] / total;
  ranking.table[0][3] = cellsize * (cellsize * total) / 1000000.0;

  if (ranking.count > kMaxSoilModelZones) {
    ThrowFatal(diag, kTooManyZonesCode, "FATAL: too much subbasins (", ranking.count, ") in ",
               module_name, " (max. ", kMaxSoilModelZones, "). Ende!");
  }
  return ranking;
}

void teilmodellklasse::RankSoilModelZones(double**& zone_grid_data, std::vector<ZoneRecord>& table,
                                          std::vector<int32_t>& code_index, int32_t& count,
                                          int32_t& highest) {
  zone_grid_data = nullptr;
  table.clear();
  code_index.clear();
  count = 0;
  highest = 0;
  const GridEntry& entry = (*registry)[RequireGrid("zonegrid_soilmodel")];
  zone_grid_data = entry.grid;

  ZoneCellRanking ranking;
  int status = 0;
  if (rank == 0) {
    const std::string file_name = entry.file_name.value_or("");
    Diag() << "DEBUG: ranking zones from " << file_name << " for " << module_name << "[end-entry]";
    status = velorn::CodeOf([&] {
      ranking = RankZoneCells(Diag(), zone_grid_data, relative_cell_area, column_ranges, nrows,
                              nodata, cellsize, file_name, module_name);
    });
  }
  // Every process learns the outcome before any table moves, so all fail together.
  if (size > 1) MPI_Bcast(&status, 1, MPI_INT, 0, MPI_COMM_WORLD);
  if (status != 0) throw ErrorCode{status};

  if (size > 1) {
    int32_t sizes[2] = {ranking.count, ranking.highest};
    MPI_Bcast(sizes, 2, MPI_INT32_T, 0, MPI_COMM_WORLD);
    if (rank != 0) {
      ranking.count = sizes[0];
      ranking.highest = sizes[1];
      ranking.table.assign(static_cast<std::size_t>(sizes[0]) + 1, ZoneRecord{});
      ranking.code_index.assign(static_cast<std::size_t>(sizes[1]) + 1, 0);
    }
    MPI_Bcast(ranking.code_index.data(), ranking.highest + 1, MPI_INT32_T, 0, MPI_COMM_WORLD);
    MPI_Bcast(ranking.table.data(), ranking.count + 1, ZoneRecordType(), 0, MPI_COMM_WORLD);
  }
  table = std::move(ranking.table);
  code_index = std::move(ranking.code_index);
  count = ranking.count;
  highest = ranking.highest;
}

}  // namespace velorn
