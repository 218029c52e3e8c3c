// Fixture of the routing model tests: subbasins with codes of their own (not their indices) and
// areas in km², a compiled control file with [output_interval] and [routing_model], the runoff
// table that the soil model would hand in, and helpers that build, initialise and step a model.
#pragma once

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "core/grid_registry.h"
#include "core/submodel_setup.h"
#include "core/tracer_bookkeeping.h"
#include "core/zone_types.h"
#include "routing/routing_model.h"
#include "tests/support/test_files.h"
#include "tests/support/test_helpers.h"

namespace velorn::test {

// Ten channel values of a description item: both storage constants `k` hours, a channel that
// never leaves its banks, `length` m, `area` km².
inline std::string ChannelValues(double k, double length, double area) {
  return "(kh=" + std::to_string(k) + ", kv=" + std::to_string(k) +
         ", Bh=10, Bv=50, Th=100, Mh=30, Mv=20, I=0.001, L=" + std::to_string(length) +
         ", A=" + std::to_string(area) + ")";
}

class RoutingModelTest : public DiagTest {
 protected:
  RoutingModelTest() { Zones({11, 12, 13, 14, 15}, {10, 20, 30, 40, 50}); }

  // Subbasins 1..n with the given codes and areas (km²; the zone-table factor is 1).
  void Zones(const std::vector<int32_t>& codes, const std::vector<double>& areas) {
    const int32_t n = static_cast<int32_t>(codes.size());
    int32_t highest = 0;
    for (int32_t code : codes) highest = std::max(highest, code);
    code_index_.assign(static_cast<std::size_t>(highest) + 1, 0);
    zones_.assign(static_cast<std::size_t>(n) + 1, ZoneRecord{});
    zones_[0][3] = 1.0;
    for (int32_t i = 1; i <= n; ++i) {
      code_index_[codes[i - 1]] = i;
      zones_[i][2] = codes[i - 1];
      zones_[i][3] = areas[i - 1];
    }
    ranges_.assign(3, ColumnRange{1, 2});
    setup_.diag = &diag_;
    setup_.control_file_name = dir_ / "run.ctl.$$$";
    setup_.registry = &registry_;
    setup_.zone_code_index = code_index_.data();
    setup_.zone_table = zones_.data();
    setup_.column_ranges = ranges_.data();
    setup_.zone_count = n;
    setup_.highest_zone_code = highest;
    setup_.ncols = 2;
    setup_.nrows = 2;
    setup_.first_local_row = 1;
    setup_.last_local_row = 2;
    setup_.cellsize = 1000;
    setup_.nodata = -9999;
    setup_.end_date = ModelDate{2001, 1, 1, 0};  // the start date of the run
    setup_.input_directory = dir_.path().string() + "/";
    setup_.output_directory = dir_.path().string() + "/";
    runoff_.assign(1, std::vector<double>(static_cast<std::size_t>(n) + 1, 0.0));
  }

  // The control file: [output_interval] with `unit`, then [routing_model] with `header` (the
  // lines after the time interval) and `descriptions`, closed by a line without keywords.
  void Write(const std::string& header, const std::string& descriptions, int unit = 0,
             int flow_control = 1, double dt = 60) {
    WriteFile(setup_.control_file_name,
              "[output_interval]\n24\n0\n" + std::to_string(unit) + "\n0\n[routing_model]\n" +
                  std::to_string(flow_control) + "\n" + std::to_string(dt) + "\n" + header +
                  descriptions + "end of descriptions\n");
  }
  static std::string Header(const std::string& limits = "1 1000 50 2",
                            const std::string& observed = "none.txt",
                            const std::string& columns = "0\n") {
    return limits + "\nq.sta 0\n" + observed + "\n" + columns + "0\n";
  }

  // Stable tracers (inactive tables) of the models built next, each with a row of
  // concentrations in the runoff table.
  void Tracers(int32_t count) {
    tracers_.assign(static_cast<std::size_t>(count) + 1, TracerDefinition{});
    for (int32_t t = 1; t <= count; ++t) tracers_[t].name = "t" + std::to_string(t) + "_";
    runoff_.resize(static_cast<std::size_t>(count) + 1, runoff_[0]);
  }
  std::unique_ptr<abflussmodellklasse> Build(int32_t& error, int32_t readgrids = 0) {
    const auto count = static_cast<int32_t>(tracers_.size()) - 1;
    return std::make_unique<abflussmodellklasse>(error, setup_, count,
                                                 count > 0 ? tracers_.data() : nullptr, readgrids);
  }
  // Built without error, runoff handed in and initialised.
  std::unique_ptr<abflussmodellklasse> Start(int32_t readgrids = 0) {
    int32_t error = 0;
    auto model = Build(error, readgrids);
    EXPECT_EQ(error, 0) << screen_.str();
    if (error != 0) return nullptr;
    model->SetQg(RunoffRows());
    model->InitialiseRouting();
    return model;
  }
  double** RunoffRows() {
    rows_.clear();
    for (auto& row : runoff_) rows_.push_back(row.data());
    return rows_.data();
  }
  // Step `n` (0-based) of an hourly series starting at the start date.
  static void Step(abflussmodellklasse& model, int n) {
    model.RunStep(n % 24, 1 + n / 24, 1, 2001);
  }
  // A runoff pulse per subbasin: mm per step; the tracers' concentrations change with it.
  void SetPulse(int n) {
    for (std::size_t k = 1; k < runoff_[0].size(); ++k) {
      runoff_[0][k] = 0.2 + 0.1 * k + 2.0 * std::exp(-std::pow((n - 5.0 * k) / 3.0, 2));
      for (std::size_t t = 1; t < runoff_.size(); ++t)
        runoff_[t][k] = 1.0 + t + std::sin(0.7 * n + static_cast<double>(k));
    }
  }

  // Steps from..to - 1 under the runoff pulse; returns the water at the outlet of subbasin
  // index `outlet` after each (mm over its A / f), followed by each tracer's concentration.
  std::vector<double> RunPulse(abflussmodellklasse& model, int from, int to, int32_t outlet) {
    std::vector<double> results;
    for (int n = from; n < to; ++n) {
      SetPulse(n);
      Step(model, n);
      for (std::size_t tr = 0; tr < runoff_.size(); ++tr)
        results.push_back(model.Flows()[tr][outlet]);
    }
    return results;
  }

  GridRegistry registry_;
  std::vector<int32_t> code_index_;
  std::vector<ZoneRecord> zones_;
  std::vector<ColumnRange> ranges_;
  SubModelSetup setup_;
  std::vector<std::vector<double>> runoff_;
  std::vector<double*> rows_;
  std::vector<TracerDefinition> tracers_ = std::vector<TracerDefinition>(1);
};

}  // namespace velorn::test
