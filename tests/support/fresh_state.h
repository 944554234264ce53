// Shared test helper: every test starts and ends with every process-wide
// record of the player back at its start value (see app/process_state.h).
#pragma once

#include <gtest/gtest.h>

#include "app/process_state.h"

// A fixture that starts and ends every test with fresh process state.
class FreshStateTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_process_state(); }
  void TearDown() override { reset_process_state(); }
};
