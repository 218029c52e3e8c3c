// The shared flow tables of discharge routing (see flow_tables.h).
#include "routing/flow_tables.h"

namespace velorn {

RoutingFlowTables::RoutingFlowTables(int32_t tracers, int32_t nsub, int32_t last_index)
    : tracers_(tracers), nsub_(nsub), last_index_(last_index) {
  const std::size_t width = static_cast<std::size_t>(last_index) + 1;
  const std::size_t layers = static_cast<std::size_t>(tracers) + 1;
  const std::size_t steps = static_cast<std::size_t>(nsub) + 1;
  flow_data_.assign(layers * width, 0.0);
  for (std::size_t tr = 0; tr < layers; ++tr) flow_rows_.push_back(&flow_data_[tr * width]);
  subflow_data_.assign(layers * steps * width, 0.0);
  for (std::size_t row = 0; row < layers * steps; ++row)
    subflow_rows_.push_back(&subflow_data_[row * width]);
  for (std::size_t tr = 0; tr < layers; ++tr) subflow_tables_.push_back(&subflow_rows_[tr * steps]);
  history_rows_.assign(layers * width, nullptr);
  for (std::size_t tr = 0; tr < layers; ++tr) history_tables_.push_back(&history_rows_[tr * width]);
}

}  // namespace velorn
