#include "burn_fixture.h"

#include <filesystem>

#include "board_io.h"
#include "device_io.h"
#include "kx_zip.h"
#include "manifest.h"
#include "pack_description.h"
#include "package_paths.h"
#include "packager.h"
#include "partition_sequence.h"
#include "progress.h"
#include "up_partition.h"
#include "worker_state.h"

namespace burn_test {

std::string read_head(const std::string& path, size_t len) {
  const std::vector<uint8_t> bytes = board_io::read_dev(path, 0, len);
  return {bytes.begin(), bytes.end()};
}

void write_head(const std::string& path, const std::string& data) {
  board_io::write_dev(path, 0, {data.begin(), data.end()});
}

std::string md5_head(const std::string& path, size_t len) {
  ota_test::TempDir tmp;
  ota_test::write_file(tmp.file("head"), read_head(path, len));
  return ota_test::md5sum_of(tmp.file("head"));
}

bool param_mount_left() {
  const std::string prefix = std::string(OTA_PARAM_MOUNT_PARENT) + "/" + OTA_PARAM_MOUNT_PREFIX;
  if (ota_test::read_file("/proc/mounts").find(" " + prefix) != std::string::npos) {
    return true;
  }
  for (const auto& entry : std::filesystem::directory_iterator(OTA_PARAM_MOUNT_PARENT)) {
    if (entry.path().string().starts_with(prefix)) {
      return true;
    }
  }
  return false;
}

void BurnTest::SetUp() {
  ASSERT_NE(std::getenv("VBOARD_DIR"), nullptr);
  ota_worker_reset_state();
  ota_test::clear_log_records();
}

void BurnTest::TearDown() { ota_worker_reset_state(); }

void BurnTest::pack_and_parse(const std::string& description) {
  package_name_ =
      description.find("format tar") != std::string::npos ? "package.tar" : "package.zip";
  auto d = ota::pack::parse_description(description, dir_.path());
  ASSERT_TRUE(d.ok()) << d.error().message();
  auto r = ota::pack::make_package(d.value(), package());
  ASSERT_TRUE(r.ok()) << r.error().message();
  ASSERT_EQ(kx_uncompress_one(package().c_str(), unzip(), "data.json"), 0);
  std::string json = unzip_.file("data.json");
  ASSERT_EQ(ota_parse_config_file(json.data()), 0);
}

std::vector<std::string> BurnTest::updated_names() {
  std::vector<std::string> names;
  const update_part_t* parts = get_update_part();
  for (uint32_t i = 0; i < parts->num; ++i) {
    names.emplace_back(parts->array[i]);
  }
  return names;
}

}  // namespace burn_test
