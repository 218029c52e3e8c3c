// Flow-time zones, linear storages and the exact record sums of the soil zone's runoff
// concentration (see runoff_concentration.h).
#include "unsatzone/runoff_concentration.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>

#include "core/error_code.h"
#include "core/exact_reduction.h"
#include "core/mpi_operations.h"
#include "core/output_files.h"
#include "core/value_ranges.h"

namespace velorn {
namespace {

// The exact totals over the processes of every process's exact sums of its own cells (never of
// rounded partial sums, which would depend on the split), rounded once on process 0 and sent to
// every process. Collective.
std::vector<double> TotalsOnEveryProcess(std::vector<ExactSum>& sums, MPI_Comm comm) {
  ReduceExactSumsToRoot(sums, comm);
  std::vector<double> totals(sums.size());
  for (std::size_t i = 0; i < sums.size(); ++i) totals[i] = sums[i].Value();
  if (!totals.empty())
    BroadcastBytes(totals.data(), static_cast<int>(totals.size() * sizeof(double)), comm);
  return totals;
}

}  // namespace

int32_t FlowTimeZone(double seconds, double interval_minutes, double nodata) {
  if (seconds == nodata || !(seconds > 0) || !(interval_minutes > 0)) return 0;
  const double zone = std::ceil(seconds / 60.0 / interval_minutes);
  return zone > 2e9 ? 2000000000 : static_cast<int32_t>(zone);
}

double StorageFactor(double interval_minutes, double k_minutes, bool surface_routing) {
  if (surface_routing || !(k_minutes > 0)) return 0.0;
  return std::exp(-interval_minutes / k_minutes);
}

namespace {

// The record fields that entries add to: count, sum, weight.
constexpr int kEntryField[ZoneEntrySums::kTerms] = {0, 1, 4};

int RankOf(MPI_Comm comm) {
  int rank = 0;
  MPI_Comm_rank(comm, &rank);
  return rank;
}

}  // namespace

void RunoffConcentration::Allocate(int32_t subbasins, int32_t tracers) {
  n_ = subbasins;
  tracers_ = tracers;
  const auto t_count = static_cast<std::size_t>(tracers) + 1;
  const auto s_count = static_cast<std::size_t>(subbasins) + 1;
  maxzeit.assign(s_count, 0.0);
  zoneFZT_QD.assign(t_count, std::vector<std::vector<ZoneRecord>>(s_count));
  zoneFZT_QI = zoneFZT_QD;
  for (Array* a : {&Qg, &QD, &QDd, &QI, &QIi, &QBb})
    a->assign(t_count, std::vector<double>(s_count, 0.0));
  key_offset_.clear();
  entries_.Resize(0);
  base_exact_.assign(3 * s_count, ExactSum{});
  records_read_ = false;
  first_step_ = true;
}

std::vector<int32_t> RunoffConcentration::SetupZones(
    DiagnosticStream& diag, const std::vector<FlowTimeCell>& cells, bool with_grid,
    const std::string& grid_name, double interval_minutes, int32_t substeps,
    const std::vector<double>& codes, const std::string& log_name, double nodata, MPI_Comm comm) {
  diag << "looking for longest flow travel time"
       << "[end-entry]";
  const int rank = RankOf(comm);
  std::vector<int32_t> zones(cells.size(), 1);
  std::fill(maxzeit.begin(), maxzeit.end(), with_grid ? 0.0 : 1.0);
  if (with_grid) {
    const FlowTimeCell* first_bad = nullptr;
    for (const FlowTimeCell& cell : cells) {
      // Every zone is a record per subbasin and line: a flow time beyond a year is no basin's
      // and would ask for billions of them.
      if (cell.seconds == nodata || !(cell.seconds > kLongestFlowTime)) continue;
      ThrowFatal(diag, kGridFormatCode, "FATAL: grid ", grid_name, ": the cell at row ", cell.row,
                 ", column ", cell.column, " holds ", cell.seconds,
                 " s, a flow time beyond a year (", kLongestFlowTime, " s)");
    }
    for (std::size_t i = 0; i < cells.size(); ++i) {
      int32_t zone = FlowTimeZone(cells[i].seconds, interval_minutes, nodata);
      if (zone < 1) {
        // Water of a zone 0 would never reach the outlet and a negative zone indexes no
        // record: such cells deliver in the first step, as the shortest flow time does.
        if (first_bad == nullptr) first_bad = &cells[i];
        zone = 1;
      }
      zones[i] = zone;
      double& m = maxzeit[static_cast<std::size_t>(cells[i].subbasin)];
      m = std::max(m, static_cast<double>(zone));
    }
    if (first_bad != nullptr)
      diag << "WARNING: flow time grid " << grid_name << ": cells with a flow time of 0, "
           << "negative or nodata (first at row " << first_bad->row << ", column "
           << first_bad->column << ") are counted in the first flow-time zone"
           << "[end-entry]";
    AllReduceMaximum(maxzeit, comm);
  }
  diag << "done and reduced to rank 0"
       << "[end-entry]";
  for (int32_t t = 0; t <= tracers_; ++t)
    for (int32_t s = 1; s <= n_; ++s) {
      const auto size =
          static_cast<std::size_t>(std::max(maxzeit[static_cast<std::size_t>(s)], 0.0)) + 1;
      zoneFZT_QD[t][s].assign(size, ZoneRecord{});
      zoneFZT_QI[t][s].assign(size, ZoneRecord{});
    }
  {
    // What a record can hold: every cell (count 1 each) and its weight, once per sub-step.
    std::vector<ExactSum> totals(2 * (static_cast<std::size_t>(n_) + 1));
    for (const FlowTimeCell& cell : cells) {
      totals[2 * static_cast<std::size_t>(cell.subbasin)].Add(1.0);
      totals[2 * static_cast<std::size_t>(cell.subbasin) + 1].Add(cell.weight);
    }
    const std::vector<double> sums = TotalsOnEveryProcess(totals, comm);
    count_capacity.assign(static_cast<std::size_t>(n_) + 1, 0.0);
    weight_capacity.assign(static_cast<std::size_t>(n_) + 1, 0.0);
    for (std::size_t s = 1; s <= static_cast<std::size_t>(n_); ++s) {
      weight_capacity[s] = sums[2 * s + 1] * substeps;
      count_capacity[s] = std::max(sums[2 * s], sums[2 * s + 1]) * substeps;
    }
  }
  std::optional<CheckedFile> log;
  if (rank == 0) {
    // The process log reports this run, refused or not: opened as it is, never set aside.
    errno = 0;
    std::FILE* opened = std::fopen(log_name.c_str(), "a");
    if (opened == nullptr)
      ThrowFatal(diag, kWriteErrorCode, "FATAL: cannot open ", log_name, SystemReason(ErrnoOrIo()));
    log.emplace(diag, kWriteErrorCode, log_name, opened);
  }
  if (!with_grid) {
    for (int32_t t = 0; t <= tracers_; ++t)
      for (int32_t s = 1; s <= n_; ++s) {
        zoneFZT_QD[t][s][1][3] = 1.0;
        zoneFZT_QI[t][s][1][3] = 1.0;
        zoneFZT_QD[t][s][1][2] = 1.0;
        zoneFZT_QI[t][s][1][2] = 1.0;
      }
    if (log) {
      log->Write(
          "flow time distribution will not be calculated since no flow time grid was provided\n");
      log->Close();
    }
  } else {
    // Weights of every zone, summed exactly over the processes (records 1..maxzeit packed);
    // exact sums only for the zones that cells reach.
    std::vector<std::size_t> offset(static_cast<std::size_t>(n_) + 2, 0);
    for (int32_t s = 1; s <= n_; ++s)
      offset[s + 1] = offset[s] + static_cast<std::size_t>(maxzeit[s]) + 1;
    ZoneEntrySums sums;
    sums.Resize(offset[static_cast<std::size_t>(n_) + 1]);
    for (std::size_t i = 0; i < cells.size(); ++i)
      sums.Add(offset[cells[i].subbasin] + static_cast<std::size_t>(zones[i]), cells[i].weight, 0,
               0);
    std::vector<double> weights(sums.keys(), 0.0);
    for (const ZoneEntrySums::Total& total : sums.Finish(nullptr, comm))
      weights[total.key] = total.value[0];
    if (!weights.empty())
      BroadcastBytes(weights.data(), static_cast<int>(weights.size() * sizeof(double)), comm);
    if (log) log->Write("flow time distribution:\n");
    for (int32_t s = 1; s <= n_; ++s) {
      const auto zmax = static_cast<int32_t>(maxzeit[s]);
      if (log) log->Printf("TG\t%4d\t(%3d\tZonen):", static_cast<int>(codes[s]), zmax);
      double total = 0;
      for (int32_t z = 1; z <= zmax; ++z) total += weights[offset[s] + z];
      if (zmax < 1 || total == 0) {
        log.reset();
        ThrowFatal(diag, kFlowTimesNodataCode, "FATAL: all cells in ", grid_name, ", subbasin ",
                   codes[s], " are NODATA!");
      }
      for (int32_t z = 1; z <= zmax; ++z) {
        const double rel = weights[offset[s] + z] / total;
        if (log) log->Printf("\t%5.3f", rel);
        if (z == 1 && !(rel > 0)) {
          log.reset();
          ThrowFatal(diag, kFirstZoneEmptyCode,
                     "FATAL: in flow-travel-time grid: the first time zone of subbasin ", codes[s],
                     " has no cells!");
        }
        for (int32_t t = 0; t <= tracers_; ++t)
          for (Buffer* b : {&zoneFZT_QD, &zoneFZT_QI}) {
            (*b)[t][s][z][2] = z;
            (*b)[t][s][z][3] = rel;
          }
        // The pipeline starts with the weights that the sub-steps add in one step; process 0
        // holds them, so that the step's sum over the processes counts each cell once.
        if (rank == 0)
          for (Buffer* b : {&zoneFZT_QD, &zoneFZT_QI}) {
            (*b)[0][s][z][0] = weights[offset[s] + z] * substeps;
            (*b)[0][s][z][4] = weights[offset[s] + z] * substeps;
          }
      }
      if (log) log->Write("\n");
    }
    if (log) log->Close();
    // From the far end: record z holds the weights of all cells whose water is still to come.
    for (int32_t s = 1; s <= n_; ++s)
      for (auto z = static_cast<int32_t>(maxzeit[s]) - 1; z >= 1; --z)
        for (Buffer* b : {&zoneFZT_QD, &zoneFZT_QI}) {
          (*b)[0][s][z][0] += (*b)[0][s][z + 1][0];
          (*b)[0][s][z][4] += (*b)[0][s][z + 1][4];
        }
  }
  NumberRecords();
  return zones;
}

void RunoffConcentration::NumberRecords() {
  const auto lines = (static_cast<std::size_t>(tracers_) + 1) * (static_cast<std::size_t>(n_) + 1);
  key_offset_.assign(2 * lines, 0);
  std::size_t keys = 0;
  for (int b = 0; b < 2; ++b) {
    const Buffer& buffer = b == 0 ? zoneFZT_QD : zoneFZT_QI;
    for (int32_t t = 0; t <= tracers_; ++t)
      for (int32_t s = 0; s <= n_; ++s) {
        key_offset_[Line(b, t, s)] = keys;
        keys += buffer[t][s].size();
      }
  }
  entries_.Resize(keys);
}

ZoneRecord& RunoffConcentration::RecordOfKey(std::size_t key) {
  // The line is the last whose first key is not beyond `key` (empty lines share their first key
  // with the next line).
  const auto line = static_cast<std::size_t>(
      std::upper_bound(key_offset_.begin(), key_offset_.end(), key) - key_offset_.begin() - 1);
  const std::size_t subbasins = static_cast<std::size_t>(n_) + 1;
  const std::size_t per_buffer = (static_cast<std::size_t>(tracers_) + 1) * subbasins;
  Buffer& buffer = line < per_buffer ? zoneFZT_QD : zoneFZT_QI;
  const std::size_t t = line % per_buffer / subbasins, s = line % subbasins;
  return buffer[t][s][key - key_offset_[line]];
}

void RunoffConcentration::GatherRecords(MPI_Comm comm) {
  // Subbasin by subbasin, so that the exchange stays small beside the records.
  for (int32_t s = 1; s <= n_; ++s) {
    std::vector<double> values;
    for (Buffer* b : {&zoneFZT_QD, &zoneFZT_QI})
      for (int32_t t = 0; t <= tracers_; ++t)
        for (const ZoneRecord& record : (*b)[t][s])
          for (int f : {0, 1, 4}) values.push_back(record[f]);
    ExactSumsToRoot(values, comm);
    const bool root = RankOf(comm) == 0;
    const double* next = values.data();
    for (Buffer* b : {&zoneFZT_QD, &zoneFZT_QI})
      for (int32_t t = 0; t <= tracers_; ++t)
        for (ZoneRecord& record : (*b)[t][s])
          for (int f : {0, 1, 4}) record[f] = root ? *next++ : 0.0;
  }
}

void RunoffConcentration::AddCellBaseflow(int32_t s, double count, double flow, double weight) {
  ExactSum* sums = &base_exact_[3 * static_cast<std::size_t>(s)];
  sums[0].Add(count);
  sums[1].Add(flow);
  sums[2].Add(weight);
}

void RunoffConcentration::BeginStep() {
  for (Buffer* b : {&zoneFZT_QD, &zoneFZT_QI})
    for (auto& per_tracer : *b)
      for (auto& zones : per_tracer) {
        if (zones.size() < 2) continue;
        const std::size_t last = zones.size() - 1;
        for (std::size_t z = 1; z < last; ++z)
          for (int f : {0, 1, 4}) zones[z][f] = zones[z + 1][f];
        for (int f : {0, 1, 4}) zones[last][f] = 0.0;
      }
  for (ExactSum& sum : base_exact_) sum.Reset();
}

void RunoffConcentration::AddCellRunoff(int32_t t, int32_t s, int32_t zone, double direct,
                                        double inter, double w, double g, int32_t substeps) {
  const double share = 1.0 - g;
  const double count = share + g;
  const double weight = share * w + g * w;
  if (key_offset_.empty()) NumberRecords();
  entries_.Add(Key(0, t, s, zone), count, w * direct * share * substeps, weight);
  entries_.Add(Key(1, t, s, zone), count, w * inter * share * substeps, weight);
}

void RunoffConcentration::FinishStep(const StepTables& tables, const std::vector<double>& kelsqd,
                                     const std::vector<double>& kelsqi,
                                     const std::vector<double>& rel, const uint8_t* glacier,
                                     bool surface_routing, double interval_minutes, MPI_Comm comm) {
  if (first_step_) {
    // Records that other processes read from their storage-content files join process 0's.
    first_step_ = false;
    std::vector<double> read{records_read_ ? 1.0 : 0.0};
    AllReduceMaximum(read, comm);
    if (read[0] > 0) GatherRecords(comm);
  }
  // The step's entries of all processes, then its base flow, in one exchange; process 0 adds
  // each record's total to the record.
  if (key_offset_.empty()) NumberRecords();
  const std::vector<ZoneEntrySums::Total>& totals = entries_.Finish(&base_exact_, comm);
  if (RankOf(comm) != 0) return;
  for (const ZoneEntrySums::Total& total : totals) {
    ZoneRecord& record = RecordOfKey(total.key);
    for (int f = 0; f < ZoneEntrySums::kTerms; ++f) record[kEntryField[f]] += total.value[f];
  }
  for (std::size_t s = 0; s < tables.qb->size() && 3 * s + 2 < base_exact_.size(); ++s)
    for (int f = 0; f < 3; ++f) (*tables.qb)[s][kEntryField[f]] = base_exact_[3 * s + f].Value();

  // Inflow of record 1 through the storage of one component, for the water and every tracer.
  auto route = [&](Buffer& buffer, Array& inflow, Array& outflow, double e, int32_t s) {
    const ZoneRecord& water = buffer[0][s][1];
    inflow[0][s] = water[4] > 0 ? water[1] / water[4] : 0.0;
    // A tracer's record sums mass (concentration x water) with the water's weights: the
    // arriving concentration is its sum over the water's.
    for (int32_t t = 1; t <= tracers_; ++t)
      inflow[t][s] = water[1] > 0 ? buffer[t][s][1][1] / water[1] : 0.0;
    const double q = LinearStorageOutflow(inflow[0][s], outflow[0][s], e);
    for (int32_t t = 1; t <= tracers_; ++t)
      outflow[t][s] =
          q > 0 ? (inflow[0][s] * inflow[t][s] * (1.0 - e) + e * outflow[0][s] * outflow[t][s]) / q
                : 0.0;
    outflow[0][s] = q;
  };
  auto row = [&](std::vector<ZoneRecord>* table, int32_t s, double value) {
    if (table == nullptr) return;
    (*table)[s][0] = rel[s];
    (*table)[s][4] = rel[s];
    (*table)[s][1] = rel[s] * value;
  };
  for (int32_t s = 1; s <= n_; ++s) {
    route(zoneFZT_QD, QD, QDd, StorageFactor(interval_minutes, kelsqd[s], surface_routing), s);
    row(tables.qd, s, QDd[0][s]);
    ZoneRecord& b = (*tables.qb)[s];
    QBb[0][s] = b[4] > 0 ? std::max(0.0, b[1] / b[4]) : 0.0;
    row(tables.qb, s, QBb[0][s]);
    route(zoneFZT_QI, QI, QIi, StorageFactor(interval_minutes, kelsqi[s], surface_routing), s);
    row(tables.qi, s, QIi[0][s]);
    const double soil = QDd[0][s] + QIi[0][s] + QBb[0][s];
    Qg[0][s] = (glacier != nullptr && glacier[s] != 0) ? Qg[0][s] + soil : soil;
    row(tables.qg, s, Qg[0][s]);
  }
}

std::vector<double> InitialTotalRunoff(const std::vector<ExactSum>& weighted_sums,
                                       const std::vector<ExactSum>& weight_sums, MPI_Comm comm) {
  std::vector<ExactSum> packed(weighted_sums);
  packed.insert(packed.end(), weight_sums.begin(), weight_sums.end());
  const std::vector<double> totals = TotalsOnEveryProcess(packed, comm);
  const std::size_t n = weighted_sums.size();
  std::vector<double> qg(n, 0.0);
  for (std::size_t s = 0; s < n && n + s < totals.size(); ++s)
    qg[s] = totals[n + s] > 0 ? totals[s] / totals[n + s] : 0.0;
  return qg;
}

}  // namespace velorn
