// Zone and region ranking, and the header of the zone grid file from which the model grid's
// geometry comes.
#include "core/number_reader.h"
#include "setup/zone_ranking.h"

#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <fstream>

#include "core/error_code.h"
#include "core/mpi_operations.h"
#include "core/nodata.h"
#include "core/signals.h"
#include "grids/grid_formats.h"
#include "setup/defaultini.h"

namespace velorn {
namespace {

// Bytes of an ASCII zone grid that the header is read from (a header is a few hundred bytes).
constexpr std::size_t kAsciiHeaderBytes = 65536;

// Sorts records 1..n by their code field and rebuilds the code-to-index array from `codes`
// (the integer code of each record, in the same order).
template <class Record, class Key>
void SortByCode(std::vector<Record>& records, std::vector<int32_t>& codes,
                std::vector<int32_t>& code_index, Key key) {
  std::vector<std::size_t> order(records.size() - 1);
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i + 1;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return key(records[a]) < key(records[b]); });
  std::vector<Record> sorted{records[0]};
  std::vector<int32_t> sorted_codes{0};
  for (std::size_t i : order) {
    sorted.push_back(records[i]);
    sorted_codes.push_back(codes[i]);
  }
  records.swap(sorted);
  codes.swap(sorted_codes);
  std::fill(code_index.begin(), code_index.end(), 0);
  for (std::size_t i = 1; i < codes.size(); ++i)
    code_index[static_cast<std::size_t>(codes[i])] = static_cast<int32_t>(i);
}

template <class Ranking>
Ranking Failed(int failure, double value) {
  Ranking ranking;
  ranking.failure = failure;
  ranking.failed_value = value;
  return ranking;
}

}  // namespace

int32_t ZoneCodeOf(double value) {
  if (!std::isfinite(value)) return -1;
  const double code = std::trunc(value);
  return code >= 0 && code <= kMaxZoneCode ? static_cast<int32_t>(code) : -1;
}

ZoneGridRanking RankZoneGrid(double** zone, double** weight, int32_t ncols, int32_t nrows,
                             double nodata, double cellsize) {
  ZoneGridRanking result;
  result.ranges.assign(static_cast<std::size_t>(nrows) + 1, ColumnRange{});
  result.records.assign(1, ZoneRecord{});
  std::vector<int32_t> work(kMaxZoneCode + 1, 0);
  std::vector<int32_t> codes{0};
  for (int32_t r = 1; r <= nrows; ++r) {
    ColumnRange& range = result.ranges[static_cast<std::size_t>(r)];
    for (int32_t c = 1; c <= ncols; ++c) {
      const double value = zone[r][c];
      if (IsNodata(value, nodata)) continue;
      if (range.first == 0) range.first = c;
      range.last = c;
      const int32_t code = ZoneCodeOf(value);
      if (code < 0) return Failed<ZoneGridRanking>(kInvalidZoneCode, value);
      if (work[static_cast<std::size_t>(code)] != 0) continue;
      if (result.zone_count == kMaxZoneCount)
        return Failed<ZoneGridRanking>(kTooManyZonesCode, value);
      work[static_cast<std::size_t>(code)] = ++result.zone_count;
      result.largest_code = std::max(result.largest_code, code);
      ZoneRecord record;
      record[2] = value;
      result.records.push_back(record);
      codes.push_back(code);
    }
  }
  result.code_index.assign(static_cast<std::size_t>(result.largest_code) + 1, 0);
  SortByCode(result.records, codes, result.code_index,
             [](const ZoneRecord& record) { return record[2]; });

  for (int32_t r = 1; r <= nrows; ++r)
    for (int32_t c = 1; c <= ncols; ++c) {
      if (IsNodata(zone[r][c], nodata)) continue;
      ZoneRecord& record =
          result.records[static_cast<std::size_t>(result.code_index[ZoneCodeOf(zone[r][c])])];
      const double w = weight != nullptr ? weight[r][c] : 1.0;
      record[1] += 1;
      record[0] += w;
      record[4] += w;
    }
  double total = 0;
  for (std::size_t i = 1; i < result.records.size(); ++i) total += result.records[i][0];
  if (total == 0) return Failed<ZoneGridRanking>(kNoZoneCellCode, 0);
  for (std::size_t i = 1; i < result.records.size(); ++i)
    result.records[i][3] = result.records[i][0] / total;
  result.records[0][3] = total * cellsize * cellsize / 1000000.0;
  return result;
}

