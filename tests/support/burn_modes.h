// Shared by the tests of the overlapped burn (device, archive and worker suites): a case run
// once with the writer thread and once with every stage on the caller's thread, that ends
// with no thread left, and the MD5 digests its proofs are compared with. Header-only: the
// suites that include it link ota_device (md5), the others need not.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "burn_pipeline.h"
#include "md5.h"
#include "test_support.h"

namespace ota_test {

// Burn writer threads of this process, found by their name. Counting every thread would
// also count the helpers a sanitizer or an emulator (qemu-user) starts and ends on its own.
inline size_t burn_threads() {
  size_t n = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    if (std::getline(comm, name) && name == ota::kBurnThreadName) {
      ++n;
    }
  }
  return n;
}

// Lower-case hex of a digest that a copy of ctx finishes; ctx itself is left as it was.
inline std::string final_hex(MD5_CTX ctx) {
  unsigned char digest[16];
  MD5Final(digest, &ctx);
  char out[33] = {};
  for (int i = 0; i < 16; ++i) {
    std::snprintf(out + 2 * i, 3, "%02x", digest[i]);
  }
  return out;
}

inline std::string md5_hex(const std::string& data) {
  MD5_CTX ctx;
  MD5Init(&ctx);
  MD5Update(&ctx, reinterpret_cast<const unsigned char*>(data.data()),
            static_cast<unsigned int>(data.size()));
  return final_hex(ctx);
}

// The parameter is true for one-thread mode (OTA_BURN_THREADS=1). A derived SetUp calls
// this one first; whatever the outcome, the burn is over when its pipeline is, so no case
// may leave a thread behind.
class BurnModeTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam()) {
      ASSERT_EQ(0, setenv("OTA_BURN_THREADS", "1", 1));
    } else {
      ASSERT_EQ(0, unsetenv("OTA_BURN_THREADS"));
    }
    ASSERT_EQ(0u, burn_threads());
    clear_log_records();
  }
  void TearDown() override {
    (void)unsetenv("OTA_BURN_THREADS");
    EXPECT_EQ(0u, burn_threads());
  }
};

// Names the two instances of a BurnModeTest in test names.
inline std::string burn_mode_name(const ::testing::TestParamInfo<bool>& info) {
  return info.param ? "OneThread" : "TwoThreads";
}

}  // namespace ota_test
