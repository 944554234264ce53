// Shared test helper: every process-wide record of the player back at its
// start value, so that no test leaks state into the next.
#pragma once

#include <gtest/gtest.h>

// Releases the song, forgets the ports (without closing them: a test may
// have planted fake descriptors), clears the settings and option bits and
// puts the player state back to idle. The text converter is left open.
void reset_process_state();

// A fixture that starts and ends every test with fresh process state.
class FreshStateTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_process_state(); }
  void TearDown() override { reset_process_state(); }
};
