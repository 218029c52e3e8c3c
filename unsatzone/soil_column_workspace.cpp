// Per-thread work arrays of one soil column.
#include "unsatzone/soil_column_workspace.h"

#include <algorithm>
#include <utility>

namespace velorn {

ColumnArrays::ColumnArrays(const ColumnArrays& other)
    : M(other.M),
      N(other.N),
      storage_(other.storage_),
      stride_(other.stride_),
      count_(other.count_) {
  Rebase();
}

ColumnArrays& ColumnArrays::operator=(const ColumnArrays& other) {
  if (this != &other) {
    M = other.M;
    N = other.N;
    storage_ = other.storage_;
    stride_ = other.stride_;
    count_ = other.count_;
    Rebase();
  }
  return *this;
}

ColumnArrays::ColumnArrays(ColumnArrays&& other) noexcept
    : M(other.M),
      N(other.N),
      storage_(std::move(other.storage_)),
      stride_(other.stride_),
      count_(other.count_) {
  Rebase();
  other.count_ = 0;
  other.Rebase();
}

ColumnArrays& ColumnArrays::operator=(ColumnArrays&& other) noexcept {
  if (this != &other) {
    M = other.M;
    N = other.N;
    storage_ = std::move(other.storage_);
    stride_ = other.stride_;
    count_ = other.count_;
    Rebase();
    other.count_ = 0;
    other.Rebase();
  }
  return *this;
}

void ColumnArrays::Rebase() {
  bases_.fill(nullptr);
  for (int a = 0; a < count_ && a < kMaxArrays; ++a)
    bases_[static_cast<std::size_t>(a)] =
        storage_.data() + static_cast<std::ptrdiff_t>(a) * stride_ + M;
}

void ColumnArrays::ResizeArrays(int snow_layers, int soil_layers, int count) {
  M = snow_layers;
  N = soil_layers;
  count_ = std::min(count, kMaxArrays);
  stride_ = static_cast<std::ptrdiff_t>(M + N + 2);  // -M..N and one spare boundary
  const std::size_t size = static_cast<std::size_t>(stride_) * count_;
  if (storage_.size() < size) storage_.resize(size);
  Rebase();
  ClearArrays();
}

void ColumnArrays::ClearArrays() {
  std::fill(storage_.begin(), storage_.begin() + stride_ * count_, 0.0);
}

void LoadSoilLayers(SoilColumnWorkspace& ws, const SoilRecord& soil, double surface) {
  double* dz = ws[SoilColumnWorkspace::kDz];
  double* sat = ws[SoilColumnWorkspace::kThetaSat];
  double* res = ws[SoilColumnWorkspace::kThetaRes];
  double* z = ws[SoilColumnWorkspace::kZBound];
  z[0] = surface;
  for (int k = 1; k <= ws.N; ++k) {
    dz[k] = soil.thickness[k];
    sat[k] = soil.theta_sat[k];
    res[k] = soil.theta_res[k];
    z[k] = z[k - 1] - dz[k];
  }
}

}  // namespace velorn
