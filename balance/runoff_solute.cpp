// The solute the soil zone's runoff concentration holds (see water_balance.h): the flow-time
// zones on their way to each subbasin's outlet and the linear storages of direct runoff and
// interflow, which no table shows, before the first step and after the last, so that a tracer's
// account closes from the outputs ("runoff_concentration_solute.txt"). The water of the same
// stores is the account's dS_concentration (with the glacier melt's storages, whose solute the
// table <name>glsto holds).
#include <cstddef>
#include <string>
#include <vector>

#include "balance/water_balance.h"
#include "core/exact_sum.h"
#include "unsatzone/runoff_concentration.h"
#include "unsatzone/unsatzone_model.h"

namespace velorn {

void WaterBalance::AddRunoffSoluteRecords(std::vector<ExactSum>& sums) const {
  const RunoffConcentration& runoff = models_.soil->runoff;
  for (int32_t t = 1; t <= models_.soil->tracer_count; ++t)
    for (int32_t s = 1; s <= subbasins_; ++s) {
      // The records of the zones still on their way (2 and up) hold concentration x mm x
      // weight x sub-steps, as the water's hold mm x weight x sub-steps. After a warm start
      // every process holds the records it read until the first step gathers them.
      ExactSum pipeline;
      if (t <= runoff.tracers())
        for (const RunoffConcentration::Buffer* b : {&runoff.zoneFZT_QD, &runoff.zoneFZT_QI}) {
          const auto& zones = (*b)[static_cast<std::size_t>(t)][static_cast<std::size_t>(s)];
          for (std::size_t z = 2; z < zones.size(); ++z) pipeline.Add(zones[z][1]);
        }
      sums.push_back(pipeline);
    }
}

std::vector<double> WaterBalance::RunoffSolute(const std::vector<double>& weights,
                                               const std::vector<ExactSum>& pipelines) const {
  const unsatzonmodellklasse& soil = *models_.soil;
  const RunoffConcentration& runoff = soil.runoff;
  const auto indexes = static_cast<std::size_t>(subbasins_ + 1);
  std::vector<double> solute(static_cast<std::size_t>(soil.tracer_count) * indexes, 0.0);
  const bool surface = soil.surfaceRoutingActive != 0;
  for (int32_t t = 1; t <= soil.tracer_count && t <= runoff.tracers(); ++t) {
    if (!SoluteBooked(t)) continue;
    const auto tracer = static_cast<std::size_t>(t);
    const std::size_t base = (tracer - 1) * indexes;
    double basin = 0;
    for (int32_t s = 1; s <= subbasins_; ++s) {
      const auto i = static_cast<std::size_t>(s);
      if (!(weights[i] > 0)) continue;
      const std::size_t k = (tracer - 1) * static_cast<std::size_t>(subbasins_) + i - 1;
      const double pipeline = k < pipelines.size() ? pipelines[k].Value() : 0.0;
      // A linear storage holds its water at the concentration of its outflow.
      const double e_direct = StorageFactor(soil.time_interval, soil.kelsqd[i], surface);
      const double e_inter = StorageFactor(soil.time_interval, soil.kelsqi[i], surface);
      const double stored =
          LinearStorageContent(runoff.QDd[0][i], e_direct) * runoff.QDd[tracer][i] +
          LinearStorageContent(runoff.QIi[0][i], e_inter) * runoff.QIi[tracer][i];
      solute[base + i] = pipeline / (weights[i] * soil.substepCount) + stored;
      basin += solute[base + i] * weights[i];
    }
    if (weights[0] > 0) solute[base] = basin / weights[0];
  }
  return solute;
}

void WaterBalance::WriteRunoffSolute(const std::string& output_directory) const {
  if (models_.soil->rank != 0 || runoff_solute_.empty()) return;
  WriteSoluteBooking(output_directory + "runoff_concentration_solute.txt",
                     "solute the soil zone's runoff concentration holds (the flow-time zones and "
                     "the linear storages of direct runoff and interflow) before the first step "
                     "(<tracer>_start) and after the last (<tracer>_end)",
                     {{"_start", &runoff_solute_start_}, {"_end", &runoff_solute_}});
}

}  // namespace velorn
