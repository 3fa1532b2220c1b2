// A test whose manifest and board-secure flag start and end at their defaults.
#pragma once

#include <gtest/gtest.h>

#include "device_io.h"
#include "manifest.h"
#include "test_support.h"

class ManifestStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    manifest_reset_state();
    device_io_reset_state();
    ota_test::clear_log_records();
  }
  void TearDown() override {
    manifest_reset_state();
    device_io_reset_state();
  }
};
