// Incremental images written through the burn pipeline: the patch engine fills the chunks,
// the writer writes and reads them back; a failure on either side ends the patch with no
// thread left, and a whole run leaves the proof of every byte of the new image.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>
#include <span>
#include <string>

#include "burn_modes.h"
#include "burn_pipeline.h"
#include "hdiff.h"
#include "image_diff.h"
#include "loop_device.h"
#include "test_support.h"
#include "unique_fd.h"

namespace {

using ota::ReadBackProof;
using ota_test::final_hex;
using ota_test::LoopDevice;
using ota_test::md5_hex;

// A new image of two and a half chunks, carried whole by a deflated patch from an empty old
// image (so the patch is quick to make and its body decodes as new is produced).
struct Fixture {
  std::string new_bytes = ota_test::make_image_bytes(ota::kBurnSlotSize * 9 / 4, 31);
  std::string patch;
  Fixture() {
    auto made = ota::hdiff::make_patch(
        {}, std::span(reinterpret_cast<const uint8_t*>(new_bytes.data()), new_bytes.size()),
        {ota::hdiff::Compression::kZlib});
    if (made) {
      patch.assign(made->begin(), made->end());
    }
  }
};

const Fixture& fixture() {
  static const Fixture f;
  return f;
}

// Makes a block device refuse writes through descriptors already open, for as long as the
// object lives: the flag outlives the loop device's binding, so it is always cleared.
class ReadOnly {
 public:
  explicit ReadOnly(const std::string& path) : fd_(ota::open_fd(path.c_str(), O_RDONLY)) {
    int on = 1;
    set_ = fd_ && ioctl(fd_.get(), BLKROSET, &on) == 0;
  }
  ~ReadOnly() {
    int off = 0;
    if (set_) {
      (void)ioctl(fd_.get(), BLKROSET, &off);
    }
  }
  ReadOnly(const ReadOnly&) = delete;
  ReadOnly& operator=(const ReadOnly&) = delete;
  [[nodiscard]] bool set() const { return set_; }

 private:
  ota::UniqueFd fd_;
  bool set_ = false;
};

class BurnPipelinePatch : public ota_test::BurnModeTest {
 protected:
  void SetUp() override {
    ASSERT_FALSE(fixture().patch.empty()) << "the test patch could not be made";
    BurnModeTest::SetUp();
    ota_test::write_file(dir_.file("target.img"), std::string(3 * ota::kBurnSlotSize, '\x5a'));
  }
  bool patch_with(const std::string& patch, const LoopDevice& target, ReadBackProof* proof) {
    ota_test::write_file(dir_.file("p.hdiff"), patch);
    return ota_patch_through_pipeline("", dir_.file("p.hdiff").c_str(), target.path().c_str(),
                                      proof);
  }
  ota_test::TempDir dir_;
};

// The new image lands at the head of the target and every byte of it is read back.
TEST_P(BurnPipelinePatch, WritesAndProvesTheNewImage) {
  const LoopDevice target(dir_.file("target.img"));
  ReadBackProof proof;
  ASSERT_TRUE(patch_with(fixture().patch, target, &proof));
  const std::string& want = fixture().new_bytes;
  EXPECT_EQ(want.size(), proof.hashed);
  EXPECT_EQ(md5_hex(want), final_hex(proof.ctx));
  EXPECT_TRUE(ota_test::read_file(target.path()).substr(0, want.size()) == want);
}

// A patch whose body breaks after chunks were handed over fails, abandoning the queue;
// the proof never passes what was written.
TEST_P(BurnPipelinePatch, CorruptPatchStopsTheBurn) {
  const LoopDevice target(dir_.file("target.img"));
  std::string patch = fixture().patch;
  for (size_t i = patch.size() * 9 / 10; i < patch.size() * 9 / 10 + 64; ++i) {
    patch[i] = static_cast<char>(patch[i] ^ 0x5a);
  }
  ReadBackProof proof;
  EXPECT_FALSE(patch_with(patch, target, &proof));
  EXPECT_TRUE(ota_test::log_contains("patching (empty) with"));
  EXPECT_LT(proof.hashed, fixture().new_bytes.size());
}

// A device that refuses writes (read-only once opened) fails the patch on the writer's
// error, reported by the engine's own message.
TEST_P(BurnPipelinePatch, WriteErrorStopsThePatch) {
  const LoopDevice target(dir_.file("target.img"));
  const ReadOnly ro(target.path());
  ASSERT_TRUE(ro.set());
  ReadBackProof proof;
  EXPECT_FALSE(patch_with(fixture().patch, target, &proof));
  EXPECT_TRUE(ota_test::log_contains(std::strerror(EPERM)));
  EXPECT_EQ(0u, proof.hashed);
  EXPECT_EQ(std::string(3 * ota::kBurnSlotSize, '\x5a'), ota_test::read_file(target.path()));
}

INSTANTIATE_TEST_SUITE_P(Modes, BurnPipelinePatch, ::testing::Bool(), ota_test::burn_mode_name);

}  // namespace
