// RegionalSuperposition and cSuperposition: new grids as region-weighted linear combinations of
// grids that other models have registered.
//
// Each entity (`cSuperposition`, one block of the section "[RegionalSuperposition]") names its
// input grids with one weight per region and input, and registers one output grid under its
// own name with a zone statistics table. The region of a cell is a blend: the set-up prepares
// up to three pairs of grids per cell ("regression_regions", "regression_regions2",
// "regression_regions3" with the codes, "regression_weights1..3" with the weights), and
//   output = sum over pairs j of sum over inputs i of input_i * w_i(rank(code_j)) * weight_j.
//
// The application constructs the sub-model after the interpolators with the region count R,
// the region ranking (code -> rank 1..R, 0 for a code that no region has) and the highest
// region code; it calls RunStep in every time step after the interpolation, WriteOutput later in
// the step (collective: the statistics are reduced over the processes), FlushBuffers at every
// flush and ReleaseMemory at shut-down. Input and region grids are fetched from the registry at
// every step, so an input that is re-registered during the run (a scenario grid) is followed.
//
// Entity block syntax: `name { entityinputgrid = id; regions = 1, 2; weights = 0.5, 1.5;
// ... outputgrid = file; writecode = 1; outputtable = file; statcode = 0; }` (all keys required;
// lists split at blanks, tabs, line ends, "," and ";").
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/matrix.h"
#include "core/submodel.h"
#include "core/zone_statistics.h"

namespace velorn {

// "NumberOfEntities" or another key of a block is missing.
inline constexpr int kSuperpositionKeyCode = 133;
// The region list does not match the region grid, a cell's region has no rank, or the control
// file ends inside a block.
inline constexpr int kSuperpositionRegionCode = 134;
// The weight list does not hold one number per region.
inline constexpr int kSuperpositionWeightCode = 135;
// Region pairs a cell can blend.
inline constexpr int32_t kRegionPairs = 3;

class RegionalSuperposition;

// One input grid of an entity with its weight per region (weights[k - 1] for rank k).
struct SuperpositionInput {
  std::string identifier;
  std::vector<int32_t> regions;
  std::vector<double> weights;
  int32_t index = 0;
  double** grid = nullptr;  // borrowed; refreshed at every step
};

class cSuperposition {
 public:
  // Reads the entity from `text` (the whole block), registers its output grid and creates its
  // statistics table. Codes 133, 134, 135, 33 (input grid absent), 12 (registry full).
  cSuperposition(RegionalSuperposition* owner, const std::string& text);
  virtual ~cSuperposition() = default;
  cSuperposition(const cSuperposition&) = delete;
  cSuperposition& operator=(const cSuperposition&) = delete;

  virtual void WriteOutput();
  virtual void FlushBuffers();
  virtual void RunStep(int64_t hour, int64_t day, int64_t month, int64_t year);
  virtual void ReleaseMemory();
  // The identifier of the output grid, which the entity makes anew in every step.
  const std::string& Name() const { return name_; }

 private:
  void ReadInputs(const std::string& body, std::size_t& position);
  void ReadOutputKeys(const std::string& body, std::size_t position);
  void CheckRegions(const SuperpositionInput& input) const;
  void RegisterOutput();
  void CreateTable();
  void FetchGrids();
  void SuperposeRows();
  // Rank 1..R of the region code at a cell; a code without a rank is FATAL.
  int32_t RankOfCell(double code, long row, long column) const;
  bool OwnCell(long row, long column) const;

  RegionalSuperposition* owner_;
  int64_t year_ = 0;
  int64_t month_ = 0;
  int64_t day_ = 0;
  int64_t hour_ = 0;
  std::string name_;
  std::string text_;
  std::vector<SuperpositionInput> inputs_;
  GridMatrix output_;
  int32_t output_index_ = 0;
  std::string output_file_name_;
  int32_t write_code_ = 0;
  std::vector<ZoneRecord> zone_records_;
  std::unique_ptr<zonalstatistic> table_;
  int32_t stat_code_ = 0;
  std::string table_file_name_;
  int32_t region_count_ = 0;
  int32_t pairs_ = 0;
  // Registry indexes and data of the region code and weight grids, pairs 1..3 at [0..2].
  int region_index_[kRegionPairs] = {0, 0, 0};
  int weight_index_[kRegionPairs] = {0, 0, 0};
  double** region_grid_[kRegionPairs] = {nullptr, nullptr, nullptr};
  double** weight_grid_[kRegionPairs] = {nullptr, nullptr, nullptr};
};

class RegionalSuperposition : public teilmodellklasse {
 public:
  // `region_ranking` holds ranks for the codes 0..highest_region_code (null: no ranking, R = 0).
  RegionalSuperposition(const SubModelSetup& setup, ZoneStatisticsRecord* statistics_registry,
                        int32_t statistics_capacity, int32_t region_count,
                        const int32_t* region_ranking, int32_t highest_region_code);

  void ReleaseMemory() override;
  void RunStep(int64_t hour, int64_t day, int64_t month, int64_t year) override;
  virtual void WriteOutput();
  virtual void FlushBuffers();

  // Rank 1..R of a region code, 0 for a code without a region (also outside the array).
  int32_t RankOf(int64_t code) const;
  // Whether the model is on and an entity makes the grid `identifier` in every step.
  bool MakesGrid(const std::string& identifier);

  int32_t entity_count = 0;
  std::vector<std::unique_ptr<cSuperposition>> entities;
  ZoneStatisticsRecord* statistics_registry = nullptr;
  int32_t statistics_capacity = 0;
  int32_t region_count = 0;
  const int32_t* region_ranking = nullptr;
  int32_t highest_region_code = 0;

 private:
  void ReadEntityCount();
  // The next block: lines up to the first one that holds "}", joined with their line ends.
  std::string ReadBlock(int32_t number);
};

}  // namespace velorn
