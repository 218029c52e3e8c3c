// The water and solute that irrigation, the lakes and data assimilation move across the border of
// the soil zone's stores (see water_balance.h), booked per step and written at the end of the run,
// so that an account of a tracer closes from the outputs:
//   - irrigation: the water each cell received from groundwater and from surface water (inside
//     the account's precipitation), the solute that water brought, and at the end what the
//     rivers still owe for it and the solute the rivers and reservoirs gave beyond what the cells
//     received (the routing takes the water of a step after the cells received it, whose solute
//     reaches them with a later step's water), with what of a decaying tracer decayed on its way;
//   - the lake step's change of the solute on the lake cells' surface, as "lake_exchange" books
//     the water;
//   - what data assimilation set into the stores of a tracer (a lake level adds or removes water
//     at the lake's concentration), as "assimilation" books the water.
// Per own cell the values are weighed by "RelCellArea" and summed exactly onto process 0, so the
// bookings are the same on any number of processes. Tracers that evaporate are left out: their
// stores hold concentrations.
#include <omp.h>

#include <cmath>

#include "balance/water_balance.h"
#include "core/error_code.h"
#include "core/output_files.h"
#include "core/row_loop.h"
#include "core/string_helpers.h"
#include "routing/irrigation_model.h"
#include "routing/routing_model.h"
#include "unsatzone/unsatzone_model.h"