RegionRanking RankRegionGrid(double** region, double** zone, int32_t ncols, int32_t nrows,
                             double nodata) {
  RegionRanking result;
  result.records.assign(1, RegionRecord{});
  std::vector<int32_t> work(kMaxZoneCode + 1, 0);
  std::vector<int32_t> codes{0};
  std::vector<double> sort_keys{0};
  for (int32_t r = 1; r <= nrows; ++r)
    for (int32_t c = 1; c <= ncols; ++c) {
      if (IsNodata(zone[r][c], nodata)) continue;
      const double value = region[r][c];
      const int32_t code = ZoneCodeOf(value);
      if (code < 1) return Failed<RegionRanking>(kInvalidZoneCode, value);
      if (work[static_cast<std::size_t>(code)] != 0) continue;
      if (result.region_count == kMaxRegionCount)
        return Failed<RegionRanking>(kTooManyZonesCode, value);
      work[static_cast<std::size_t>(code)] = ++result.region_count;
      result.largest_code = std::max(result.largest_code, code);
      result.records.push_back(RegionRecord{});
      codes.push_back(code);
    }
  result.code_index.assign(static_cast<std::size_t>(result.largest_code) + 1, 0);
  // The record's own fields are all zero until the second pass: sort by the code.
  std::vector<std::pair<RegionRecord, int32_t>> keyed;
  for (std::size_t i = 0; i < result.records.size(); ++i)
    keyed.emplace_back(result.records[i], codes[i]);
  SortByCode(keyed, codes, result.code_index,
             [](const std::pair<RegionRecord, int32_t>& item) { return item.second; });

  std::vector<double> row_sums(result.records.size(), 0), col_sums(result.records.size(), 0);
  for (int32_t r = 1; r <= nrows; ++r)
    for (int32_t c = 1; c <= ncols; ++c) {
      if (IsNodata(zone[r][c], nodata)) continue;
      const auto i = static_cast<std::size_t>(result.code_index[ZoneCodeOf(region[r][c])]);
      row_sums[i] += r;
      col_sums[i] += c;
      result.records[i].cell_count += 1;
    }
  for (std::size_t i = 1; i < result.records.size(); ++i) {
    RegionRecord& record = result.records[i];
    record.mean_row = row_sums[i] / record.cell_count;
    record.mean_col = col_sums[i] / record.cell_count;
    record.center_row = static_cast<int32_t>(record.mean_row);
    record.center_col = static_cast<int32_t>(record.mean_col);
  }
  return result;
}

