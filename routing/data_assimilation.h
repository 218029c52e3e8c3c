// data_assimilation: overwrites model states with observed values at listed dates
// ([data_assimilation], rule blocks in routing/data_assimilation_rules.h). A grid rule replaces a
// registered grid by the grid files of its list, optionally dividing the value into liquid and
// solid snow storage (and the snow storages on glaciers); a reservoir rule sets the level of a
// lake of the routing model, its volume and the ponding water of its cells. It stands on the
// routing floor because it sets the routing model's reservoirs.
//
// The application constructs it after the routing model (which hands over its reservoirs and the
// lake-cell counts per process) and calls RunStep every step before the radiation correction,
// ReleaseMemory at the end. Grid rules run on every process (the grid read is collective);
// reservoir rules exist on process 0 only, and the ponding storage is then scattered from
// process 0 to the owners of the lake cells every step when more than one process runs.
// A grid file's nodata cells keep the model's value; a grid file whose extent does not cover the
// basin's cells is refused (1213, both extents named); a listed level that is no number changes
// nothing, one above the lake's top extends its level-volume table, one below its lowest cell
// or above 9000 m a.s.l. is refused (1221, naming lake, date and level), on every process once
// the step's rules have run.
// Codes: 1200 (list file), 1205 (first date), 1210-1216 (grids), 1217 (a snow value below 0),
// 1220 (reservoir, format), 1221 (level), 33 ("ponding_storage" or "lake_codes" missing with a
// reservoir rule), 17 (section).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/submodel.h"
#include "routing/data_assimilation_rules.h"
#include "routing/reservoir.h"

namespace velorn {

class data_assimilation;

class data_assimilation_entity {
 public:
  virtual ~data_assimilation_entity() = default;
  // Applies the record of the step when the list has one for it.
  virtual void Apply(int64_t hour, int64_t day, int64_t month, int64_t year) = 0;
  // Grid rules read collectively on every process; reservoir rules run on process 0 alone.
  virtual bool Collective() const = 0;
  // Opens the list again at its first record at or after the start of the run.
  virtual void Rewind() = 0;

 protected:
  AssimilationList list_;
  AssimilationRecord record_;
  bool valid_ = false;
};

class data_assimilation_grid_entity : public data_assimilation_entity {
 public:
  data_assimilation_grid_entity(data_assimilation& owner, const std::string& block);
  void Apply(int64_t hour, int64_t day, int64_t month, int64_t year) override;
  bool Collective() const override { return true; }
  void Rewind() override;

 private:
  // FATAL 1213 when the grid file just read (its header in the owner's grid_header) does not
  // cover the basin's cells.
  void CheckCoverage(const std::string& file) const;
  // FATAL 1217 (on every process) when the file gives a basin cell a negative snow water
  // equivalent or no number (the rule sets a snow storage: the split, or the grid it names).
  void CheckSnowValues(const std::string& file, double** values) const;
  // The new values where the file has them: nodata cells keep the model's value. With the
  // split, the snow storages of the replaced cells are divided.
  void Replace(double** values);
  data_assimilation& owner_;
  GridRuleSettings settings_;
  int target_ = 0;
  int liquid_ = 0, solid_ = 0;
  int glacier_total_ = 0, glacier_solid_ = 0, glacier_liquid_ = 0, glacierized_ = 0;
  // The snow model's storages the rule sets: both with the split, else the one it names.
  bool sets_solid_ = false, sets_liquid_ = false;
};

class data_assimilation_reservoir_entity : public data_assimilation_entity {
 public:
  data_assimilation_reservoir_entity(data_assimilation& owner, const std::string& block,
                                     const std::vector<SP_class*>& reservoirs);
  void Apply(int64_t hour, int64_t day, int64_t month, int64_t year) override;
  bool Collective() const override { return false; }
  void Rewind() override;

 private:
  data_assimilation& owner_;
  ReservoirRuleSettings settings_;
  SP_class* reservoir_ = nullptr;
};

class data_assimilation : public teilmodellklasse {
 public:
  // Never throws: `error` receives 0 or the code of the failure.
  data_assimilation(const SubModelSetup& setup, int32_t& error, std::vector<SP_class*> reservoirs,
                    const int64_t* lake_cells);
  void RunStep(int64_t hour, int64_t day, int64_t month, int64_t year) override;
  // The routing model's scatter of the lakes' ponding (collective): after the rules imposed the
  // levels, every process's lake cells get them. Without it the registered ponding is scattered.
  void SetPondingScatter(std::function<void()> scatter) { scatter_ = std::move(scatter); }
  // The snow model's take of a survey (each process on its own cells): after a grid rule set its
  // solid or liquid snow storage (the split sets both), with the record's grid (nodata where it
  // kept the model's value) and which of the two it set.
  using SnowSurveyTake = std::function<void(double**, bool solid, bool liquid)>;
  void SetSnowSurvey(SnowSurveyTake take) { snow_survey_ = std::move(take); }
  void FlushBuffers() {}
  // A spin-up pass starts again at the start of the run: every rule's list does too, so each
  // pass applies the same records (as a run started from the state of the pass before would).
  void RewindLists();
  void ReleaseMemory() override;
  int32_t RuleCount() const { return static_cast<int32_t>(rules_.size()); }

 private:
  friend class data_assimilation_grid_entity;
  friend class data_assimilation_reservoir_entity;
  void Construct();
  // Opens the list and moves to the first record at or after the start of the run.
  void StartList(AssimilationList& list, AssimilationRecord& record, bool& valid,
                 const std::string& name, bool bafu, bool grid, const std::string& what);

  // The extent of the basin's cells (m): west, east, south, north, over all processes.
  void FindBasinExtent();

  std::vector<std::unique_ptr<data_assimilation_entity>> rules_;
  std::array<double, 4> basin_extent_{};
  std::vector<SP_class*> reservoirs_;
  const int64_t* lake_cells_ = nullptr;
  std::function<void()> scatter_;
  SnowSurveyTake snow_survey_;
  int ponding_index_ = 0;
  int lake_codes_index_ = 0;
  ModelDate start_;
};

}  // namespace velorn
