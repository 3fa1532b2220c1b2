// The copy of an untouched A/B partition overlapped with its proof: the source hashed from
// the copy's own read, the destination read back behind the write, and the comparison
// failing exactly where the copy-then-hash did. Every case ends with no thread left.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "burn_modes.h"
#include "burn_pipeline.h"
#include "loop_device.h"
#include "md5.h"
#include "partition_md5.h"
#include "slot_copy.h"
#include "test_support.h"

namespace {

using ota::CopyProof;
using ota::kBurnSlotSize;
using ota_test::final_hex;
using ota_test::LoopDevice;
using ota_test::md5_hex;

// Each case with the writer thread and with every stage on the caller's thread.
class BurnPipelineCopy : public ota_test::BurnModeTest {
 protected:
  // A loop device over a new backing file holding content.
  LoopDevice device(const std::string& name, const std::string& content) {
    const std::string backing = dir_.file(name);
    ota_test::write_file(backing, content);
    return LoopDevice(backing);
  }

  ota_test::TempDir dir_;
};

// Both digests come out of the copy itself: the source's over every byte read, the
// destination's read back over every byte written, and the check agrees with the
// copy-then-hash comparison.
TEST_P(BurnPipelineCopy, CopiesAndProvesBothSides) {
  const std::string a_bytes = ota_test::make_image_bytes(3 * kBurnSlotSize + 8192, 21);
  const LoopDevice a = device("a", a_bytes);
  const LoopDevice b = device("b", std::string(a_bytes.size(), '\x5a'));
  CopyProof proof;
  ASSERT_EQ(0, copy_part_proven(a.path().c_str(), b.path().c_str(), &proof));
  EXPECT_EQ(a_bytes.size(), proof.source_bytes);
  EXPECT_EQ(md5_hex(a_bytes), final_hex(proof.source));
  EXPECT_EQ(a_bytes.size(), proof.dest.hashed);
  EXPECT_EQ(md5_hex(a_bytes), final_hex(proof.dest.ctx));
  EXPECT_EQ(a_bytes, ota_test::read_file(b.path()));
  EXPECT_EQ(0, ota_check_copied_partition_md5(a.path().c_str(), b.path().c_str(), proof));
  EXPECT_EQ(0, ota_check_two_partition_md5(a.path().c_str(), b.path().c_str(), 0));
}

// A destination larger than its source is copied, but its own whole size is hashed: the
// bytes past the copy make the digests differ, as they always did.
TEST_P(BurnPipelineCopy, LargerDestinationIsNotEqual) {
  const std::string a_bytes = ota_test::make_image_bytes(kBurnSlotSize + 4096, 22);
  const LoopDevice a = device("a", a_bytes);
  const LoopDevice b = device("b", std::string(a_bytes.size() + 65536, '\x11'));
  CopyProof proof;
  ASSERT_EQ(0, copy_part_proven(a.path().c_str(), b.path().c_str(), &proof));
  EXPECT_EQ(-1, ota_check_copied_partition_md5(a.path().c_str(), b.path().c_str(), proof));
  EXPECT_TRUE(ota_test::log_contains("md5 not equal"));
  EXPECT_EQ(-1, ota_check_two_partition_md5(a.path().c_str(), b.path().c_str(), 0));
}

// A destination that ends before the source fails the copy on the write, and the
// copy's thread is gone when it returns.
TEST_P(BurnPipelineCopy, ShortDestinationFailsTheCopy) {
  const std::string a_bytes = ota_test::make_image_bytes(5 * kBurnSlotSize, 23);
  const LoopDevice a = device("a", a_bytes);
  const LoopDevice b = device("b", std::string(kBurnSlotSize + 65536, '\0'));
  CopyProof proof;
  EXPECT_EQ(-1, copy_part_proven(a.path().c_str(), b.path().c_str(), &proof));
  EXPECT_TRUE(ota_test::log_contains("write " + b.path() + " image error"));
  EXPECT_LT(proof.dest.hashed, a_bytes.size());
}

// A source that cannot be read fails the copy with the read's message; one that cannot
// be opened, with the open's. Nothing is written to the destination.
TEST_P(BurnPipelineCopy, UnreadableSourceFailsTheCopy) {
  const LoopDevice b = device("b", std::string(kBurnSlotSize, '\x33'));
  const std::string unreadable = dir_.file("a_dir");
  ASSERT_EQ(0, ::mkdir(unreadable.c_str(), 0755));
  CopyProof proof;
  EXPECT_EQ(-1, copy_part_proven(unreadable.c_str(), b.path().c_str(), &proof));
  EXPECT_TRUE(ota_test::log_contains("read " + unreadable + " image error"));
  const std::string missing = dir_.file("absent");
  EXPECT_EQ(-1, copy_part_proven(missing.c_str(), b.path().c_str(), &proof));
  EXPECT_TRUE(ota_test::log_contains("open file: " + missing + " failed"));
  EXPECT_EQ(std::string(kBurnSlotSize, '\x33'), ota_test::read_file(b.path()));
}

INSTANTIATE_TEST_SUITE_P(Modes, BurnPipelineCopy, ::testing::Bool(), ota_test::burn_mode_name);

// The check goes on from wherever the destination's read-back stopped and reads the rest
// from the medium: a change there is caught, and a read-back of other bytes than the
// source's fails although the device itself now matches.
TEST(BurnPipelineCopyCheck, GoesOnFromTheReadBack) {
  ota_test::TempDir dir;
  const std::string content = ota_test::make_image_bytes(3 * 1048576 + 100, 24);
  const std::string a = dir.file("a");
  const std::string b = dir.file("b");
  ota_test::write_file(a, content);
  ota_test::write_file(b, content);
  for (const uint64_t hashed : {uint64_t{0}, uint64_t{1048576}, uint64_t{content.size()}}) {
    SCOPED_TRACE(hashed);
    CopyProof proof;
    MD5Update(&proof.source, reinterpret_cast<const unsigned char*>(content.data()),
              static_cast<unsigned int>(content.size()));
    proof.source_bytes = content.size();
    MD5Update(&proof.dest.ctx, reinterpret_cast<const unsigned char*>(content.data()),
              static_cast<unsigned int>(hashed));
    proof.dest.hashed = hashed;
    EXPECT_EQ(0, ota_check_copied_partition_md5(a.c_str(), b.c_str(), proof));
    // A byte past the read-back changes on the medium.
    std::string changed = content;
    changed[content.size() - 1] ^= 0x40;
    ota_test::write_file(b, changed);
    EXPECT_EQ(hashed == content.size() ? 0 : -1,
              ota_check_copied_partition_md5(a.c_str(), b.c_str(), proof));
    ota_test::write_file(b, content);
  }
  CopyProof stale;
  MD5Update(&stale.source, reinterpret_cast<const unsigned char*>(content.data()),
            static_cast<unsigned int>(content.size()));
  const std::string other = ota_test::make_image_bytes(1048576, 25);
  MD5Update(&stale.dest.ctx, reinterpret_cast<const unsigned char*>(other.data()), 1048576);
  stale.dest.hashed = 1048576;
  ota_test::clear_log_records();
  EXPECT_EQ(-1, ota_check_copied_partition_md5(a.c_str(), b.c_str(), stale));
  EXPECT_TRUE(ota_test::log_contains("dev:" + a + " md5 not equal dev:" + b));
  EXPECT_EQ(-1, ota_check_copied_partition_md5(a.c_str(), dir.file("gone").c_str(), stale));
  EXPECT_TRUE(ota_test::log_contains("md5 " + dir.file("gone") + " fail"));
}

}  // namespace