GridFileHeader ReadGridFileHeader(const std::string& name) {
  GridFileHeader result;
  SigintIgnoredScope sigint_ignored;
  errno = 0;
  std::ifstream file(name, std::ios::binary);
  const NumberSource source(name);
  if (!file) {
    result.code = kGridOpenCode;
    result.problem = "FATAL: error opening " + name + SystemReason(ErrnoOrIo());
    return result;
  }
  std::string lead(kAsciiHeaderBytes, '\0');
  file.read(lead.data(), static_cast<std::streamsize>(lead.size()));
  lead.resize(static_cast<std::size_t>(file.gcount()));
  const auto* bytes = reinterpret_cast<const unsigned char*>(lead.data());
  // The forms and header rules of the grid reader, so that the geometry taken from this
  // header is the one the reader compares the zone grid with.
  const auto type = DetectGridFileType(bytes, std::min(lead.size(), kGridLeadBytes));
  switch (type) {
    case kGridAscii: {
      const AsciiHeaderResult ascii = ParseAsciiHeader(lead);
      if (ascii.failed_pair != 0) {
        result.code = kGridFormatCode;
        result.problem = "FATAL: error reading " + name + ": " + ascii.reason;
        return result;
      }
      result.header = ascii.values;
      break;
    }
    case kGridBinaryDouble:
    case kGridBinarySingle: {
      const auto values = DecodeBinaryHeader(bytes, type == kGridBinaryDouble);
      std::copy_n(values.begin(), result.header.size(), result.header.begin());
      break;
    }
    default:
      result.code = kGridFormatCode;
      result.problem =
          "FATAL: could not recognise file format (ascii, float or double) for " + name;
      return result;
  }
  file.clear();  // a header shorter than the read-ahead leaves end-of-file set
  file.close();
  if (file.fail()) {
    result.code = kGridCloseCode;
    result.problem = "FATAL: error closing grid " + name;
    return result;
  }
  const std::string problem = CheckGridHeader(result.header);
  if (!problem.empty()) {
    result.code = kGridFormatCode;
    result.problem = "FATAL: error reading " + name + ": " + problem;
  }
  return result;
}

// ---- defaultini ------------------------------------------------------------------------------

void defaultini::ReadZoneGridHeader(int32_t& ncols_out, int32_t& nrows_out, double& xll_out,
                                    double& yll_out, double& cellsize_out, double& nodata_out) {
  const GridFileHeader read = ReadGridFileHeader((*registry)[1].file_name.value_or(""));
  if (read.code != 0) ThrowFatal(Diag(), read.code, read.problem);
  const GridHeader6& header = read.header;
  ncols_out = static_cast<int32_t>(std::floor(header[0]));
  nrows_out = static_cast<int32_t>(std::floor(header[1]));
  xll_out = header[2];
  yll_out = header[3];
  cellsize_out = header[4];
  // The zone grid's nodata value becomes the nodata value of every grid the run holds and
  // writes. A value a grid may hold (0, -1, a code) would make zero rain, an empty store or a
  // temperature of -1 degC a cell outside the basin, so such a value marks the outside cells
  // of the zone grid only (the reader turns them into -9999) and the run keeps -9999.
  nodata_out = header[5] <= kNodata ? header[5] : kNodata;
  if (nodata_out != header[5])
    Diag() << "the zone grid " << (*registry)[1].file_name.value_or("")
           << " marks the cells outside the basin with " << header[5]
           << "; every grid of the run marks them with " << kNodata << "[end-entry]";
}

// Process 0 ranks; its verdict is shared before any table moves, so a failure there ends every
// process with the same code instead of leaving the others waiting.
void defaultini::RankZones(GridRegistry& grids, double** weight, int32_t ncols_arg,
                           int32_t nrows_arg, double nodata_arg) {
  const std::string name = grids[1].file_name.value_or("");
  Diag() << "ranking zones from " << name << " for " << module_name << "[end-entry]";
  ZoneGridRanking ranking;
  if (rank == 0) {
    ranking = RankZoneGrid(grids[1].grid, weight, ncols_arg, nrows_arg, nodata_arg, cellsize);
    if (ranking.failure != 0) ReportRankingFailure(ranking.failure, name, false);
  }
  int failure = ranking.failure;
  if (size > 1) MPI_Bcast(&failure, 1, MPI_INT, 0, MPI_COMM_WORLD);
  if (failure != 0) throw ErrorCode{failure};
  if (size > 1) {
    int32_t counts[2] = {ranking.zone_count, ranking.largest_code};
    MPI_Bcast(counts, 2, MPI_INT32_T, 0, MPI_COMM_WORLD);
    if (rank != 0) {
      ranking.zone_count = counts[0];
      ranking.largest_code = counts[1];
      ranking.records.assign(static_cast<std::size_t>(counts[0]) + 1, ZoneRecord{});
      ranking.code_index.assign(static_cast<std::size_t>(counts[1]) + 1, 0);
      ranking.ranges.assign(static_cast<std::size_t>(nrows_arg) + 1, ColumnRange{});
    }
    MPI_Bcast(ranking.code_index.data(), counts[1] + 1, MPI_INT32_T, 0, MPI_COMM_WORLD);
    MPI_Bcast(ranking.records.data(), counts[0] + 1, ZoneRecordType(), 0, MPI_COMM_WORLD);
    MPI_Bcast(ranking.ranges.data(), 2 * (nrows_arg + 1), MPI_INT32_T, 0, MPI_COMM_WORLD);
    if (rank != 0)
      for (int32_t r = 0; r <= nrows_arg; ++r)
        if (r < first_local_row || r > last_local_row)
          ranking.ranges[static_cast<std::size_t>(r)] = {};
  }
  zone_records = std::move(ranking.records);
  zone_codes_to_index = std::move(ranking.code_index);
  column_range_table = std::move(ranking.ranges);
  zone_table = zone_records.data();
  zone_code_index = zone_codes_to_index.data();
  column_ranges = column_range_table.data();
  zone_count = ranking.zone_count;
  highest_zone_code = ranking.largest_code;
}

