// The overlapped burn: chunks written in order on a second thread (or on the caller's in
// one-thread mode), the read-back proof of what reached the medium, the first failure
// stopping both sides, and no thread left once a burn is over.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "burn_modes.h"
#include "burn_pipeline.h"
#include "loop_device.h"
#include "md5.h"
#include "partition_md5.h"
#include "test_support.h"
#include "unique_fd.h"

namespace {

using ota::BurnPipeline;
using ota::kBurnSlotSize;
using ota::PipeFault;
using ota::ReadBackProof;
using ota_test::final_hex;
using ota_test::LoopDevice;
using ota_test::md5_hex;

// Runs each case once with the writer thread and once with every stage on the caller's.
class BurnPipelineTest : public ota_test::BurnModeTest {
 protected:
  // Pushes data in slot-sized chunks; the index of the first refused push, or -1.
  static int feed(BurnPipeline& pipe, const std::string& data, uint64_t* progress) {
    int index = 0;
    for (size_t at = 0; at < data.size(); at += kBurnSlotSize, ++index) {
      const size_t len = std::min(kBurnSlotSize, data.size() - at);
      uint8_t* buf = pipe.slot();
      if (buf == nullptr) {
        return index;
      }
      std::memcpy(buf, data.data() + at, len);
      if (!pipe.push(len)) {
        return index;
      }
      *progress += pipe.take_written();
    }
    return -1;
  }

  ota_test::TempDir dir_;
};

// Every chunk lands in order, progress adds up to the bytes written, and the proof holds
// the digest of every byte, read back from the device.
TEST_P(BurnPipelineTest, WritesAndProvesEveryChunk) {
  const std::string backing = dir_.file("disk");
  const std::string data = ota_test::make_image_bytes(3 * kBurnSlotSize + 4097, 5);
  ota_test::write_file(backing, std::string(4 * kBurnSlotSize, '\0'));
  const LoopDevice loop(backing);
  const ota::UniqueFd fd = ota::open_fd(loop.path().c_str(), O_WRONLY);
  ASSERT_TRUE(fd);
  ReadBackProof proof;
  uint64_t progress = 0;
  {
    BurnPipeline pipe(fd.get(), loop.path().c_str(), &proof);
    ASSERT_TRUE(pipe.ready());
    ASSERT_EQ(-1, feed(pipe, data, &progress));
    ASSERT_TRUE(pipe.finish());
    progress += pipe.take_written();
  }
  EXPECT_EQ(data.size(), progress);
  EXPECT_EQ(data.size(), proof.hashed);
  EXPECT_EQ(md5_hex(data), final_hex(proof.ctx));
  EXPECT_EQ(data, ota_test::read_file(loop.path()).substr(0, data.size()));
}

// A device that ends before the image fails the burn on the write, with its reason, and
// no later chunk is taken.
TEST_P(BurnPipelineTest, ShortDeviceFailsTheWrite) {
  const std::string backing = dir_.file("disk");
  ota_test::write_file(backing, std::string(kBurnSlotSize + 65536, '\0'));
  const LoopDevice loop(backing);
  const ota::UniqueFd fd = ota::open_fd(loop.path().c_str(), O_WRONLY);
  ASSERT_TRUE(fd);
  const std::string data = ota_test::make_image_bytes(6 * kBurnSlotSize, 6);
  ReadBackProof proof;
  uint64_t progress = 0;
  BurnPipeline pipe(fd.get(), loop.path().c_str(), &proof);
  ASSERT_TRUE(pipe.ready());
  const int refused = feed(pipe, data, &progress);
  EXPECT_FALSE(pipe.finish());
  EXPECT_EQ(PipeFault::write, pipe.fault());
  EXPECT_EQ(ENOSPC, pipe.error());
  // The writer stops at its first failure; the feeder learns of it within a ring's worth.
  EXPECT_NE(-1, refused);
  EXPECT_LE(refused, 1 + static_cast<int>(ota::kBurnRingSlots) + 1);
  EXPECT_LE(progress + pipe.take_written(), kBurnSlotSize);
}

// A write error in the device layer stops the burn the same way, whichever chunk hits it.
TEST_P(BurnPipelineTest, WriteErrorStopsTheBurn) {
  const ota::UniqueFd fd = ota::open_fd("/dev/full", O_WRONLY);
  ASSERT_TRUE(fd);
  uint64_t progress = 0;
  BurnPipeline pipe(fd.get(), "/dev/full", nullptr);
  ASSERT_TRUE(pipe.ready());
  // The writer runs only in two-thread mode, and under its name: the check that no case
  // leaves a burn thread behind looks for that name.
  EXPECT_EQ(GetParam() ? 0u : 1u, ota_test::burn_threads());
  const int refused = feed(pipe, std::string(5 * kBurnSlotSize, 'x'), &progress);
  EXPECT_FALSE(pipe.finish());
  EXPECT_EQ(PipeFault::write, pipe.fault());
  EXPECT_EQ(ENOSPC, pipe.error());
  EXPECT_NE(-1, refused);
  EXPECT_EQ(0u, progress + pipe.take_written());
}

INSTANTIATE_TEST_SUITE_P(Modes, BurnPipelineTest, ::testing::Bool(), ota_test::burn_mode_name);

// The final comparison goes on from wherever the read-back stopped, over the rest of the
// scope, bytes past the image included; a digest that differs fails with its message.
TEST(BurnPipelineVerify, ComparesTheWholeScopeFromTheProof) {
  ota_test::TempDir dir;
  const std::string dev = dir.file("dev");
  const std::string content = ota_test::make_image_bytes(3 * 1048576 + 100, 8);
  ota_test::write_file(dev, content);
  const uint64_t scope = content.size() - 50;
  const std::string expect = md5_hex(content.substr(0, scope));
  for (const uint64_t hashed : {uint64_t{0}, uint64_t{1048576}, uint64_t{2 * 1048576 + 7}, scope}) {
    SCOPED_TRACE(hashed);
    ReadBackProof proof;
    MD5Update(&proof.ctx, reinterpret_cast<const unsigned char*>(content.data()),
              static_cast<unsigned int>(hashed));
    proof.hashed = hashed;
    EXPECT_EQ(0,
              verify_image_checksum_after_read_back(expect.c_str(), scope, dev.c_str(), 0, proof));
    ota_test::clear_log_records();
    EXPECT_EQ(-1, verify_image_checksum_after_read_back(md5_hex("other").c_str(), scope,
                                                        dev.c_str(), 0, proof));
    EXPECT_TRUE(ota_test::log_contains("MD5 check fail!"));
  }
  // A proof of bytes that differ from the device (what a write that did not take would
  // leave) fails although the device's own bytes match the expected digest.
  ReadBackProof stale;
  const std::string other = ota_test::make_image_bytes(1048576, 9);
  MD5Update(&stale.ctx, reinterpret_cast<const unsigned char*>(other.data()), 1048576);
  stale.hashed = 1048576;
  EXPECT_EQ(-1,
            verify_image_checksum_after_read_back(expect.c_str(), scope, dev.c_str(), 0, stale));
}

}  // namespace
