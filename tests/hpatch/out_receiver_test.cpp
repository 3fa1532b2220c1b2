// The new image handed to a receiver instead of written by the engine: the receiver gets
// the opened target first, then every byte of new in order, then the request to make it
// durable; a refusal at any step fails the patch with the engine's own message.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "hpatch.h"
#include "hpatch_test_util.h"
#include "loop_device.h"
#include "unique_fd.h"

namespace {

using hpatch_test::kVectorDir;
using ota_test::LoopDevice;
using ota_test::read_file;
using ota_test::write_file;

// Collects what the engine hands over; refuses the write numbered fail_write (from 1),
// or the finish, with the errno given.
struct Receiver {
  int fd = -1;
  std::string got;
  int writes = 0;
  int fail_write = 0;
  bool fail_finish = false;
  bool finished = false;
  int err = EIO;

  hpatch_out out() { return hpatch_out{this, &begin, &write, &finish}; }
  static Receiver& self(void* ctx) { return *static_cast<Receiver*>(ctx); }
  static int begin(void* ctx, int fd) {
    self(ctx).fd = fd;
    return 0;
  }
  static int write(void* ctx, const void* data, size_t len) {
    Receiver& r = self(ctx);
    if (++r.writes == r.fail_write) {
      errno = r.err;
      return -1;
    }
    r.got.append(static_cast<const char*>(data), len);
    return 0;
  }
  static int finish(void* ctx) {
    Receiver& r = self(ctx);
    if (r.fail_finish) {
      errno = r.err;
      return -1;
    }
    r.finished = true;
    return 0;
  }
};

class HpatchOut : public ::testing::Test {
 protected:
  void SetUp() override {
    pair_ = kVectorDir + "/dense-1m";
    new_bytes_ = read_file(pair_ + "/new.bin");
    write_file(tmp_.file("target.img"), std::string(2u << 20, '\x5A'));
    ota_test::clear_log_records();
  }
  int patch(Receiver& r, const LoopDevice& target) {
    const hpatch_out out = r.out();
    // A 64 KiB budget hands new over in many pieces.
    return hpatchz_out((pair_ + "/old.bin").c_str(), (pair_ + "/default.hdiff").c_str(),
                       target.path().c_str(), 64u << 10, &out);
  }
  ota_test::TempDir tmp_;
  std::string pair_;
  std::string new_bytes_;
};

// Every byte of new reaches the receiver in order, after the target was handed over and
// before it is asked to make them durable; the engine itself writes nothing.
TEST_F(HpatchOut, ReceiverGetsAllOfNew) {
  const LoopDevice target(tmp_.file("target.img"));
  Receiver r;
  ASSERT_EQ(0, patch(r, target));
  EXPECT_GE(r.fd, 0);
  EXPECT_GT(r.writes, 1);
  EXPECT_TRUE(r.got == new_bytes_);
  EXPECT_TRUE(r.finished);
  EXPECT_EQ(std::string(2u << 20, '\x5A'), read_file(target.path()));
}

// A refused piece or a refused finish fails the patch, naming the receiver's reason.
TEST_F(HpatchOut, RefusalsFailThePatch) {
  const LoopDevice target(tmp_.file("target.img"));
  Receiver refuses_piece;
  refuses_piece.fail_write = 3;
  refuses_piece.err = ENOSPC;
  EXPECT_NE(0, patch(refuses_piece, target));
  EXPECT_TRUE(ota_test::log_contains("writing the new image at"));
  EXPECT_TRUE(ota_test::log_contains(std::strerror(ENOSPC)));
  EXPECT_EQ(3, refuses_piece.writes);
  EXPECT_FALSE(refuses_piece.finished);

  ota_test::clear_log_records();
  Receiver refuses_finish;
  refuses_finish.fail_finish = true;
  EXPECT_NE(0, patch(refuses_finish, target));
  EXPECT_TRUE(ota_test::log_contains("sync " + target.path() + " failed"));
}

// Only a block device can be handed over: a file target would need cutting to size.
TEST_F(HpatchOut, FileTargetIsRefused) {
  Receiver r;
  const hpatch_out out = r.out();
  EXPECT_NE(0, hpatchz_out((pair_ + "/old.bin").c_str(), (pair_ + "/default.hdiff").c_str(),
                           tmp_.file("target.img").c_str(), 0, &out));
  EXPECT_TRUE(ota_test::log_contains("is not a block device"));
  EXPECT_EQ(-1, r.fd);
  EXPECT_EQ(0, r.writes);
}

}  // namespace