void defaultini::RankRegions(int entry) {
  const std::string name = (*registry)[entry].file_name.value_or("");
  Diag() << "ranking regions from " << name << " for " << module_name << "[end-entry]";
  RegionRanking ranking;
  if (rank == 0) {
    ranking = RankRegionGrid((*registry)[entry].grid, (*registry)[1].grid, ncols, nrows, nodata);
    if (ranking.failure != 0) ReportRankingFailure(ranking.failure, name, true);
  }
  int failure = ranking.failure;
  if (size > 1) MPI_Bcast(&failure, 1, MPI_INT, 0, MPI_COMM_WORLD);
  if (failure != 0) throw ErrorCode{failure};
  if (size > 1) {
    int32_t counts[2] = {ranking.region_count, ranking.largest_code};
    MPI_Bcast(counts, 2, MPI_INT32_T, 0, MPI_COMM_WORLD);
    if (rank != 0) {
      ranking.region_count = counts[0];
      ranking.largest_code = counts[1];
      ranking.records.assign(static_cast<std::size_t>(counts[0]) + 1, RegionRecord{});
      ranking.code_index.assign(static_cast<std::size_t>(counts[1]) + 1, 0);
    }
    MPI_Bcast(ranking.code_index.data(), counts[1] + 1, MPI_INT32_T, 0, MPI_COMM_WORLD);
    MPI_Bcast(ranking.records.data(), static_cast<int>(sizeof(RegionRecord)) * (counts[0] + 1),
              MPI_BYTE, 0, MPI_COMM_WORLD);
  }
  region_records = std::move(ranking.records);
  region_codes_to_index = std::move(ranking.code_index);
  region_table = region_records.data();
  region_count = ranking.region_count;
  highest_region_code = ranking.largest_code;
}

void defaultini::ReportRankingFailure(int failure, const std::string& name, bool regions) {
  if (failure == kInvalidZoneCode && regions)
    ThrowFatal(Diag(), failure, "FATAL: invalid region code in ", name,
               "!\n (codes has to be between 1 and ", static_cast<int>(kMaxZoneCode), ")!\n");
  if (failure == kInvalidZoneCode)
    ThrowFatal(Diag(), failure, "FATAL: invalid zone code in ", name,
               "!\n (codes has to be between 0 and ", static_cast<int>(kMaxZoneCode), ")!");
  if (failure == kTooManyZonesCode && regions)
    ThrowFatal(Diag(), failure, "FATAL: too much zones in ", name, ", (max. ",
               static_cast<int>(kMaxRegionCount), ")!\n");
  if (failure == kTooManyZonesCode)
    ThrowFatal(Diag(), failure, "FATAL: too much zones in ", name, ", (max. ",
               static_cast<int>(kMaxZoneCount), ")!");
  ThrowFatal(Diag(), failure, "FATAL: all cells in the zone grid ", name, " are NODATA!");
}

}  // namespace velorn
