// A harness that hands a routing stretch its flows, as the routing model does: subbasin codes
// equal their indices (1..nsb), zone-table areas in km² (factor 1), one flow table owner, and a
// step helper that sets the sub-step values of given flow indices and routes the step. Shared
// by the routing tests and the routing benchmark.
#pragma once

#include <map>
#include <memory>
#include <numeric>
#include <vector>

#include "core/tracer_bookkeeping.h"
#include "routing/flow_tables.h"
#include "routing/routing_stretch.h"

namespace velorn::test {

// A rectangular channel that stays below bank-full: 10 m wide, 100 m deep banks, Manning 30,
// slope 0.001, both storage constants k (hours).
inline ChannelParameters DeepChannel(double k, double length, double area, double qmin, double qmax,
                                     double intervals) {
  ChannelParameters p;
  p.k_mean = k;
  p.k_flood = k;
  p.width_mean = 10;
  p.width_flood = 50;
  p.bankfull_depth = 100;
  p.manning_mean = 30;
  p.manning_flood = 20;
  p.slope = 0.001;
  p.length = length;
  p.area = area;
  p.qmin = qmin;
  p.qmax = qmax;
  p.intervals = intervals;
  return p;
}

struct StretchHarness {
  // A stretch of subbasin `tg` over `areas` (km² of subbasins 1..nsb; areas[0] unused).
  StretchHarness(DiagnosticStream& diag, std::vector<double> areas, int32_t tg, int32_t ntrib,
                 int32_t nlist, int32_t nzl, int32_t nsub, double dt, int32_t ntr = 0,
                 int32_t flow_control = 1, int32_t max_inflow_code = 3)
      : nsb(static_cast<int32_t>(areas.size()) - 1),
        nsub(nsub),
        tables(ntr, nsub, nsb + max_inflow_code),
        tracers(static_cast<std::size_t>(ntr + 1)) {
    codes.resize(static_cast<std::size_t>(nsb + 1));
    std::iota(codes.begin(), codes.end(), 0);
    own = tg;
    observed_flag = flow_control == 2 ? 1 : 0;
    abfrel.area = areas;
    abfrel.area[0] = 1.0;
    abfrel.divisor.assign(areas.size(), 1.0);
    StretchSetup setup;
    setup.diag = &diag;
    setup.nsb = nsb;
    setup.dt = dt;
    setup.area = std::accumulate(areas.begin() + 1, areas.end(), 0.0);
    setup.ntrib = ntrib;
    setup.nlist = nlist;
    setup.nZL = nzl;
    setup.tg_code = tg;
    setup.abfrel = &abfrel;
    setup.code_to_index = codes.data();
    setup.max_code = nsb;
    setup.ntr = ntr;
    setup.tracers = tracers.data();
    setup.flow_control = flow_control;
    stretch = std::make_unique<routingclass>(error, setup);
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
  // Sets every sub-step of the given flow indices (water) and routes one real step (or an
  // initialisation pass with month 0); returns the step result at the outlet.
  double Step(const std::map<int32_t, double>& water, int32_t month = 1) {
    for (const auto& [index, value] : water)
      for (int32_t j = 1; j <= nsub; ++j) subflows()[0][j][index] = value;
    stretch->RouteStep(2001, month, 1, 0);
    return flows()[0][tg()];
  }
  int32_t tg() const { return own; }

  int32_t error = 0;
  int32_t nsb;
  int32_t nsub;
  std::vector<int32_t> codes;
  AbfrelTable abfrel;
  RoutingFlowTables tables;
  std::vector<TracerDefinition> tracers;
  std::unique_ptr<routingclass> stretch;
  int32_t own = 1;
  int32_t observed_flag = 0;
};

}  // namespace velorn::test
