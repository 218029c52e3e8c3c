// Inflow items, the re-infiltration offer and the release of a routing stretch (see
// routing_stretch.h).
#include <algorithm>

#include "core/error_code.h"
#include "routing/routing_formulas.h"
#include "routing/routing_stretch.h"

namespace velorn {
namespace {

constexpr int64_t kInflowBufferBytes = 100000;
// Inflow values at or below this are missing and count as 0.
constexpr double kMissingInflowLimit = -9998.0;

int32_t InflowFullYear(int32_t year) {
  return year < 1000 ? year + 1900 : year;
}

double Present(double value) {
  return value > kMissingInflowLimit ? value : 0.0;
}

}  // namespace

void routingclass::SetInflow(int32_t k, int32_t code, int32_t mode, const std::string& file_name,
                             int32_t start_row, int32_t start_column, int32_t year, int32_t month,
                             int32_t day, int32_t hour, double value) {
  InflowSource& inflow = inflows_[k];
  inflow.code = code;
  inflow.mode = mode;
  if (mode != kInflowFile) {
    inflow.values[0] = value;
    return;
  }
  inflow.file_name = file_name;
  inflow.start_row = start_row;
  OpenInflowTable(k, start_row, year, month, day, hour);
  CheckInflowColumns(k, start_column);
  for (int32_t tr = 0; tr <= ntr_; ++tr)
    inflow.values[tr] = inflow.table->GetValue(inflow.first_value + tr);
}

void routingclass::RewindInputs(int32_t year, int32_t month, int32_t day, int32_t hour) {
  for (int32_t k = 1; k <= nZL_; ++k)
    if (inflows_[k].mode == kInflowFile)
      OpenInflowTable(k, inflows_[k].start_row, year, month, day, hour);
  for (int32_t k = 1; k <= nAL_; ++k) abstractions_[k].RewindInput(year, month, day, hour);
}

// Opens the file and moves to the row of the start date, searching from the start row.
void routingclass::OpenInflowTable(int32_t k, int32_t start_row, int32_t year, int32_t month,
                                   int32_t day, int32_t hour) {
  InflowSource& inflow = inflows_[k];
  inflow.table = std::make_unique<TimeSeriesTable>();
  TimeSeriesTable& table = *inflow.table;
  const int failed = CodeOf([&] { table.Open(inflow.file_name, 0, kInflowBufferBytes); });
  if (failed != 0 || table.state() == kTableCannotOpen || table.state() == kTableReadError)
    ThrowFatal(*diag, kInflowOpenCode, "FATAL: error opening ", inflow.file_name, " for inflow ",
               inflow.code, (table.error_text().empty() ? "" : ": "), table.error_text());
  for (int32_t row = 1; row < start_row; ++row) {
    table.NextRow();
    if (table.state() == kTablePastEnd || table.state() == kTableReadError)
      ThrowFatal(*diag, kInflowSearchCode, "FATAL: error searching in ", inflow.file_name,
                 " for row ", start_row, "\nactual reached row: ", row);
  }
  int32_t y = 0, m = 0, d = 0, h = 0;
  while (true) {
    if (table.state() == kTablePastEnd || !table.GetDate(y, m, d, h))
      ThrowFatal(*diag, kInflowSearchCode, "FATAL: starting date ", year, ".", month, ".", day,
                 ", ", hour, ". h in ", inflow.file_name, " not found (", "search started at row ",
                 start_row, ")");
    if (InflowFullYear(y) == year && m == month && d == day && h == hour) break;
    table.NextRow();
  }
}

// Columns count from 1 with the four date columns, so the first value stands in column 5; the
// water value and the ntr tracer values that follow it must all be in the file.
void routingclass::CheckInflowColumns(int32_t k, int32_t start_column) {
  InflowSource& inflow = inflows_[k];
  const int64_t columns = inflow.table->columns();
  if (start_column < kFirstInflowValueColumn || ntr_ - 4 + start_column > columns)
    ThrowFatal(*diag, kInflowSearchCode, "FATAL: there is not the required number of columns in ",
               inflow.file_name, " for reading ZL[", k, "] and the follwoing ", ntr_,
               " tracer values starting from column ", start_column);
  inflow.first_value = start_column - kFirstInflowValueColumn;
}

void routingclass::ReadInflows(double** flows, int32_t year, int32_t month, int32_t day,
                               int32_t hour) {
  for (int32_t k = 1; k <= nZL_; ++k) {
    InflowSource& inflow = inflows_[k];
    if (inflow.mode != kInflowFile) continue;
    TimeSeriesTable& table = *inflow.table;
    int32_t y = 0, m = 0, d = 0, h = 0;
    if (table.state() == kTablePastEnd || !table.GetDate(y, m, d, h))
      ThrowFatal(*diag, kInflowEndCode, "FATAL: error reading from ", inflow.file_name,
                 " (or from its buffer) for inflow ", inflow.code, "\nreached end of file!");
    y = InflowFullYear(y);
    if (y != year || m != month || d != day || h != hour)
      ThrowFatal(*diag, kInflowDateCode, "FATAL: error comparing dates in ", inflow.file_name,
                 ":\n     read: ", y, ".", m, ".", d, ", ", h, ". h,\nshould be: ", year, ".",
                 month, ".", day, ", ", hour, ". h.\n");
    const int32_t idx = nsb_ + inflow.code;
    const double water = Present(table.GetValue(inflow.first_value));
    for (int32_t tr = 1; tr <= ntr_; ++tr)
      flows[tr][idx] = Present(table.GetValue(inflow.first_value + tr));
    const int32_t item = ntrib_ + nlist_ + k;
    flows[0][idx] = DischargeToDepth(water, items_[item].params.area, dt_);
    table.NextRow();
  }
}

void routingclass::FillOffer(int32_t item, int32_t t) {
  ReinfiltrationRecord& record = records_[t];
  const double flow = flows_[0][t];
  const int32_t row = LookupWQRow(item, flow);
  for (int32_t tr = 0; tr <= std::min(ntr_, kReinfiltrationRiverValues - 1); ++tr)
    record.riverValues[tr] = flows_[tr][t];
  record.reinfiltrated = 0.0;
  record.reinfiltratedStep = 0.0;
  record.offeredWater = DepthToDischarge(flow, items_[item].params.area, dt_);
  record.channelLength = items_[item].record.v[row];
}

void routingclass::SetReinfiltrationRecords(ReinfiltrationRecord* records, int32_t stretch_number) {
  records_ = records;
  stretch_number_ = stretch_number;
  if (records_ == nullptr) return;
  for (int32_t i = 1; i <= ntrib_ + nlist_; ++i) {
    auto mark = [&](int32_t code) {
      const int32_t t = IndexOf(code);
      records_[t].stretchNumber = stretch_number_;
      records_[t].itemNumber = i;
      records_[t].channelArea = items_[i].params.area;
      if (flows_ != nullptr) FillOffer(i, t);
    };
    for (int32_t member : items_[i].members) mark(member);
    mark(items_[i].code);
  }
}

void routingclass::OfferReinfiltration() {
  if (records_ == nullptr) return;
  for (int32_t i = 1; i <= ntrib_ + nlist_; ++i) {
    for (int32_t member : items_[i].members) FillOffer(i, IndexOf(member));
    FillOffer(i, IndexOf(items_[i].code));
  }
}

void routingclass::ReleaseMemory() {
  DiagnosticStream& out = *diag;
  out << " free memory TG " << tg_code_;
  for (int32_t i = 1; i <= ItemCount(); ++i) {
    ChannelItem& it = items_[i];
    if (IsInflow(i)) {
      out << ", (only ZL's)";
    } else {
      out << ", OL " << i << " (Subb. " << it.code;
      for (int32_t member : it.members) out << ", " << member;
      out << ")";
    }
    it.record = ChannelRecord{};
  }
  out << ", --> ZLs...";
  for (int32_t k = 1; k <= nZL_; ++k) {
    out << " " << k << ",";
    inflows_[k].table.reset();
  }
  out << ", --> ALs...";
  for (int32_t k = 1; k <= nAL_; ++k) out << " " << k << ",";
  out << ", --> SPs...";
  for (int32_t k = 1; k <= nSP_; ++k) out << " " << k << ",";
  out << " Rest...";
  // Only the rows this stretch made and that are still handed out are withdrawn.
  for (std::size_t n = 0; n < history_rows_.size(); ++n) {
    const auto [tr, sb] = history_slots_[n];
    if (history_[tr][sb] == history_rows_[n].data()) history_[tr][sb] = nullptr;
  }
  history_rows_.clear();
  history_slots_.clear();
  items_.clear();
  inflows_.clear();
  weight_.clear();
  outlet_.clear();
  work_.clear();
  out << "[end-entry]";
  modelobject::ReleaseMemory();
}

}  // namespace velorn
