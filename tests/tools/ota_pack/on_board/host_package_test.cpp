// A package made by the ota_pack program, carrying this build's worker, against the same
// description packed in process by this build's packer. In the aarch64 tree ota_pack is
// the host's program and everything else aarch64 code, so equal bytes mean the two
// architectures agree on every digest, scope, layout record, patch and compressed member;
// the host-made package must then update the board through ota_tool, the client library
// launching the worker it carries.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "worker_run.h"

namespace {

using namespace worker_run;

constexpr size_t kBootSize = 200000;
constexpr size_t kSystemSize = 3000000;

int exit_status(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

// `prog args...` with its output in log; its exit status.
int run_logged(const std::string& command, const std::string& log) {
  return exit_status(std::system((command + " >'" + log + "' 2>&1").c_str()));
}

class HostPackage : public OnBoard, public ::testing::WithParamInterface<const char*> {};

TEST_P(HostPackage, SameBytesAsTheBoardsPackerAndUpdatesTheBoard) {
  const std::string format = GetParam();
  // Images of every byte value: a signed char in a digest, a varint or a checksum would
  // change the package or the proof of the written partitions.
  const std::string old_system = ota_test::make_image_bytes(kSystemSize, 31);
  board_io::write_dev(kByName + "system_a", 0,
                      std::vector<uint8_t>(old_system.begin(), old_system.end()));
  std::string system = old_system;
  for (size_t i = 0; i < system.size(); i += 4093) {
    system[i] = static_cast<char>(static_cast<unsigned char>(system[i]) ^ 0xa5);
  }
  const std::string boot = ota_test::make_image_bytes(kBootSize, 32);
  ota_test::write_file(dir_.file("system_old.img"), old_system);
  ota_test::write_file(dir_.file("system.img"), system);
  ota_test::write_file(dir_.file("boot.img"), boot);
  const std::string text = "format " + format +
                           "\nworker " OTA_PROCESS_EXE
                           "\nkey sys_version 2.1.0\npart boot boot.img\n"
                           "part system system.img method=image_diff old=system_old.img\n";
  const std::string desc = dir_.file("package.desc");
  ota_test::write_file(desc, text);

  const std::string host_pkg = "/userdata/all_in_one_host." + format;
  const std::string log = dir_.file("ota_pack.log");
  ASSERT_EQ(run_logged(std::string(OTA_PACK_EXE) + " '" + desc + "' '" + host_pkg + "'", log), 0)
      << ota_test::read_file(log);
  const std::string board_pkg = dir_.file("all_in_one_board." + format);
  pack(text, dir_.path(), board_pkg);
  EXPECT_EQ(ota_test::read_file(host_pkg).size(), ota_test::read_file(board_pkg).size());
  EXPECT_EQ(ota_test::md5sum_of(host_pkg), ota_test::md5sum_of(board_pkg))
      << "the package program and this build's packer made different packages";

  const std::string tool_log = dir_.file("ota_tool.log");
  ASSERT_EQ(run_logged(std::string(OTA_TOOL_EXE) + " update '" + host_pkg + "'", tool_log), 0)
      << ota_test::read_file(tool_log);
  EXPECT_EQ(device_head("boot_b", boot.size()), boot);
  EXPECT_EQ(device_head("system_b", system.size()), system);
}

INSTANTIATE_TEST_SUITE_P(Formats, HostPackage, ::testing::Values("zip", "tar"),
                         [](const auto& format) { return std::string(format.param); });

}  // namespace
