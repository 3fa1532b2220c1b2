// A test whose worker state (the parsed manifest and the board-secure flag among it)
// starts and ends at its initial values.
#pragma once

#include <gtest/gtest.h>

#include "device_io.h"
#include "manifest.h"
#include "test_support.h"
#include "worker_state.h"

class ManifestStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ota_worker_reset_state();
    ota_test::clear_log_records();
  }
  void TearDown() override { ota_worker_reset_state(); }
};
