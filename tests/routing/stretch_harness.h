// A harness that hands a routing stretch its flows, as the routing model does: subbasin codes
// equal their indices (1..nsb), zone-table areas in km² (factor 1), one flow-table owner, and a
// step helper. Shared by the routing tests and the routing benchmark.
#pragma once

#include <map>
#include <memory>
#include <numeric>
#include <vector>

#include "core/tracer_bookkeeping.h"
#include "routing/flow_tables.h"
#include "routing/routing_stretch.h"

namespace velorn::test {

// A rectangular channel 10 m wide with 100 m deep banks (it never overflows), Manning 30,
// slope 0.001, both storage constants k (hours).
inline ChannelParameters DeepChannel(double k, double length, double area, double qmin, double qmax,
                                     double intervals) {
  return ChannelParameters{k, k, 10, 50, 100, 30, 20, 0.001, length, area, qmin, qmax, intervals};
}

struct StretchHarness {
  // A stretch of subbasin `tg` over `areas` (km² of subbasins 1..nsb; areas[0] unused).
  StretchHarness(DiagnosticStream& diag, std::vector<double> areas, int32_t tg, int32_t ntrib,
                 int32_t nlist, int32_t nzl, int32_t nsub, double dt, int32_t ntr = 0,
                 int32_t flow_control = 1)
      : nsb(static_cast<int32_t>(areas.size()) - 1),
        nsub(nsub),
        own(tg),
        observed_flag(flow_control == 2 ? 1 : 0),
        codes(areas.size()),
        tables(ntr, nsub, nsb + 3),
        tracers(static_cast<std::size_t>(ntr + 1)) {
    std::iota(codes.begin(), codes.end(), 0);
    abfrel.area = areas;
    abfrel.area[0] = 1.0;
    abfrel.divisor.assign(areas.size(), 1.0);
    stretch = std::make_unique<routingclass>(
        error, StretchSetup{.diag = &diag,
                            .nsb = nsb,
                            .dt = dt,
                            .area = std::accumulate(areas.begin() + 1, areas.end(), 0.0),
                            .ntrib = ntrib,
                            .nlist = nlist,
                            .nZL = nzl,
                            .tg_code = tg,
                            .abfrel = &abfrel,
                            .code_to_index = codes.data(),
                            .max_code = nsb,
                            .ntr = ntr,
                            .tracers = tracers.data(),
                            .flow_control = flow_control});
  }

  void Channel(int32_t item, int32_t code, const ChannelParameters& p,
               const std::vector<int32_t>& members = {}) {
    stretch->BuildWQTable(item, code, members, nsub, observed_flag, 1, p);
  }
  // Area check, flow arrays from the current flows, channel states.
  void Start(const double* observed = nullptr, const int32_t* columns = nullptr) {
    stretch->CheckArea();
    stretch->SetFlowArrays(flows(), subflows(), tables.history(), observed, columns);
    stretch->InitialiseChannelStates();
  }
  double** flows() { return tables.flows(); }
  double*** subflows() { return tables.subflows(); }
  // Sets every sub-step of the given flow indices (water), routes one step (month 0: an
  // initialisation pass) and returns the step result at the outlet.
  double Step(const std::map<int32_t, double>& water, int32_t month = 1) {
    for (const auto& [index, value] : water)
      for (int32_t j = 1; j <= nsub; ++j) subflows()[0][j][index] = value;
    stretch->RouteStep(2001, month, 1, 0);
    return flows()[0][own];
  }

  int32_t error = 0;
  int32_t nsb;
  int32_t nsub;
  int32_t own;
  int32_t observed_flag;
  std::vector<int32_t> codes;
  AbfrelTable abfrel;
  RoutingFlowTables tables;
  std::vector<TracerDefinition> tracers;
  std::unique_ptr<routingclass> stretch;
};

}  // namespace velorn::test
