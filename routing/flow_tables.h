// The flow tables that discharge routing shares between its stretches, and their owner.
//
// flows[tr][sb]: the value of the time step; subflows[tr][j][sb]: the routing sub-steps
// j = 1..nsub; history[tr][sb]: the channel history row of the item whose flow index is sb
// (allocated and owned by the stretch of that item, see routingclass::SetFlowArrays). tr = 0 is
// water in mm per time step over the area the value belongs to, tr = 1..ntr are tracer
// concentrations. sb = 1..nsb are subbasin indices; index nsb + code holds the inflow item with
// that code (and the water an internal abstraction with that target code leaves, in m³/s).
//
// The routing model owns one RoutingFlowTables and hands its raw pointers to every stretch; a
// test harness does the same. AbfrelTable holds per subbasin the zone-table area and the area
// divisor (entry 0 of `area` turns zone-table areas into km²); the area check of each stretch
// writes its own subbasin's entries.
#pragma once

#include <cstdint>
#include <vector>

namespace velorn {

struct AbfrelTable {
  std::vector<double> area;     // 0..nsb
  std::vector<double> divisor;  // 0..nsb, 1.0 until a stretch sets its own subbasin
};

class RoutingFlowTables {
 public:
  // Tables for `tracers` tracers, `nsub` sub-steps and flow indices 0..last_index, all 0; the
  // history pointers are null.
  RoutingFlowTables(int32_t tracers, int32_t nsub, int32_t last_index);
  RoutingFlowTables(const RoutingFlowTables&) = delete;
  RoutingFlowTables& operator=(const RoutingFlowTables&) = delete;

  double** flows() { return flow_rows_.data(); }
  double*** subflows() { return subflow_tables_.data(); }
  double*** history() { return history_tables_.data(); }
  int32_t tracers() const { return tracers_; }
  int32_t nsub() const { return nsub_; }
  int32_t last_index() const { return last_index_; }

 private:
  int32_t tracers_;
  int32_t nsub_;
  int32_t last_index_;
  std::vector<double> flow_data_;
  std::vector<double*> flow_rows_;
  std::vector<double> subflow_data_;
  std::vector<double*> subflow_rows_;
  std::vector<double**> subflow_tables_;
  std::vector<double*> history_rows_;
  std::vector<double**> history_tables_;
};

}  // namespace velorn