namespace velorn {

namespace {

// The water rows of a step's booking; per tracer t the solute rows follow at
// kStepWaterRows + kSoluteRows * (t - 1).
constexpr std::size_t kGroundwaterIrrigation = 0, kSurfaceIrrigation = 1, kStepWaterRows = 2;
constexpr std::size_t kSurfaceSolute = 0, kGroundwaterSolute = 1, kLakeSolute = 2,
                      kAssimilatedSolute = 3, kSoluteRows = 4;

}  // namespace

bool WaterBalance::IrrigationOn() const {
  return models_.irrigation != nullptr && models_.irrigation->GetFlowControl() != 0;
}

bool WaterBalance::LakeSoluteOn() const {
  for (int32_t t = 1; models_.routing != nullptr && t <= models_.soil->tracer_count; ++t)
    if (models_.routing->LakeExchangeSolute(t) != nullptr) return true;
  return false;
}

std::size_t WaterBalance::StepBookings() const {
  return kStepWaterRows + kSoluteRows * static_cast<std::size_t>(models_.soil->tracer_count);
}

void WaterBalance::MarkAssimilationSolute(bool after) {
  const unsatzonmodellklasse& soil = *models_.soil;
  if (!after && assimilated_solute_.empty())
    for (int32_t t = 1; t <= soil.tracer_count; ++t)
      assimilated_solute_.emplace_back(diag_, soil.first_local_row, soil.last_local_row, soil.ncols,
                                       soil.nrows);
  for (int32_t t = 1; t <= soil.tracer_count; ++t) {
    if (!SoluteBooked(t)) continue;
    const SoluteStores stores = ResolveSoluteStores(t);
    const GridMatrix& marked = assimilated_solute_[static_cast<std::size_t>(t - 1)];
    ForEachRow(soil.first_local_row, soil.last_local_row, [&](long r) {
      for (long c = soil.column_ranges[r].first; c <= soil.column_ranges[r].last; ++c) {
        if (!soil.OwnCell(r, c)) continue;
        const double solute = CellSolute(stores, r, c, soil.GlacierShare(r, c));
        marked[r][c] = after ? marked[r][c] + solute : -solute;
      }
    });
  }
}

void WaterBalance::BookStepSolute() {
  const bool irrigation = IrrigationOn(), lakes = LakeSoluteOn();
  if (!irrigation && !lakes && assimilated_solute_.empty()) return;
  const unsatzonmodellklasse& soil = *models_.soil;
  const std::size_t rows = StepBookings(), width = rows + 1;  // the weight last
  const auto indexes = static_cast<std::size_t>(subbasins_ + 1);
  std::vector<std::vector<ExactSum>> sums(static_cast<std::size_t>(omp_get_max_threads()),
                                          std::vector<ExactSum>(indexes * width));
  double** area = CellAreas();
  ForEachRow(soil.first_local_row, soil.last_local_row, [&](long r) {
    std::vector<ExactSum>& own = sums[static_cast<std::size_t>(omp_get_thread_num())];
    std::vector<double> cell(width);
    for (long c = soil.column_ranges[r].first; c <= soil.column_ranges[r].last; ++c) {
      const int32_t s = OwnSubbasin(r, c);
      if (s == 0) continue;
      std::fill(cell.begin(), cell.end(), 0.0);
      int32_t origin = 0;
      const double amount = irrigation ? models_.irrigation->StepAmount(r, c, origin) : 0.0;
      if (origin == kIrrigationFromGroundwater) cell[kGroundwaterIrrigation] = amount;
      if (origin == kIrrigationFromSurfaceWater) cell[kSurfaceIrrigation] = amount;
      for (int32_t t = 1; t <= soil.tracer_count; ++t) {
        if (!SoluteBooked(t)) continue;
        double* solute = &cell[kStepWaterRows + kSoluteRows * static_cast<std::size_t>(t - 1)];
        if (origin == kIrrigationFromSurfaceWater || origin == kIrrigationFromGroundwater)
          solute[origin == kIrrigationFromSurfaceWater ? kSurfaceSolute : kGroundwaterSolute] =
              models_.irrigation->StepSolute(t, r, c);
        if (double** exchanged = lakes ? models_.routing->LakeExchangeSolute(t) : nullptr)
          solute[kLakeSolute] = exchanged[r][c];
        if (!assimilated_solute_.empty())
          solute[kAssimilatedSolute] = assimilated_solute_[static_cast<std::size_t>(t - 1)][r][c];
      }
      cell[rows] = 1.0;
      const double a = area != nullptr && area[r][c] > soil.nodata ? area[r][c] : 1.0;
      for (const auto i : {std::size_t{0}, static_cast<std::size_t>(s)})
        for (std::size_t k = 0; k < width; ++k)
          if (cell[k] != 0.0) own[i * width + k].Add(a * cell[k]);
    }
  });
  const std::vector<ExactSum> all = MergedOnRoot(sums);
  if (soil.rank != 0) return;
  step_solute_.resize(indexes * rows, 0.0);
  step_weights_.assign(indexes, 0.0);
  for (std::size_t i = 0; i < indexes; ++i) {
    const double weight = all[i * width + rows].Value();
    step_weights_[i] = weight;
    if (!(weight > 0)) continue;
    for (std::size_t k = 0; k < rows; ++k)
      step_solute_[i * rows + k] += all[i * width + k].Value() / weight;
  }
}

void WaterBalance::WriteStepSolute(const std::string& output_directory) const {
  const unsatzonmodellklasse& soil = *models_.soil;
  const std::size_t rows = StepBookings();
  const auto indexes = static_cast<std::size_t>(subbasins_ + 1);
  if (step_solute_.size() != indexes * rows) return;
  // One row of a booking: the subbasins, then the basin.
  const auto row = [&](const std::string& name, const std::vector<double>& values) {
    std::string text = name;
    for (std::size_t i = 1; i <= indexes; ++i) text += FormatText("\t%.9f", values[i % indexes]);
    return text + "\n";
  };
  const auto booked = [&](std::size_t k) {
    std::vector<double> values(indexes);
    for (std::size_t i = 0; i < indexes; ++i) values[i] = step_solute_[i * rows + k];
    return values;
  };
  const auto solute = [&](int32_t t, std::size_t k) {
    return booked(kStepWaterRows + kSoluteRows * static_cast<std::size_t>(t - 1) + k);
  };
  std::string header = "tracer";
  for (int32_t s = 1; s <= subbasins_; ++s)
    header += FormatText("\t%d", static_cast<int>(soil.subbasinCodes[static_cast<std::size_t>(s)]));
  header += "\tbasin\n";
  const auto write = [&](const char* name, const std::string& text) {
    CheckedFile file(diag_, kWriteErrorCode, output_directory + name, "w");
    file.Write(text);
    file.Close();
  };
  if (IrrigationOn()) {
    // Solute on its way decays only where surface water is served and the tracer decays.
    const auto decays = [&](int32_t t) {
      return models_.irrigation->ServesSurfaceWater() && soil.tracer_definitions[t].radioactive;
    };
    bool decaying = false;
    for (int32_t t = 1; t <= soil.tracer_count; ++t) decaying |= SoluteBooked(t) && decays(t);
    std::string text =
        "# irrigation over the run, over the area: the water the cells received from groundwater "
        "and from surface water (mm, inside the precipitation of water_balance.txt), what the "
        "rivers still owe for it at the end (mm), and per tracer that does not evaporate the "
        "solute the surface water brought (<name>), the groundwater brought (<name>_groundwater) "
        "and what the rivers and reservoirs gave beyond what the cells received, at the end "
        "(<name>_pending)" +
        std::string(decaying ? ", and for a tracer that decays what of it decayed on its way "
                               "(<name>_decayed)"
                             : "") +
        ", mm x concentration\n" + header + row("groundwater", booked(kGroundwaterIrrigation)) +
        row("surface_water", booked(kSurfaceIrrigation)) + row("owed", RoutingIrrigation(0));
    for (int32_t t = 1; t <= soil.tracer_count; ++t) {
      if (!SoluteBooked(t)) continue;
      const std::string& name = soil.tracer_definitions[t].name;
      text += row(name, solute(t, kSurfaceSolute)) +
              row(name + "_groundwater", solute(t, kGroundwaterSolute)) +
              row(name + "_pending", RoutingIrrigation(t));
      if (decays(t)) text += row(name + "_decayed", RoutingIrrigation(t, true));
    }
    write("irrigation_solute.txt", text);
  }
  std::string lakes, assimilated;
  for (int32_t t = 1; t <= soil.tracer_count; ++t) {
    if (!SoluteBooked(t)) continue;
    const std::string& name = soil.tracer_definitions[t].name;
    lakes += row(name, solute(t, kLakeSolute));
    assimilated += row(name, solute(t, kAssimilatedSolute));
  }
  if (LakeSoluteOn())
    write("lake_exchange_solute.txt",
          "# solute the lake steps of the run put on (+) or took from (-) the surface of the lake "
          "cells, mm x concentration over the area\n" +
              header + lakes);
  if (!assimilated_solute_.empty())
    write("assimilation_solute.txt",
          "# solute data assimilation set into (+) or took from (-) the stores over the run, mm x "
          "concentration over the area\n" +
              header + assimilated);
}

std::vector<double> WaterBalance::RoutingIrrigation(int32_t t, bool decayed) const {
  const auto indexes = static_cast<std::size_t>(subbasins_ + 1);
  std::vector<double> values(indexes, 0.0);
  abflussmodellklasse* routing = models_.routing;
  if (routing == nullptr || routing->GetFlowControl() == 0 || step_weights_.size() != indexes)
    return values;
  const unsatzonmodellklasse& soil = *models_.soil;
  const std::vector<double>& owed = routing->IrrigationOwed();
  const std::vector<std::vector<double>>* solute =
      decayed ? &models_.irrigation->DecayedOnTheWay() : routing->GetIrrigationSolute();
  ExactSum basin;
  for (int32_t z = 1; z <= routing->zone_count; ++z) {
    const auto code = static_cast<std::size_t>(routing->zone_table[z][2]);
    const int32_t s = code < soil.soil_zone_index.size() ? soil.soil_zone_index[code] : 0;
    if (s < 1 || s > subbasins_) continue;
    const auto i = static_cast<std::size_t>(s);
    const auto k = static_cast<std::size_t>(z);
    if (t == 0)
      values[i] = k < owed.size() ? owed[k] : 0.0;
    else if (solute != nullptr && static_cast<std::size_t>(t) < solute->size())
      values[i] = k < (*solute)[t].size() ? (*solute)[t][k] : 0.0;
    basin.Add(values[i] * step_weights_[i]);
  }
  if (step_weights_[0] > 0) values[0] = basin.Value() / step_weights_[0];
  return values;
}

}  // namespace velorn
