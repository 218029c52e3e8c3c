// SoilColumnWorkspace: the per-thread work arrays of one soil column, and ColumnCell, what the
// column operations need to know of the cell being computed.
//
// One workspace per OpenMP thread, sized once per row (Resize allocates only when the column
// grows) and reused for every cell: the soil-water sub-step, the heat steps and the snow-layer
// restructuring all work in it. Every array covers the indices -M..N: layers 1..N of the soil
// from the top, the M layers of the layered snow at 1-M..0 (index 0 the lowest snow layer), and
// index -M for the upper boundary of a full snow pack. Boundary arrays (q, ...) are indexed by
// the layer above the boundary: q[i] is the flux through the lower boundary of layer i. The
// arrays live in one contiguous block, so a column of 20 layers sits in L1 cache. Besides the
// arrays it keeps what saves work between the iterations of a cell without changing a result:
// the table interval of each layer's last suction look-up and the flux limiter's last bisection
// per boundary (Resize clears both when the layer counts change).
//
// Units: fluxes m/s positive upward, water contents m³/m³, heads, suctions, elevations and
// thicknesses m.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tables/soil_record.h"

namespace velorn {

// A block of arrays over the column indices -M..N, contiguous, each `stride` doubles long; the
// base of the per-thread workspaces of the water and the heat numerics.
class ColumnArrays {
 public:
  int M = 0;  // snow layers
  int N = 0;  // soil layers
  // Most arrays a workspace may hold.
  static constexpr int kMaxArrays = 24;

  ColumnArrays() = default;
  ColumnArrays(const ColumnArrays& other);
  ColumnArrays& operator=(const ColumnArrays& other);
  ColumnArrays(ColumnArrays&& other) noexcept;
  ColumnArrays& operator=(ColumnArrays&& other) noexcept;
  ~ColumnArrays() = default;

 protected:
  // Makes room for `count` (at most kMaxArrays) arrays over -M..N; allocates only when the
  // column grows.
  void ResizeArrays(int snow_layers, int soil_layers, int count);
  // Sets every array to 0 at -M..N.
  void ClearArrays();
  // Array a at its index 0: found once per Resize, since every operation of every iteration
  // asks for its arrays.
  double* ArrayAt(int a) { return bases_[static_cast<std::size_t>(a)]; }
  const double* ArrayAt(int a) const { return bases_[static_cast<std::size_t>(a)]; }

 private:
  // Points bases_ at the arrays of storage_.
  void Rebase();
  std::vector<double> storage_;
  std::ptrdiff_t stride_ = 0;
  int count_ = 0;
  std::array<double*, kMaxArrays> bases_{};
};

struct SoilColumnWorkspace : ColumnArrays {
  // Per-layer and per-boundary arrays, each valid at -M..N.
  enum Array {
    kTheta0,      // water content at the start of the sub-step
    kTheta,       // water content of the current iterate
    kThetaMean,   // mean of the iterates
    kThetaSat,    // saturated water content
    kThetaRes,    // residual water content (the lower limit)
    kDz,          // thickness
    kZBound,      // elevation of the lower boundary (zBound[0] the soil surface)
    kHead,        // hydraulic head
    kSuction0,    // suction at the start of the sub-step
    kScratch,     // time-centred suction of the last head computation (not of hydrostatic layers)
    kQ,           // water flux through the lower boundary
    kExtraction,  // interflow plus tile drainage (rate)
    kRiverOut,    // exfiltration into the river (rate)
    kRiverIn,     // infiltration from the river (rate)
    kThetaTrial,  // trial contents of the content limiter
    kKs,          // saturated conductivity of the fluxes, where snow or a thaw depth set it
    kLiquid,      // liquid fraction of the layer's water (heat transfer)
    kArrayCount
  };

  // Table intervals of the last look-up of each layer (-M..N), one set per kind of content
  // looked up. They only start the next look-up of the layer nearby (the suction is the
  // same from any start), so they survive from one evaluation and iteration to the next.
  enum Hints {
    kMeanHint,          // heads: contents at the start of the step and the iterates' mean
    kPredictHint,       // flux limiter: predicted contents
    kConductivityHint,  // relative conductivities of the fluxes and the interflow
    kHintCount
  };

  // The last bisection of the flux limiter at one boundary: the bit patterns of everything it
  // read, and what it gave. The iterations of a step often bisect a boundary again from the
  // very same inputs; the limiter then takes the stored result (the same numbers).
  struct LimiterMemo {
    static constexpr int kKeySize = 19;
    bool valid = false;
    std::array<std::uint64_t, kKeySize> key{};
    double q = 0;        // limited flux
    double e = 0;        // extraction of the upper layer
    double theta = 0;    // last predicted content of the lower layer
    double suction = 0;  // and its suction
  };

