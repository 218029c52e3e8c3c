// Irrigation model: construction from the section, the grids of the unsaturated zone, the two
// statistics tables, the hand-overs of the routing model and the soil, tracers, flush and
// release. The step is in routing/irrigation_step.cpp.
#include "routing/irrigation_model.h"

#include "core/error_code.h"
#include "core/string_helpers.h"
#include "core/tracer_bookkeeping.h"
#include "version.h"

namespace velorn {
namespace {

constexpr int32_t kTablePrecision = 4;
constexpr int kControlFileCloseCode = 11;
const char* const kStatisticsDescription = "Name des GWSTANDstatfiles fuer ";
const char* const kRoutingMissing =
    "FATAL: if irrigation is modelled, also routing has to be modelled!";

}  // namespace

irrigationclass::irrigationclass(int32_t& error, const SubModelSetup& setup,
                                 const IrrigationTable* table)
    : teilmodellklasse(setup, "irrigation"), table_(table) {
  error = 0;
  if (GetFlowControl() == 0) return;
  error = CaptureErrorCode([&] {
    const std::string stamp = VELORN_BUILD_TIME;
    Diag() << "file irrigation, compiled at " << stamp << "[end-entry]";
    if (const int regions = FindGrid("MPIRegions", 0)) owner_grid = Data(regions);
    if (const int helper = FindGrid("MPIHelper", 0)) strip_table = Data(helper);
    ReadTwoValues(*control_file, groundwater_output_.name, groundwater_output_.code,
                  kStatisticsDescription);
    ReadTwoValues(*control_file, surface_output_.name, surface_output_.code,
                  kStatisticsDescription);
    control_file->Close();
    precipitation_ = RequireGrid("precipitation");
    codes_ = RequireGrid("irrigation_codes");
    pumping_ = RequireGrid("Max_Pumping");
    amounts_ = RequireGrid("irrigation_amounts");
    soil_moisture_ = RequireGrid("SB_1_grid");
    low_ = RequireGrid("SBLOW_grid");
    high_ = RequireGrid("SBHIGH_grid");
    et_ratio_ = RequireGrid("ETR2ETP");
    root_depth_ = RequireGrid(FormatText("%s%d", "root_depth", 1));
    groundwater_statistics_ =
        MakeZoneTable(groundwater_records_, groundwater_output_.name, groundwater_output_.code,
                      kTablePrecision, "irrigation water amount from groundwater [mm]");
    surface_statistics_ =
        MakeZoneTable(surface_records_, surface_output_.name, surface_output_.code, kTablePrecision,
                      "irrigation water amount from  surface water [mm]");
    demand_records_ = surface_records_;
    supply_.factor.assign(static_cast<std::size_t>(zone_count) + 1, 1.0);
  });
}

double** irrigationclass::Data(int index) const {
  return index > 0 ? (*registry)[index].grid : nullptr;
}

void irrigationclass::SetQg(double** runoff) {
  if (GetFlowControl() != 0) runoff_ = runoff;
}

ZoneRecord* irrigationclass::GetSurfaceWaterDemand() {
  return GetFlowControl() != 0 ? demand_records_.data() : nullptr;
}

void irrigationclass::SetReinfiltrationRecords(ReinfiltrationRecord* records) {
  if (GetFlowControl() != 0) records_ = records;
}

// Routing runs on process 0 only: the other processes have no arrays to hand over.
void irrigationclass::SetMaxIrrigationArrays(std::vector<std::vector<double>>* maxirrig,
                                             std::vector<std::vector<double>>* from_reservoirs,
                                             std::vector<std::vector<double>>* solute) {
  if (GetFlowControl() == 0) return;
  maxirrig_ = maxirrig;
  maxirrig_reservoirs_ = from_reservoirs;
  solute_ = solute;
  if (rank != 0) return;
  if (maxirrig == nullptr)
    ThrowFatal(Diag(), kIrrigationRoutingCode, kRoutingMissing,
               "\n(Adress of array maxirrig[] is NULL\n");
  if (from_reservoirs == nullptr)
    ThrowFatal(Diag(), kIrrigationRoutingCode, kRoutingMissing,
               "\n(Adress of array maxirrigFromReservoirs[] is NULL\n");
}

bool irrigationclass::ServesSurfaceWater() const {
  if (table_ == nullptr) return false;
  for (std::size_t k = 1; k < table_->records.size(); ++k)
    if (table_->records[k].method >= 1 && table_->records[k].origin == kIrrigationFromSurfaceWater)
      return true;
  return false;
}

void irrigationclass::SetRoutingTargets(const std::vector<int32_t>* targets) {
  if (GetFlowControl() == 0) return;
  targets_ = targets;
  if (rank == 0 && targets == nullptr)
    ThrowFatal(Diag(), kIrrigationRoutingCode, kRoutingMissing,
               " \n(Adress of array routing-target is NULL)\n");
}

void irrigationclass::SetAbfrelTable(const AbfrelTable* table) {
  if (GetFlowControl() == 0) return;
  abfrel_ = table;
  if (rank == 0 && table == nullptr)
    ThrowFatal(Diag(), kIrrigationRoutingCode, kRoutingMissing,
               " \n(Adress of array abfrel is NULL)\n");
}

void irrigationclass::SetupTracers(int32_t& error, int32_t count, TracerDefinition* definitions,
                                   ZoneStatisticsRecord* statistics_registry, int32_t capacity) {
  SetupTracersThen(error, count, definitions, statistics_registry, capacity, [&] {
    tracer_input_.assign(static_cast<std::size_t>(tracer_count) + 1, 0);
    for (int32_t t = 1; t <= tracer_count; ++t) tracer_input_[t] = FindTracerInput(t, {"input"});
    river_concentration_.assign(static_cast<std::size_t>(tracer_count) + 1,
                                std::vector<double>(static_cast<std::size_t>(zone_count) + 1));
  });
}

void irrigationclass::LinkSoilTracerGrids() {
  if (GetFlowControl() == 0 || tracer_count < 1) return;
  soil_tracer_.assign(static_cast<std::size_t>(tracer_count) + 1, 0);
  for (int32_t t = 1; t <= tracer_count; ++t)
    soil_tracer_[t] = RequireGrid(FormatText("concpump_tracer_%d_%s", t, "unsatzon_model"));
}

void irrigationclass::FlushBuffers() {
  if (GetFlowControl() == 0) return;
  groundwater_statistics_->FlushBuffers();
  surface_statistics_->FlushBuffers();
  for (int32_t t = 1; t <= tracer_count; ++t)
    if (tracer_blocks[t].statistics) tracer_blocks[t].statistics->FlushBuffers();
}

void irrigationclass::ReleaseTracers() {
  teilmodellklasse::ReleaseTracers();
  soil_tracer_.clear();
  tracer_input_.clear();
}

void irrigationclass::ReleaseMemory() {
  if (GetFlowControl() != 0) {
    for (auto* table : {&groundwater_statistics_, &surface_statistics_}) {
      if (*table) (*table)->ReleaseMemory();
      table->reset();
    }
    groundwater_records_.clear();
    surface_records_.clear();
    demand_records_.clear();
    groundwater_output_.name.clear();
    surface_output_.name.clear();
  }
  teilmodellklasse::ReleaseMemory();
}

}  // namespace velorn
