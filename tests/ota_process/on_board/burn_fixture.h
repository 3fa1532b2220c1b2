// A board test fixture: packages made by ota_pack, the manifest parsed as the worker
// parses it, and helpers that read the board's devices.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace burn_test {

inline constexpr const char* kByName = "/dev/block/platform/by-name/";

inline std::string dev(const std::string& name) { return std::string(kByName) + name; }

// The first len bytes of a device.
std::string read_head(const std::string& path, size_t len);
// Writes data at the start of a device and makes it durable.
void write_head(const std::string& path, const std::string& data);
// Hex MD5 of the first len bytes of a device.
std::string md5_head(const std::string& path, size_t len);
// True when a parameter mount point ("/tmp/ota_param.XXXXXX") is mounted or still exists.
bool param_mount_left();

class BurnTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Packs the description into package.zip (package.tar when it says "format tar") and
  // parses its manifest from the unzip dir.
  void pack_and_parse(const std::string& description);
  [[nodiscard]] std::string package() const { return dir_.file(package_name_); }
  [[nodiscard]] const char* unzip() const { return unzip_.path().c_str(); }
  // Names of the updated-partition list, in order.
  [[nodiscard]] static std::vector<std::string> updated_names();

  ota_test::TempDir dir_;
  ota_test::TempDir unzip_;
  std::string package_name_ = "package.zip";
};

}  // namespace burn_test