  // Lowest layer down to which kThetaTrial holds, from the top of the column, the contents that
  // the fluxes, extractions and river terms give as they stand: set by LimitLayerContents when
  // its last sweep corrected nothing, taken and cleared by the UpdateLayerMoisture that follows
  // it; kNoTrials: none.
  static constexpr int kNoTrials = -1000000;
  int trialsHeldTo = kNoTrials;

  // Makes room for M snow layers and N soil layers; allocates only when the column grows.
  // Clears the arrays. The hints and the limiter's memos stay while the layer counts do: a hint
  // only starts a search, and a memo gives its result only to the very inputs it stored, the
  // soil entry and its layers among them, so both serve the next cell as they served this one.
  void Resize(int snow_layers, int soil_layers) {
    static_assert(kArrayCount <= kMaxArrays);
    trialsHeldTo = kNoTrials;
    const bool same = snow_layers == M && soil_layers == N && !memos_.empty();
    ResizeArrays(snow_layers, soil_layers, kArrayCount);
    if (same) return;
    hints_.assign(static_cast<std::size_t>(kHintCount) * (M + N + 2), 0);
    memos_.assign(static_cast<std::size_t>(M + N + 2), LimiterMemo{});
  }
  // Sets every array to 0 at -M..N.
  void Clear() { ClearArrays(); }
  // Array `a` indexed -M..N.
  double* operator[](Array a) { return ArrayAt(a); }
  const double* operator[](Array a) const { return ArrayAt(a); }
  // Hints of kind `h` indexed -M..N.
  int* operator[](Hints h) {
    return hints_.data() + static_cast<std::ptrdiff_t>(h) * (M + N + 2) + M;
  }
  // The limiter's memo of the boundary below layer i (-M..N).
  LimiterMemo& Memo(int i) { return memos_[static_cast<std::size_t>(i + M)]; }

 private:
  std::vector<int> hints_;
  std::vector<LimiterMemo> memos_;
};

// The cell whose column the workspace holds: its soil, the ranges and the switches the
// operations read. Filled by the caller per cell; no operation changes it.
struct ColumnCell {
  const SoilRecord* soil = nullptr;       // soil entry of the cell (layers 1..N)
  const double* fieldCapacity = nullptr;  // theta at 3.45 m suction of that soil, layers 0..N
  const SoilRecord* snow = nullptr;       // layered-snow entry (its layer M + i for snow layer i)
  int i0 = 0;                             // boundary above the uppermost existing layer (<= 0)
  int gwLayer = 0;                        // layer of the groundwater table
  double zGw = 0;                         // elevation of the groundwater table, m
  int lowerBound = 1;                     // the caller's lower bound of the active range
  bool liquidFraction = false;            // kLiquid holds the heat model's liquid fractions
  double seSoil = 0;                      // effectiveness of frozen water, soil layers
  double seSnow = 0;                      // the same for snow layers
  // Fluxes.
  int clayLayer = 0;               // layer reaching the clay depth (0: no clay layer)
  double kSatClay = 0;             // m/s
  double thawDepth = -1;           // permafrost thaw depth, m (negative: none)
  double reducedKsat = 0;          // m/s below the thaw depth
  double drainageDensity = 0;      // soil layers: subbasin density x min(1, tan slope)
  double snowDrainageDensity = 0;  // snow layers
  int drainageLayer = -1;          // layer of the tile drains (-1: none)
  double drainDistance = 0;        // m
  double cellSize = 0;             // m
  // River exchange: on when the model's re-infiltration is on and the interaction parameter is
  // at least 1 (`interaction` is that parameter).
  bool riverOn = false;
  int interaction = 0;
};

// Fills thickness, theta_sat, theta_res and the lower-boundary elevations of soil layers 1..N
// from the soil entry (zBound[0] = `surface`).
void LoadSoilLayers(SoilColumnWorkspace& ws, const SoilRecord& soil, double surface);

// 1 - (1 - liquid fraction) x effectiveness of layer i (1 without liquid fractions).
inline double IceFactor(const SoilColumnWorkspace& ws, const ColumnCell& cell, int i) {
  if (!cell.liquidFraction) return 1.0;
  const double e = i >= 1 ? cell.seSoil : cell.seSnow;
  return 1.0 - (1.0 - ws[SoilColumnWorkspace::kLiquid][i]) * e;
}

}  // namespace velorn
