// Life cycle and time step of the discharge routing model: runoff hand-over, lakes, the
// initialisation of the network, the step with the observed comparison and the statistics,
// tracers, flush and release (see routing_model.h).
#include <mpi.h>

#include <algorithm>
#include <cmath>

#include "core/error_code.h"
#include "core/grid_registry.h"
#include "core/matrix.h"
#include "grids/mpi_exchange.h"
#include "routing/irrigation_formulas.h"
#include "routing/routing_model.h"

namespace velorn {

void abflussmodellklasse::SetQg(double** runoff) {
  if (!IsOn()) return;
  if (runoff == nullptr)
    ThrowFatal(Diag(), kRoutingNoRunoffCode,
               "FATAL: No valid discharges for discharge routing!\nYou have to run the model "
               "including at least precipitation interpolation and soil model\nif discharges are "
               "wished.");
  runoff_ = runoff;
}

void abflussmodellklasse::SetReinfiltrationRecords(ReinfiltrationRecord* records) {
  if (!IsOn()) return;
  records_ = records;
  for (int32_t n = 1; n <= ndesc_; ++n) stretches_[n]->SetReinfiltrationRecords(records, n);
}

int32_t abflussmodellklasse::SetDischargeUnit(int32_t unit) {
  if (IsOn()) unit_ = unit;
  return flow_control;
}

void abflussmodellklasse::ReadLakeSection(const std::string& header) {
  if (registry == nullptr || registry->Find("lake_codes", 0) <= 0) {
    Diag() << "INFO: no LAKE-grid was found in " << module_name << "\n"
           << "Lake modelling is switched off for " << module_name << ".\n"
           << "[end-entry]";
    return;
  }
  ControlFileReader file;
  if (!file.Open(control_file_name) || !file.FindHeader(header))
    ReportControlFileError(header, "(EOF)");
  ReadValue(file, lake_switch_, "flow control parameter for ");
  SwitchLakesOffForResponseUnits(lake_switch_);
  if (lake_switch_ == 0) {
    readgrids_ = 0;
    return;
  }
  for (int n = 0; n < 3; ++n) file.SkipRestOfLine();
  ReadValue(file, readgrids_, "readgrids for ");
}

void abflussmodellklasse::SetupLakes() {
  if (was_active_ < 1) return;
  if (rank != 0) ReadLakeSection("[lake_model]");
  if (lake_switch_ == 0) return;
  lake_cells_.assign(static_cast<std::size_t>(size), 0);
  lake_codes_index_ = RequireGrid("lake_codes");
  ponding_index_ = RequireGrid("ponding_storage");
  double** lakes = (*registry)[lake_codes_index_].grid;
  const int owners = registry->Find("MPIRegions", 0);
  double** regions = owners > 0 ? (*registry)[owners].grid : nullptr;
  own_lake_cells_.clear();
  for (int64_t r = first_local_row; r <= last_local_row; ++r)
    for (int64_t c = column_ranges[r].first; c <= column_ranges[r].last; ++c)
      if (zone_grid[r][c] > nodata && lakes[r][c] > nodata &&
          (regions == nullptr || static_cast<int32_t>(regions[r][c]) == rank))
        own_lake_cells_.emplace_back(static_cast<int32_t>(r), static_cast<int32_t>(c));
  int64_t own = static_cast<int64_t>(own_lake_cells_.size());
  MPI_Allgather(&own, 1, MPI_INT64_T, lake_cells_.data(), 1, MPI_INT64_T, MPI_COMM_WORLD);
  if (size >= 2)
    for (int32_t r = 0; r < size; ++r)
      Diag() << "DEBUG: lakeCellsPerMPIRank[" << r << "] " << lake_cells_[r] << "[end-entry]";
  BindLakes();
  ScatterLakePonding();
  ExchangeLakeTracers(false);
  lake_exchange_index_ = registry->FirstFreeIndex();
  if (lake_exchange_index_ > kLastGridIndex)
    ThrowFatal(Diag(), kRegistryFullCode, "FATAL: no more free grids in memory, (max. ",
               kRefusedGridIndex, ")!");
  lake_exchange_.reset(AllocateMatrix(Diag(), 1, nrows, 1, ncols, nrows));  // zeroed
  RegisterGrid(lake_exchange_index_, "lake_exchange", lake_exchange_.get(), nullptr, 0,
               "lake_exchange", 0, 1, nrows);
  lake_exchange_solute_.clear();
  if (!lake_tracer_stacks_.empty()) {
    lake_exchange_solute_.resize(static_cast<std::size_t>(tracer_count) + 1);
    for (int32_t t = 1; t <= tracer_count; ++t)
      if (tracer_definitions != nullptr && tracer_definitions[t].evaporating == 0)
        lake_exchange_solute_[t].reset(AllocateMatrix(Diag(), 1, nrows, 1, ncols, nrows));
  }
}

// Binding wrote V0's level (readgrids 0) or took the stored ponding (any other readgrids) to the
// lake cells before the storage file restored the volumes; the cells take the restored level,
// else the first step would read that water back as the volume. The stored ponding grid does not
// hold it: the soil writes its grids before the lakes' last step.
void abflussmodellklasse::ApplyRestoredLakeLevels() {
  if (was_active_ < 1 || lake_switch_ == 0) return;
  int32_t restored = rank == 0 && restored_from_storage_ ? 1 : 0;
  MPI_Bcast(&restored, 1, MPI_INT32_T, 0, MPI_COMM_WORLD);
  if (restored == 0) return;
  if (rank == 0)
    for (int32_t n = 1; n <= ndesc_; ++n) stretches_[n]->ApplyLakeLevels();
  ScatterLakePonding();
  ExchangeLakeTracers(false);
}

void abflussmodellklasse::StartLakeExchange() {
  if (!lake_exchange_) return;
  for (const auto& [r, c] : own_lake_cells_) lake_exchange_.get()[r][c] = 0.0;
  for (const OwnedGrid& solute : lake_exchange_solute_)
    if (solute)
      for (const auto& [r, c] : own_lake_cells_) solute.get()[r][c] = 0.0;
}

void abflussmodellklasse::BookLakeExchange(bool after) {
  if (!lake_exchange_ || lake_switch_ == 0 || was_active_ < 1) return;
  double** pond = (*registry)[ponding_index_].grid;
  double** exchange = lake_exchange_.get();
  for (const auto& [r, c] : own_lake_cells_) exchange[r][c] += after ? pond[r][c] : -pond[r][c];
  // The solute of a tracer that does not evaporate: the surface level of the soil's stack.
  for (std::size_t t = 1; t < lake_exchange_solute_.size(); ++t) {
    double** solute = lake_exchange_solute_[t].get();
    if (solute == nullptr) continue;
    double*** stack = (*registry)[lake_tracer_stacks_[t]].stack;
    for (const auto& [r, c] : own_lake_cells_)
      solute[r][c] += after ? stack[r][c][0] : -stack[r][c][0];
  }
}

// The static grids are gathered whole (the table is then the same on any number of processes).
// On several processes process 0's lakes work on whole copies of the step grids, into which the
// lake exchange gathers the lake cells of every process each step (process 0's own rows of the
// registry grids need not hold the lakes); on one process they work on the registry grids.
void abflussmodellklasse::BindLakes() {
  // The copies of the static grids live until the lakes hold their cells.
  double** whole[4] = {};
  GridMatrix copies[4];
  const char* names[4] = {"lake_codes", "zonegrid_soilmodel", "[elevation_model]",
                          "max_ponding_storage"};
  for (int n = 0; n < 4; ++n) {
    const int index = RequireGrid(names[n]);
    copies[n] = MPIGatherGridCopy(index, nullptr);
    whole[n] = copies[n] ? copies[n].get() : (*registry)[index].grid;
  }
  lake_mask_ = std::move(copies[0]);
  lake_step_grids_.clear();
  for (int index : {ponding_index_, registry->Find("real_transpiration0", 0)})
    if (index > 0)
      lake_step_grids_.push_back({index, rank == 0 && size > 1
                                             ? GridMatrix(Diag(), 1, nrows, ncols, nrows)
                                             : GridMatrix()});
  // A lake that starts from the ponding water reads the cells of every process.
  GatherLakeGrid(lake_step_grids_[0]);
  SetupLakeTracers();
  ExchangeLakeTracers(true);
  if (rank != 0 || !IsOn()) return;
  auto step_grid = [&](const char* name) -> double** {
    const int index = registry->Find(name, 0);
    for (const LakeStepGrid& g : lake_step_grids_)
      if (index > 0 && g.index == index) return g.whole ? g.whole.get() : (*registry)[index].grid;
    return nullptr;
  };
  lake_grids_ = LakeGrids{};
  lake_grids_.ponding = step_grid("ponding_storage");
  lake_grids_.transpiration = step_grid("real_transpiration0");
  // One process has no gather into "PrecOnLakes": the lakes read the water input itself.
  const int input = RequireOneOfThreeGrids("throughfall0", "snowcover_outflow", "precipitation");
  lake_grids_.precipitation = size > 1 ? lakes_grid_.get() : (*registry)[input].grid;
  for (const OwnedGrid& top : lake_tracers_) lake_grids_.tracers.push_back(top.get());
  const LakeStaticGrids statics{whole[0], whole[1], whole[2], whole[3], nrows, ncols, nodata};
  for (int32_t n = 1; n <= ndesc_; ++n)
    stretches_[n]->BindLakes(statics, &lake_grids_, cellsize, readgrids_ != 0);
}

// Every process takes part under the same condition, whether routing is on here or not.
void abflussmodellklasse::ExchangeLakes(bool gather) {
  if (lake_switch_ == 0 || was_active_ < 1 || lake_cells_.empty()) return;
  if (!gather) {
    // The ponding first: the tracers' surface masses follow the ponding the lakes wrote.
    ScatterLakePonding();
    ExchangeLakeTracers(false);
    return;
  }
  ExchangeLakeTracers(true);
  for (const LakeStepGrid& g : lake_step_grids_) GatherLakeGrid(g);
  const int input = RequireOneOfThreeGrids("throughfall0", "snowcover_outflow", "precipitation");
  velorn::MPIGatherZoneValues(Diag(), mpi, (*registry)[input].grid, LakeMask(), lake_cells_,
                              lakes_grid_.get());
}

int32_t abflussmodellklasse::InitialisationPasses() const {
  double hours = 0;
  for (int32_t n = 1; n <= ndesc_; ++n) {
    const routingclass& s = *stretches_[n];
    int32_t largest = 0;
    for (int32_t i = 1; i <= s.ItemCount(); ++i) {
      const ChannelRecord& r = s.Channel(i);
      largest = std::max(largest, static_cast<int32_t>(r.tt[r.rows + 1]));
    }
    hours += largest;
  }
  return std::max(1, static_cast<int32_t>(std::ceil(hours * 60.0 / time_interval)));
}

void abflussmodellklasse::FillSubflows() {
  double** flows = tables_->flows();
  double*** subflows = tables_->subflows();
  const int32_t last = nsb_ + totals_.inflows;
  for (int32_t tr = 0; tr <= tracer_count; ++tr)
    for (int32_t j = 1; j <= nsplit_; ++j)
      std::copy(flows[tr] + 1, flows[tr] + last + 1, subflows[tr][j] + 1);
}

// Every internal inflow receives the water of exactly one internal abstraction of another
// stretch, matched by number; an internal abstraction without its inflow is refused too.
void abflussmodellklasse::LinkInternalAbstractions() {
  const char* head =
      "FATAL: \n ---> Error in connecting internal abstractions with internal inflows:\n";
  for (int32_t n = 1; n <= ndesc_; ++n) {
    routingclass& s = *stretches_[n];
    for (int32_t i = s.ChannelCount() + 1; i <= s.ItemCount(); ++i) {
      if (s.InflowMode(i) != kInflowInternal) continue;
      const int32_t z = s.FlowIndex(i) - nsb_;
      bool found = false;
      for (int32_t n2 = 1; n2 <= ndesc_; ++n2) {
        routingclass& s2 = *stretches_[n2];
        for (int32_t k = 1; k <= s2.AbstractionCount(); ++k) {
          AL_class& al = s2.Abstraction(k);
          if (!IsInternalAbstraction(al.mode()) || al.number() != z) continue;
          if (found)
            ThrowFatal(Diag(), kRoutingAbstractionTwiceCode, head, "in routing description ", n2,
                       " for TG ", s2.OutletCode(), ":\n", "Inflow ", z,
                       " is already connected to an internal abstraction.\n",
                       "Each abstaction (AL-element) must be conencted to exactly one internal "
                       "inflow(ZL-element)\n");
          if (s.OutletCode() == s2.OutletCode())
            ThrowFatal(Diag(), kRoutingAbstractionSameCode, head, "Abstraction AL ", z,
                       " from routing description ", n2, " and inflow ZL ", z,
                       " are both defined for the same routing-subbasin TG ", s.OutletCode(), ".\n",
                       "this is not allowed\n");
          // The receiving stretch converts the water of the step, which stands there only after
          // the abstracting stretch has run.
          if (n < n2)
            ThrowFatal(Diag(), kRoutingSubbasinCode, "FATAL: the routing description of subbasin ",
                       s.OutletCode(), " receives internal inflow ZL ", z,
                       " from the abstraction of the description of subbasin ", s2.OutletCode(),
                       ", which stands after it: list the abstracting description first");
          found = true;
          const int32_t first = s.TributaryCount() > 0 ? s.FlowIndex(1) : 0;
          al.SetTarget(zone_code_index[s.OutletCode()], first, s.Area(), s.Divisor(), s.Area());
        }
      }
      if (!found)
        ThrowFatal(Diag(), kRoutingInternalInflowCode, head, "in routing description ", n,
                   " for TG ", s.OutletCode(), ":\n", "Internal Inflow ZL ", z,
                   " has no conenction to an internal abstraction.\n", "this is not allowed\n");
    }
  }
  for (int32_t n = 1; n <= ndesc_; ++n) {
    routingclass& s = *stretches_[n];
    for (int32_t k = 1; k <= s.AbstractionCount(); ++k) {
      const AL_class& al = s.Abstraction(k);
      if (IsInternalAbstraction(al.mode()) && !al.linked())
        ThrowFatal(Diag(), kRoutingAbstractionUnlinkedCode, head, "in routing description ", n,
                   " for TG ", s.OutletCode(), ":\n", "Internal abstraction AL ", al.number(),
                   " is not connected to any internal inflow.\n");
    }
  }
}

void abflussmodellklasse::InitialiseRouting() {
  if (!IsOn()) return;
  double** flows = tables_->flows();
  for (int32_t tr = 0; tr <= tracer_count; ++tr) {
    std::copy(runoff_[tr] + 1, runoff_[tr] + nsb_ + 1, flows[tr] + 1);
    std::fill(flows[tr] + nsb_ + 1, flows[tr] + nsb_ + totals_.inflows + 1, 0.0);
  }
  observed_depth_.assign(static_cast<std::size_t>(nsb_) + 1, nodata);
  observed_index_.assign(static_cast<std::size_t>(nsb_) + 1, 0);
  for (int32_t sb = 1; sb <= nsb_; ++sb)
    if (observation_columns_[sb] > 0) observed_index_[sb] = sb;
  RefreshObserved();
  const double* observed = observed_window_.empty() ? nullptr : observed_depth_.data();
  for (int32_t n = 1; n <= ndesc_; ++n)
    stretches_[n]->SetFlowArrays(flows, tables_->subflows(), tables_->history(), observed,
                                 observed_index_.data());
  FillSubflows();
  Diag() << "checking connection of internal inflows and abstractions"
         << "[end-entry]";
  LinkInternalAbstractions();
  for (int32_t n = 1; n <= ndesc_; ++n) stretches_[n]->InitialiseChannelStates();
  for (int32_t n = 1; n <= ndesc_; ++n) stretches_[n]->InitialiseReservoirOutflows();
  const int32_t passes = InitialisationPasses();
  if (readgrids_ != 0) return;
  Diag() << "routing the initialization discharges (" << passes << " times)"
         << "[end-entry]";
  std::vector<std::vector<double>> saved(static_cast<std::size_t>(tracer_count) + 1);
  for (int32_t pass = 0; pass < passes; ++pass) {
    for (int32_t tr = 0; tr <= tracer_count; ++tr)
      saved[tr].assign(flows[tr], flows[tr] + nsb_ + 1);
    FillSubflows();
    for (int32_t n = 1; n <= ndesc_; ++n) stretches_[n]->RouteStep(0, 0, 0, 0);
    Diag() << ".";
    for (int32_t tr = 0; tr <= tracer_count; ++tr)
      std::copy(saved[tr].begin() + 1, saved[tr].end(), flows[tr] + 1);
  }
  Diag() << "[end-entry]";
}

void abflussmodellklasse::RunStep(int64_t hour, int64_t day, int64_t month, int64_t year) {
  BookLakeExchange(false);
  ExchangeLakes(true);
  if (rank != 0 || !IsOn()) {
    ExchangeLakes(false);
    BookLakeExchange(true);
    return;
  }
  teilmodellklasse::RunStep(hour, day, month, year);
  PrepareIrrigationDemand();
  RefreshObserved();
  double** flows = tables_->flows();
  for (int32_t tr = 0; tr <= tracer_count; ++tr)
    std::copy(runoff_[tr] + 1, runoff_[tr] + nsb_ + 1, flows[tr] + 1);
  // The river network's water account: what the channels held before the run's first step and
  // what the subbasins' runoff gives them.
  if (channels_start_.empty()) {
    channels_start_.assign(static_cast<std::size_t>(nsb_) + 1, 0.0);
    runoff_water_.assign(static_cast<std::size_t>(nsb_) + 1, 0.0);
    for (int32_t n = 1; n <= ndesc_; ++n)
      channels_start_[outlet_of_stretch_[n]] += ChannelSolute(n, 0);
  }
  for (int32_t k = 1; k <= nsb_ && k <= zone_count; ++k)
    runoff_water_[k] += runoff_[0][k] * zone_table[k][3];
  const auto y = static_cast<int32_t>(year), m = static_cast<int32_t>(month);

  const auto d = static_cast<int32_t>(day), h = static_cast<int32_t>(hour);
  for (int32_t n = 1; n <= ndesc_; ++n) stretches_[n]->ReadInflows(flows, y, m, d, h);
  FillSubflows();
  // What the draws of the step add to the solute record is what the rivers and reservoirs gave.
  const std::vector<std::vector<double>> solute_before = irrigation_solute_;
  for (int32_t n = 1; n <= ndesc_; ++n) {
    stretches_[n]->RouteStep(y, m, d, h);
    if (records_ != nullptr) stretches_[n]->OfferReinfiltration();
  }
  if (irrigation_demand_ != nullptr) {
    irrigation_given_.resize(irrigation_solute_.size());
    for (std::size_t t = 1; t < irrigation_solute_.size(); ++t) {
      irrigation_given_[t].resize(irrigation_solute_[t].size(), 0.0);
      for (std::size_t z = 1; z < irrigation_solute_[t].size(); ++z)
        irrigation_given_[t][z] += irrigation_solute_[t][z] - solute_before[t][z];
    }
  }
  AccumulateIrrigationDemand();
  CompareWithObserved();
  ShiftObservedWindow(hour, day, month, year);
  CollectStatistics(hour, day, month, year);

  ExchangeLakes(false);
  BookLakeExchange(true);
}

void abflussmodellklasse::SetIrrigationDemand(const ZoneRecord* table) {
  if (!IsOn()) return;
  irrigation_demand_ = table;
  irrigation_links_ = IrrigationLinks{table,
                                      &demand_,
                                      &maxirrig_,
                                      &irrigation_drawn_,
                                      &irrigation_owed_,
                                      &maxirrig_reservoirs_,
                                      &irrigation_solute_};
  irrigation_drawn_.assign(static_cast<std::size_t>(nsb_) + 1, 0);
  irrigation_owed_.assign(static_cast<std::size_t>(nsb_) + 1, 0.0);
  demand_.assign(static_cast<std::size_t>(nsb_) + 1, 0.0);
  for (int32_t n = 1; n <= ndesc_; ++n)
    stretches_[n]->SetIrrigationTables(table != nullptr ? &irrigation_links_ : nullptr);
}

void abflussmodellklasse::PrepareIrrigationDemand() {
  if (irrigation_demand_ == nullptr) return;
  const std::size_t n1 = static_cast<std::size_t>(nsb_) + 1;
  for (auto& row : maxirrig_)
    std::fill(row.begin() + 1, row.begin() + static_cast<std::ptrdiff_t>(n1), 0.0);
  std::vector<double> sums(n1, 0.0), counts(n1, 0.0);
  for (std::size_t k = 1; k < n1; ++k) {
    sums[k] = irrigation_demand_[k][1];
    counts[k] = irrigation_demand_[k][4];
  }
  demand_ = UncoveredDemand(sums, counts, maxirrig_reservoirs_[0]);
  std::fill(irrigation_drawn_.begin(), irrigation_drawn_.end(), 0);
}

void abflussmodellklasse::AccumulateIrrigationDemand() {
  if (irrigation_demand_ == nullptr) return;
  const std::size_t n1 = static_cast<std::size_t>(nsb_) + 1;
  std::vector<char> is_outlet(n1, 0);
  std::vector<double> area(n1, 0.0);
  for (std::size_t k = 1; k < n1; ++k) {
    is_outlet[k] = targets_.stretch[k] > 0 ? 1 : 0;
    area[k] = irrigation_demand_[k][3];
  }
  const std::vector<double> carried = AccumulateDemand(
      targets_.list, targets_.target, is_outlet, demand_, tables_->flows()[0], abfrel_.area, area);
  for (std::size_t k = 1; k < n1; ++k) maxirrig_[0][k] += carried[k];
}

// The stretches read the observed value of the step from one holder, the window's row of the
// step's own date,
// converted into their unit: a file in m³/s (the routed discharge's unit 1) is divided by the
// factor that makes the gauge's discharge m³/s in the statistics table.
void abflussmodellklasse::RefreshObserved() {
  if (observed_window_.empty()) return;
  observed_current_ = observed_window_[kObservedCurrentRow];
  for (int32_t sb = 1; sb <= nsb_ && sb < static_cast<int32_t>(observed_depth_.size()); ++sb) {
    const int32_t column = observation_columns_[sb];
    const double value = column > 0 ? observed_current_[column] : nodata;
    const double factor = unit_ == 1 ? DischargeFactor(sb) : 1.0;
    observed_depth_[sb] = value > nodata && factor > 0 ? value / factor : nodata;
  }
}

// The discharge routed to the gauge of `sb`: an observation that took its place (flow control
// 2) went on to the stretches below, the table and the goodness of fit keep the simulation.
// The abstractions at the outlet took their amounts from the observed discharge: where they took
// more than the simulation carried, the simulation keeps nothing (never a negative discharge).
double abflussmodellklasse::OutputDischarge(int32_t sb) const {
  const int32_t stretch = targets_.stretch[sb];
  const double water = std::max(
      0.0,
      tables_->flows()[0][sb] - (stretch > 0 ? stretches_[stretch]->GaugeSubstitution() : 0.0));
  return unit_ == 1 ? DischargeFactor(sb) * water : water;
}

double abflussmodellklasse::ChannelStorage() const {
  // Each stretch holds its water in mm over A / f of its outlet subbasin: mm · km².
  double total = 0;
  for (int32_t n = 1; n <= ndesc_; ++n) {
    const int32_t outlet = outlet_of_stretch_[n];
    total += stretches_[n]->StoredWater() * abfrel_.area[outlet] / abfrel_.divisor[outlet];
  }
  return total * abfrel_.area[0];
}

void abflussmodellklasse::CompareWithObserved() {
  if (end_counter_ >= kObservedEnded || observed_window_.empty()) return;
  ++step_counter_;
  const int32_t mode = statistics_code_ / 1000;
  double* observed_values = statistics_->observed_values();
  for (int32_t k = 1; k <= nsb_; ++k) {
    const int32_t column = observation_columns_[k];
    if ((mode == 2 || mode == 4) && k <= statistics_->columns())
      observed_values[k] = observed_window_[kObservedCurrentRow][column];
    if (column < 1 || step_counter_ <= rsquare_offset_) continue;
    const double x = OutputDischarge(k);
    for (int32_t lag = 0; lag < kObservedRows; ++lag) {
      const double o = observed_window_[lag][column];
      if (!(o > 0)) continue;
      fit_linear_[lag][k].Add(x, o);
      if (x > 0) fit_logarithmic_[lag][k].Add(std::log(x), std::log(o));
    }
  }
}

void abflussmodellklasse::ShiftObservedWindow(int64_t hour, int64_t day, int64_t month,
                                              int64_t year) {
  if (!observed_table_) return;
  if (end_counter_ >= kObservedEnded)
    Diag() << "INFO: observed runoff: actual date " << day << "." << month << "." << year << " "
           << hour << "h not found (end of discharge file at " << observed_date_.day << "."
           << observed_date_.month << "." << observed_date_.year << ", " << observed_date_.hour
           << "h)"
           << "[end-entry]";
  std::rotate(observed_window_.begin(), observed_window_.begin() + 1, observed_window_.end());
  std::vector<double>& last = observed_window_[kObservedRows - 1];
  if (observed_table_->state() == kTablePastEnd) {
    // No record: nodata, which neither enters the comparison nor replaces a discharge.
    std::fill(last.begin(), last.end(), nodata);
    if (end_counter_ < kObservedEnded) ++end_counter_;
    return;
  }
  CopyObservedRow(kObservedRows - 1);
  observed_table_->NextRow();
  int32_t y = 0, m = 0, d = 0, h = 0;
  if (observed_table_->state() == kTablePastEnd) {
    Diag() << "INFO: end of discharge file reached!"
           << "[end-entry]";
  } else if (observed_table_->GetDate(y, m, d, h)) {
    observed_date_ = ModelDate{y < 1000 ? y + 1900 : y, m, d, h};
  }
}

void abflussmodellklasse::CollectStatistics(int64_t hour, int64_t day, int64_t month,
                                            int64_t year) {
  statistics_->ResetZoneSums();
  for (int32_t k = 1; k <= nsb_; ++k) {
    own_zones_[k][0] += 1;
    own_zones_[k][4] += 1;
    own_zones_[k][1] += OutputDischarge(k);
  }
  statistics_->CollectRoutingStep(year, month, day, hour);
  double** flows = tables_->flows();
  for (int32_t t = 1; t <= tracer_count; ++t) {
    TracerBlock& block = tracer_blocks[t];
    block.statistics->ResetZoneSums();
    for (int32_t k = 1; k <= nsb_; ++k) {
      block.balance_table[k][0] += 1;
      block.balance_table[k][4] += 1;
      block.balance_table[k][1] += flows[t][k];
    }
    // The records hold the step's concentrations as they stand (no cell sums to collect).
    block.statistics->CollectWrittenStep(year, month, day, hour);
  }
  CollectChannelSolute(hour, day, month, year);
  BookOutletSolute();
}

// A stretch whose outlet drains into no other passes its water out of the basin: its step
// result (mm over A / f) times its concentration, as ChannelSolute turns it into the basin's mm.
void abflussmodellklasse::BookOutletSolute() {
  const std::size_t n1 = static_cast<std::size_t>(nsb_) + 1;
  outlet_solute_.resize(static_cast<std::size_t>(tracer_count) + 1, std::vector<double>(n1, 0.0));
  double** flows = tables_->flows();
  for (int32_t n = 1; n <= ndesc_; ++n) {
    const int32_t outlet = outlet_of_stretch_[n];
    if (targets_.target[static_cast<std::size_t>(outlet)] != 0) continue;
    // Tracer 0: the water.
    for (int32_t t = 0; t <= tracer_count; ++t)
      outlet_solute_[t][outlet] += flows[0][outlet] * (t == 0 ? 1.0 : flows[t][outlet]) *
                                   abfrel_.area[outlet] / abfrel_.divisor[outlet];
  }
}

// Per tracer the solute that left at the basin's outlet and with the abstractions, per subbasin
// whose stretch it left (mm x concentration over the subbasin) and for the basin; with observed
// discharges in the place of simulated ones the water and solute they put in or took out.
void abflussmodellklasse::WriteRoutingSolute() {
  bool inflows = false;
  for (int32_t n = 1; n <= ndesc_; ++n) inflows = inflows || stretches_[n]->HasOutsideInflow();
  if (rank != 0 || (tracer_count < 1 && observed_flag_ != 1 && !inflows) || initialised == 0)
    return;
  std::string text =
      "# solute that left the basin over the run, per subbasin whose routing description it left "
      "and for the basin, mm x concentration over the area: <name>_outlet at the basin's outlet, "
      "<name>_abstracted with the abstractions that write their water to a file; "
      "<name>_irrigation: what the rivers and reservoirs gave up for irrigation (with irrigation "
      "on); <name>_observed: what observed discharges put into the rivers (below 0: took out) "
      "in the place of the simulated ones, at the concentration of the water they replaced (with "
      "their substitution on; the row water_observed: their water, mm over the area); "
      "<name>_inflow: what the inflows from outside the basin (constant ones and those of a file) "
      "brought into the rivers (with such inflows; the row water_inflow: their water, mm over the "
      "area); the river network's water, mm over the area: water_runoff what the subbasins' "
      "runoff gave the rivers, water_outlet what left at the basin's outlet, water_abstracted "
      "with the abstractions that write their water to a file, water_channels_start and "
      "water_channels_end what the channels held at the start and the end of the run\ntracer";
  for (int32_t k = 1; k <= zone_count; ++k) text += FormatText("\t%d", ZoneCode(k));
  text += "\tbasin\n";
  // A row of values per subbasin (mm x concentration over its area share), then the basin's.
  const auto row = [&](const std::string& name, const std::vector<double>& values) {
    text += name;
    double basin = 0.0;
    for (int32_t k = 1; k <= zone_count; ++k) {
      const double share = zone_table[k][3];
      text += FormatText("\t%.9f", share > 0.0 ? values[k] / share : 0.0);
      basin += values[k];
    }
    text += FormatText("\t%.9f\n", basin);
  };
  // What the stretches booked (of the observed discharges, of the inflows from outside), per
  // subbasin of their outlet.
  const auto per_outlet = [&](double (routingclass::*booked)(int32_t) const, int32_t t) {
    std::vector<double> amounts(static_cast<std::size_t>(zone_count) + 1, 0.0);
    for (int32_t n = 1; n <= ndesc_; ++n) {
      const int32_t k = outlet_of_stretch_[n];
      if (k >= 1 && k <= zone_count)
        amounts[k] += (stretches_[n].get()->*booked)(t)*abfrel_.area[k] / abfrel_.divisor[k];
    }
    return amounts;
  };
  const auto observed_change = [&](int32_t t) {
    return per_outlet(&routingclass::ObservedChange, t);
  };
  const auto inflow_supply = [&](int32_t t) { return per_outlet(&routingclass::InflowSupply, t); };
  if (observed_flag_ == 1) row("water_observed", observed_change(0));
  if (inflows) row("water_inflow", inflow_supply(0));
  // The rest of the river network's water account (mm over the area), per subbasin whose
  // stretch it concerns.
  std::vector<double> outlet_water(static_cast<std::size_t>(zone_count) + 1, 0.0),
      abstracted_water = outlet_water, channels_end = outlet_water, channels_start = outlet_water,
      runoff_water = outlet_water;
  for (int32_t n = 1; n <= ndesc_; ++n) {
    const int32_t k = outlet_of_stretch_[n];
    if (k < 1 || k > zone_count) continue;
    if (!outlet_solute_.empty()) outlet_water[k] = outlet_solute_[0][k];
    abstracted_water[k] +=
        stretches_[n]->AbstractedSolute(0) * abfrel_.area[k] / abfrel_.divisor[k];
    channels_end[k] += ChannelSolute(n, 0);
  }
  for (int32_t k = 1; k <= zone_count; ++k) {
    if (static_cast<std::size_t>(k) < channels_start_.size())
      channels_start[k] = channels_start_[k];
    if (static_cast<std::size_t>(k) < runoff_water_.size()) runoff_water[k] = runoff_water_[k];
  }
  row("water_runoff", runoff_water);
  row("water_outlet", outlet_water);
  row("water_abstracted", abstracted_water);
  row("water_channels_start", channels_start);
  row("water_channels_end", channels_end);
  for (int32_t t = 1; t <= tracer_count; ++t) {
    std::vector<double> outlet(static_cast<std::size_t>(zone_count) + 1, 0.0), taken = outlet;
    for (int32_t n = 1; n <= ndesc_; ++n) {
      const int32_t k = outlet_of_stretch_[n];
      if (k < 1 || k > zone_count) continue;
      if (static_cast<std::size_t>(t) < outlet_solute_.size()) outlet[k] = outlet_solute_[t][k];
      taken[k] += stretches_[n]->AbstractedSolute(t) * abfrel_.area[k] / abfrel_.divisor[k];
    }
    // The irrigation record is mm x concentration over each subbasin.
    std::vector<double> given(static_cast<std::size_t>(zone_count) + 1, 0.0);
    for (int32_t k = 1; k <= zone_count; ++k)
      if (static_cast<std::size_t>(t) < irrigation_given_.size() &&
          static_cast<std::size_t>(k) < irrigation_given_[t].size())
        given[k] = irrigation_given_[t][k] * zone_table[k][3];
    for (const auto& [suffix, values] :
         {std::pair{"_outlet", &outlet}, {"_abstracted", &taken}, {"_irrigation", &given}}) {
      if (values == &given && irrigation_demand_ == nullptr) continue;
      row(tracer_definitions[t].name + suffix, *values);
    }
    if (observed_flag_ == 1) row(tracer_definitions[t].name + "_observed", observed_change(t));
    if (inflows) row(tracer_definitions[t].name + "_inflow", inflow_supply(t));
  }
  CheckedFile file(Diag(), kWriteErrorCode, output_directory + "routing_solute.txt", "w");
  file.Write(text);
  file.Close();
}

double abflussmodellklasse::ChannelSolute(int32_t n, int32_t tr) const {
  const int32_t outlet = outlet_of_stretch_[n];
  return stretches_[n]->StoredSolute(tr) * abfrel_.area[outlet] / abfrel_.divisor[outlet];
}

void abflussmodellklasse::CreateChannelSoluteTables(ZoneStatisticsRecord* statistics_registry,
                                                    int32_t capacity) {
  channel_solute_.resize(static_cast<std::size_t>(tracer_count) + 1);
  for (int32_t t = 1; t <= tracer_count; ++t) {
    const TracerDefinition& def = tracer_definitions[t];
    ChannelSoluteTable& c = channel_solute_[t];
    c.records.assign(static_cast<std::size_t>(zone_count) + 1, ZoneRecord{});
    for (int32_t z = 0; z <= zone_count; ++z)
      for (int f = 2; f < 4; ++f) c.records[z][f] = zone_table[z][f];
    int status = 0;
    std::string name = TracerFileName(def.path, def.name, "channel", def.statext);
    c.table = std::make_unique<zonalstatistic>(
        status, diag, nullptr, 1, 1, c.records.data(), zone_count, def.statcode,
        kSignificantDigitsPrecision, name, output_directory, output_list_count, output_list_codes);
    if (status != 0) throw ErrorCode{status};
    c.table->WriteHeader(module_name,
                         "solute held in the channels for tracer " + std::to_string(t) + " (" +
                             def.name + ") [mm x concentration] ",
                         statistics_registry, capacity);
  }
}

// A zone's value is its weighted sum over its weight: the solute over the subbasin's area, and
// the total (all sums over all weights, the area shares adding up to 1) the basin's.
void abflussmodellklasse::CollectChannelSolute(int64_t hour, int64_t day, int64_t month,
                                               int64_t year) {
  for (int32_t t = 1; t < static_cast<int32_t>(channel_solute_.size()); ++t) {
    ChannelSoluteTable& c = channel_solute_[t];
    c.table->ResetZoneSums();
    for (int32_t k = 1; k <= zone_count; ++k) {
      c.records[k][0] = 1;
      c.records[k][1] = 0;
      c.records[k][4] = zone_table[k][3];
    }
    for (int32_t n = 1; n <= ndesc_; ++n)
      c.records[outlet_of_stretch_[n]][1] += ChannelSolute(n, t);
    c.table->CollectWrittenStep(year, month, day, hour);
  }
}

void abflussmodellklasse::SetupTracers(int32_t& error, int32_t count, TracerDefinition* definitions,
                                       ZoneStatisticsRecord* statistics_registry,
                                       int32_t capacity) {
  error = 0;
  if (!IsOn()) return;
  error = CaptureErrorCode([&] {
    tracer_count = count;
    tracer_definitions = definitions;
    if (count < 1) return;
    tracer_blocks = std::shared_ptr<TracerBlock[]>(new TracerBlock[count + 1]);
    for (int32_t t = 1; t <= count; ++t) {
      const TracerDefinition& def = definitions[t];
      TracerBlock& block = tracer_blocks[t];
      if (def.radioactive == 1)
        block.decay_factor = def.half_time > 0 ? DecayFactor(time_interval, def.half_time) : 0.0;
      block.balance_table.assign(static_cast<std::size_t>(zone_count) + 1, ZoneRecord{});
      for (int32_t z = 0; z <= zone_count; ++z)
        for (int f = 2; f < 5; ++f) block.balance_table[z][f] = zone_table[z][f];
      block.statistics_file_name = TracerFileName(def.path, def.name, module_name, def.statext);
      int status = 0;
      block.statistics = std::make_unique<zonalstatistic>(
          status, diag, nullptr, 1, 1, block.balance_table.data(), zone_count, def.statcode,
          kSignificantDigitsPrecision, block.statistics_file_name, output_directory,
          output_list_count, output_list_codes);
      if (status != 0) throw ErrorCode{status};
      block.statistics->WriteHeader(
          module_name,
          "tracer concentration for tracer " + std::to_string(t) + " (" + def.name + ") ",
          statistics_registry, capacity);
    }
    CreateChannelSoluteTables(statistics_registry, capacity);
  });
}

void abflussmodellklasse::ReleaseTracers() {
  if (!IsOn() || !tracer_blocks) return;
  for (int32_t t = 1; t <= tracer_count; ++t) {
    TracerBlock& block = tracer_blocks[t];
    if (block.statistics) block.statistics->ReleaseMemory();
    block.statistics.reset();
    block.balance_table.clear();
  }
  tracer_blocks.reset();
  for (ChannelSoluteTable& c : channel_solute_)
    if (c.table) c.table->ReleaseMemory();
  channel_solute_.clear();
}

void abflussmodellklasse::FlushBuffers() {
  if (!IsOn()) return;
  if (statistics_) statistics_->FlushBuffers();
  for (int32_t t = 1; tracer_blocks && t <= tracer_count; ++t)
    if (tracer_blocks[t].statistics) tracer_blocks[t].statistics->FlushBuffers();
  for (ChannelSoluteTable& c : channel_solute_)
    if (c.table) c.table->FlushBuffers();
  for (int32_t n = 1; n <= ndesc_; ++n) stretches_[n]->FlushBuffers();
}

void abflussmodellklasse::RewindInputs() {
  if (!IsOn()) return;
  RewindObserved();
  const ModelDate& s = start_date_;
  for (int32_t n = 1; n <= ndesc_; ++n)
    stretches_[n]->RewindInputs(static_cast<int32_t>(s.year), static_cast<int32_t>(s.month),
                                static_cast<int32_t>(s.day), static_cast<int32_t>(s.hour));
}

void abflussmodellklasse::ReleaseMemory() {
  if (IsOn()) {
    if (initialised != 0) WriteStorageState();
    WriteRoutingSolute();
    storage_name_.reset();
    ReleaseTracers();
    if (initialised != 0 && rank == 0 && observed_table_ && statistics_)
      statistics_->WriteGoodnessOfFit(fit_linear_, fit_logarithmic_);
    observed_table_.reset();
    if (statistics_) statistics_->ReleaseMemory();
    statistics_.reset();
    for (auto& stretch : stretches_)
      if (stretch) stretch->ReleaseMemory();
    stretches_.clear();
    tables_.reset();
    runoff_ = nullptr;
    observed_window_.clear();
    fit_linear_.clear();
    fit_logarithmic_.clear();
    lake_cells_.clear();
    lake_tracer_stacks_.clear();
  }
  if (rank == 0 && lakes_grid_index_ > 0 && lakes_grid_) {
    UnregisterGrid(lakes_grid_index_);
    lakes_grid_.reset();
    lakes_grid_index_ = 0;
  }
  lake_exchange_solute_.clear();
  if (lake_exchange_index_ > 0 && lake_exchange_) {
    UnregisterGrid(lake_exchange_index_);
    lake_exchange_.reset();
    lake_exchange_index_ = 0;
  }
  modelobject::ReleaseMemory();
}

}  // namespace velorn
