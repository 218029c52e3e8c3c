// Test fixture for sub-models: a captured diagnostics stream, a grid registry, a small zone
// table of one zone covering a rows x cols grid, and a SubModelSetup pointing at them with the
// compiled control file "run.ctl.$$$" in the fixture's directory.
//
// Used by the tests of the sub-model base and of every sub-model: write the section with
// WriteControlFile, adjust setup_ where a test needs other values, construct the model.
#pragma once

#include <string>
#include <vector>

#include "core/grid_registry.h"
#include "core/submodel_setup.h"
#include "core/zone_types.h"
#include "tests/support/test_helpers.h"

namespace velorn::test {

class SubModelTest : public DiagTest {
 protected:
  explicit SubModelTest(int rows = 3, int cols = 4) : column_ranges_(rows + 1) {
    for (int r = 1; r <= rows; ++r) column_ranges_[r] = ColumnRange{1, cols};
    zone_table_[0] = ZoneRecord{{0, 0, 1.0, 1.0, 0}};
    zone_table_[1] = ZoneRecord{{1.0 * rows * cols, 1.0 * rows * cols, 1, 1.0, 1.0 * rows * cols}};
    setup_.diag = &diag_;
    setup_.control_file_name = dir_ / "run.ctl.$$$";
    setup_.registry = &registry_;
    setup_.zone_code_index = zone_code_index_.data();
    setup_.zone_table = zone_table_.data();
    setup_.column_ranges = column_ranges_.data();
    setup_.zone_count = 1;
    setup_.highest_zone_code = 1;
    setup_.ncols = cols;
    setup_.nrows = rows;
    setup_.first_local_row = 1;
    setup_.last_local_row = rows;
    setup_.cellsize = 1000;
    setup_.nodata = -9999;
    setup_.end_date = ModelDate{2001, 12, 31, 24};
  }

  void WriteControlFile(const std::string& text) { WriteFile(setup_.control_file_name, text); }

  GridRegistry registry_;
  std::vector<int32_t> zone_code_index_{0, 1};
  std::vector<ZoneRecord> zone_table_ = std::vector<ZoneRecord>(2);
  std::vector<ColumnRange> column_ranges_;
  SubModelSetup setup_;
};

}  // namespace velorn::test
