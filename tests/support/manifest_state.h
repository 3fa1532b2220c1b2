// A test whose manifest state (the parsed manifest and the board-secure flag parsing sets)
// starts and ends at its initial values. A suite of a higher module widens reset() to
// that module's state.
#pragma once

#include <gtest/gtest.h>

#include "device_io.h"
#include "manifest.h"
#include "test_support.h"

class ManifestStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset();
    ota_test::clear_log_records();
  }
  void TearDown() override { reset(); }
  virtual void reset() {
    manifest_reset_state();
    device_io_reset_state();
  }
};
