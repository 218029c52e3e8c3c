// Test fixture with a settings object: defaultini for control file "run.ctl" (variant 2) on a
// registry of its own, reporting to the captured diagnostics stream of DiagTest.
//
// Used by the tests of the settings readers in tests/setup/. SetUp fails the test when the
// construction reported an error code; a derived SetUp must call this one first.
#pragma once

#include <cstdint>

#include "core/grid_registry.h"
#include "setup/defaultini.h"
#include "tests/support/test_helpers.h"

namespace velorn::test {

class SettingsTest : public DiagTest {
 protected:
  void SetUp() override { ASSERT_EQ(error_, 0); }

  GridRegistry registry_;
  GridRegistry* registry_pointer_ = &registry_;
  int32_t error_ = -1;
  defaultini settings_{error_, &diag_, "run.ctl", nullptr, 200, 2, &registry_pointer_};
};

}  // namespace velorn::test
