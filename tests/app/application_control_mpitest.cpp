// The control state over several processes: a state set on one process alone reaches every
// process, and the answer given at the menu of process 0 becomes every process's state.
#include <gtest/gtest.h>

#include <sstream>

#include "app/application_control.h"
#include "core/signals.h"
#include "tests/support/test_helpers.h"

namespace velorn::test {
namespace {

class ControlPoll : public ::testing::Test {
 protected:
  void SetUp() override { RegisterCurrentApplication(); }
  void TearDown() override { ClearCurrentApplication(); }
  CapturedDiag captured_;
};

TEST_F(ControlPoll, StateOfTheLastProcessAloneReachesAll) {
  struct Case {
    int state_on_last;   // set on the last process only
    const char* answer;  // typed at process 0's menu
    int expected;
  };
  const Case cases[] = {
      {kStateFinish, "1", kStateFinish},        // finish
      {kStateFinish, "3", kStateFlushAndGoOn},  // flush and go on
      {kStateFinish, "x", kStateRunOn},         // no number: go on
      {kStateFinish, "", kStateRunOn},          // no console input: go on
      {kStateFinishSetUp, "1", kStateRunOn},    // a finish set up earlier is cleared
      {kStateFlushAndGoOn, "1", kStateRunOn},   // only state 1 asks the user
  };
  for (const Case& c : cases) {
    SetControlState(Rank() == Size() - 1 ? c.state_on_last : 0);
    std::istringstream console(c.answer);
    EXPECT_EQ(PollControlState(captured_.diag, &console), c.expected) << c.answer;
    EXPECT_EQ(ControlState(), c.expected);
  }
  if (Rank() == 0) {
    EXPECT_TRUE(captured_.ScreenHas("Ctrl-C: cancel the model?"));
  }
}

TEST_F(ControlPoll, CombinedStateIsTheGreatest) {
  SetControlState(Rank() == Size() - 1 ? kStateStopWithoutSaving : kStateRunOn);
  EXPECT_EQ(CombineControlState(ControlState()), kStateStopWithoutSaving);
}

}  // namespace
}  // namespace velorn::test
