// Patches that are foreign, cut short, damaged or aimed at the wrong old image are
// refused with a reason in the log, and never write past the new size; compressed
// streams as other writers make them still decode; the varint reader under them all.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>
#include <zstd.h>

#include <array>
#include <filesystem>
#include <string>
#include <vector>

#include "hpatch.h"
#include "hpatch_test_util.h"
#include "varint.h"
#include "varint_writer.h"

namespace {

using hpatch_test::kVectorDir;
using ota::hpatch::ByteCursor;
using ota::hpatch::Varint;
using ota::hpatch::VarintStatus;
using ota_test::log_contains;
using ota_test::read_file;
using ota_test::write_file;

std::string vector_file(const std::string& pair, const std::string& name) {
  return kVectorDir + "/" + pair + "/" + name;
}

struct RawStream {
  std::string bytes;
  uint64_t decoded_size = 0;  // for compressed streams; raw ones use bytes.size()
  bool compressed = false;
};

// An HDIFF13 patch put together by hand, for faults no real differ writes.
std::string hdiff13(const std::string& compressor, uint64_t new_size, uint64_t old_size,
                    uint64_t cover_count, const std::array<RawStream, 4>& streams) {
  std::vector<uint8_t> out;
  const std::string head = "HDIFF13&" + compressor;
  out.insert(out.end(), head.begin(), head.end());
  out.push_back(0);
  ota::hdiff::pack_varint(out, new_size);
  ota::hdiff::pack_varint(out, old_size);
  ota::hdiff::pack_varint(out, cover_count);
  for (const auto& s : streams) {
    ota::hdiff::pack_varint(out, s.compressed ? s.decoded_size : s.bytes.size());
    ota::hdiff::pack_varint(out, s.compressed ? s.bytes.size() : 0);
  }
  std::string patch(out.begin(), out.end());
  for (const auto& s : streams) {
    patch += s.bytes;
  }
  return patch;
}

std::string cover(uint64_t old_delta, bool back, uint64_t gap, uint64_t length) {
  std::vector<uint8_t> out;
  ota::hdiff::pack_varint(out, old_delta, back ? 1 : 0, 1);
  ota::hdiff::pack_varint(out, gap);
  ota::hdiff::pack_varint(out, length);
  return std::string(out.begin(), out.end());
}

// RLE ctrl: one run of n zero differences.
std::string zero_run(uint64_t n) {
  std::vector<uint8_t> out;
  ota::hdiff::pack_varint(out, n - 1, 0, 2);
  return std::string(out.begin(), out.end());
}

std::string raw_deflate(const std::string& data) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&z, data.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::string zstd_frame(const std::string& data) {
  std::string out(ZSTD_compressBound(data.size()), '\0');
  out.resize(ZSTD_compress(out.data(), out.size(), data.data(), data.size(), 3));
  return out;
}

// A new image made entirely from the literals stream, stored as `encoded`: several raw
// deflate members after one window-bits byte, or several zstd frames, decode as their
// concatenation at the smallest cache and a large one; a zlib stream whose first byte
// asks for a zlib or gzip wrapper is refused by name.
TEST(Decoders, ConcatenatedStreamsAndWrappedDeflate) {
  const std::string a = ota_test::make_image_bytes(300000, 1);
  const std::string b = ota_test::make_image_bytes(200000, 2);
  const struct {
    const char* compressor;
    std::string encoded;
    size_t size;
    const char* refusal;
  } rows[] = {
      {"pzlib", '\xF1' + raw_deflate(a) + raw_deflate(b), a.size() + b.size(), ""},
      {"zstd", zstd_frame(a) + zstd_frame(b), a.size() + b.size(), ""},
      {"zlib", '\x0F' + raw_deflate(a), a.size(), "zlib window bits 15 are not raw deflate"},
  };
  ota_test::TempDir tmp;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.compressor);
    write_file(tmp.file("patch"),
               hdiff13(row.compressor, row.size, 0, 0,
                       {{{}, {zero_run(row.size)}, {}, {row.encoded, row.size, true}}}));
    for (const size_t cache : {size_t{0}, size_t{16} << 20}) {
      ota_test::clear_log_records();
      const int rc = hpatchz("", tmp.file("patch").c_str(), tmp.file("new").c_str(), cache);
      if (row.refusal[0] != '\0') {
        EXPECT_NE(rc, 0);
        EXPECT_TRUE(log_contains(row.refusal));
      } else {
        ASSERT_EQ(rc, 0);
        EXPECT_TRUE(read_file(tmp.file("new")) == a + b);
      }
    }
  }
}

class Refusal : public ::testing::Test {
 protected:
  void SetUp() override {
    ota_test::clear_log_records();
    write_file(old_path_, std::string(16, 'o'));
  }

  // Applies patch bytes to the 16-byte old file; expects failure, a log line containing
  // reason, and no output file left behind.
  void expect_refused(const std::string& patch, const std::string& reason,
                      const std::string& old = "") {
    write_file(patch_path_, patch);
    EXPECT_NE(hpatchz(old.empty() ? old_path_.c_str() : old.c_str(), patch_path_.c_str(),
                      out_path_.c_str(), 0),
              0);
    EXPECT_TRUE(log_contains(reason)) << "no log line with: " << reason;
    EXPECT_FALSE(std::filesystem::exists(out_path_));
    ota_test::clear_log_records();
  }

  ota_test::TempDir tmp_;
  const std::string old_path_ = tmp_.file("old");
  const std::string patch_path_ = tmp_.file("patch");
  const std::string out_path_ = tmp_.file("new");
};

// Other formats are named in the refusal, the bsdiff vectors included.
TEST_F(Refusal, ForeignFormats) {
  expect_refused(read_file(vector_file("bin-1m", "bsd.hdiff")), "BSDIFF40");
  expect_refused(read_file(vector_file("bin-1m", "bsd-sd.hdiff")), "ENDSLEY/BSDIFF43");
  expect_refused(std::string("\xD6\xC3\xC4\x00\x05", 5), "VCDIFF");
  expect_refused("HDIFF19&&zlib\0", "directory patch");
  expect_refused("HDIFF14&\0\0\0\0", "\"HDIFF14&\" is not supported");
  expect_refused("PK\3\4 not a patch", "no known format magic");
  expect_refused("", "no known format magic");
}

// A compressor other than zlib, pzlib or zstd is refused even when no stream uses it.
TEST_F(Refusal, UnknownCompressor) {
  std::string patch = read_file(vector_file("tiny-text", "default.hdiff"));
  patch.replace(0, 9, std::string("HDIFF13&lzma\0", 13));
  expect_refused(patch, "compressor \"lzma\" is not supported",
                 vector_file("tiny-text", "old.bin"));
  expect_refused(hdiff13("bz2", 0, 16, 0, {}), "compressor \"bz2\" is not supported");
}

// Every prefix of small patches, and many of larger compressed ones, is refused. A
// flipped byte anywhere either is refused or still yields exactly newSize bytes; in the
// header's magic, compressor and sizes it is always refused.
TEST_F(Refusal, TruncatedOrFlippedPatches) {
  const struct {
    const char* pair;
    const char* patch;
    size_t step;    // of the prefix lengths tried; 0: none
    size_t header;  // bytes of header; 0: no flips tried
  } kCases[] = {
      {"tiny-text", "default.hdiff", 1, 20},   {"tiny-text", "sd.hdiff", 1, 19},
      {"bin-1m", "zlib.hdiff", 97, 30},        {"bin-1m", "sd-zstd.hdiff", 89, 0},
      {"dense-1m", "sd-4k-zlib.hdiff", 3, 0},  {"empty-old", "zstd.hdiff", 9973, 0},
      {"dense-1m", "sd-4k-zstd.hdiff", 0, 22},  // the step size is a limit, not a count
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.pair) + "/" + c.patch);
    const std::string patch = read_file(vector_file(c.pair, c.patch));
    const std::string old = vector_file(c.pair, "old.bin");
    for (size_t len = 0; c.step > 0 && len < patch.size(); len += c.step) {
      write_file(patch_path_, patch.substr(0, len));
      ASSERT_NE(hpatchz(old.c_str(), patch_path_.c_str(), out_path_.c_str(), 0), 0)
          << "cut to " << len;
      ASSERT_FALSE(std::filesystem::exists(out_path_));
    }
    const uint64_t new_size = std::filesystem::file_size(vector_file(c.pair, "new.bin"));
    for (size_t pos = 0; c.header > 0 && pos < patch.size(); pos += 1 + pos / 16) {
      std::string damaged = patch;
      damaged[pos] = static_cast<char>(damaged[pos] ^ 0x24);
      write_file(patch_path_, damaged);
      const int rc = hpatchz(old.c_str(), patch_path_.c_str(), out_path_.c_str(), 0);
      EXPECT_TRUE(rc != 0 || pos >= c.header) << "flipped at " << pos;
      if (rc == 0) {
        EXPECT_EQ(std::filesystem::file_size(out_path_), new_size) << "flipped at " << pos;
      } else {
        EXPECT_FALSE(std::filesystem::exists(out_path_)) << "flipped at " << pos;
      }
      std::filesystem::remove(out_path_);
    }
  }
}

// An old image of another size is refused before anything is written.
TEST_F(Refusal, WrongOldSize) {
  const std::string old = read_file(vector_file("tiny-text", "old.bin"));
  const std::string patch = read_file(vector_file("tiny-text", "default.hdiff"));
  write_file(tmp_.file("longer"), old + "x");
  expect_refused(patch, "is 189 bytes but the patch was made from 188 bytes", tmp_.file("longer"));
  write_file(tmp_.file("shorter"), old.substr(1));
  expect_refused(patch, "is 187 bytes but the patch was made from 188 bytes", tmp_.file("shorter"));
}

// Covers reaching outside old or new are refused before they are read, and streams must
// be used up exactly: extra covers, runs or literals are refused.
TEST_F(Refusal, CoversOutOfBoundsAndStreamsNotUsedUp) {
  const std::string whole = cover(0, false, 0, 8);
  const struct {
    std::string covers;
    uint64_t count;
    std::string ctrl;
    std::string literals;
    const char* reason;
  } rows[] = {
      {cover(10, false, 0, 8), 1, zero_run(8), "",
       "reads old [10, +8) beyond the old image of 16 bytes"},
      {cover(0, false, 4, 8), 1, zero_run(8), "abcd", "ends beyond the new image of 8 bytes"},
      {cover(1, true, 0, 8), 1, zero_run(8), "", "old position outside 64 bits"},
      // The same cover twice: the second overruns new.
      {whole + cover(8, true, 0, 8), 2, zero_run(8), "", "ends beyond the new image"},
      {whole, 1, zero_run(8), "x", "literals stream has 1 bytes left over"},
      {whole, 1, zero_run(8) + zero_run(1), "", "RLE ctrl stream has"},
      {whole, 1, zero_run(9), "", "RLE runs go on past the end"},
      {whole, 1, zero_run(4), "", "RLE ctrl stream is used up"},
      {"", 0, zero_run(8), "1234567", "literals stream is used up"},
  };
  for (const auto& r : rows) {
    expect_refused(hdiff13("", 8, 16, r.count, {{{r.covers}, {r.ctrl}, {}, {r.literals}}}),
                   r.reason);
  }
  expect_refused(hdiff13("", 8, 16, 1, {{{whole}, {zero_run(8)}, {}, {}}}) + "!",
                 "header declares");
}

// A compressed stream must decode to exactly its declared size.
TEST_F(Refusal, CompressedSizeMismatch) {
  const std::string literals = "0123456789abcdef0123456789abcdef";
  std::string frame(ZSTD_compressBound(literals.size()), '\0');
  frame.resize(ZSTD_compress(frame.data(), frame.size(), literals.data(), literals.size(), 3));
  const auto with_declared = [&](uint64_t size) {
    return hdiff13("zstd", size, 16, 0, {{{}, {zero_run(size)}, {}, {frame, size, true}}});
  };
  write_file(patch_path_, with_declared(literals.size()));
  ASSERT_EQ(hpatchz(old_path_.c_str(), patch_path_.c_str(), out_path_.c_str(), 0), 0);
  EXPECT_EQ(read_file(out_path_), literals);
  std::filesystem::remove(out_path_);
  expect_refused(with_declared(literals.size() + 1), "literals stream ends 1 bytes before");
  expect_refused(with_declared(literals.size() - 1), "decodes to more than its declared size");
  expect_refused(hdiff13("", 4, 16, 0, {{{}, {zero_run(4)}, {}, {"abc", 4, true}}}),
                 "names no compressor");
}

// HDIFFSF20: an empty cover before the last one, or a step over the step size, is refused.
TEST_F(Refusal, SingleStreamSteps) {
  const auto single = [](uint64_t new_size, uint64_t covers, uint64_t step_mem,
                         const std::string& body) {
    std::vector<uint8_t> out;
    const std::string head = std::string("HDIFFSF20&", 10) + '\0';
    out.insert(out.end(), head.begin(), head.end());
    for (const uint64_t v :
         {new_size, uint64_t{16}, covers, step_mem, uint64_t{body.size()}, uint64_t{0}}) {
      ota::hdiff::pack_varint(out, v);
    }
    return std::string(out.begin(), out.end()) + body;
  };
  const std::string two_covers = cover(0, false, 0, 0) + cover(0, false, 0, 4);
  std::string body =
      std::string(1, static_cast<char>(two_covers.size())) + '\x01' + two_covers + '\x04';
  expect_refused(single(4, 2, 8, body), "cover 0 is empty but not the last");
  const std::string one = cover(0, false, 0, 4);
  body = std::string(1, static_cast<char>(one.size())) + '\x09' + one + std::string(9, '\0');
  expect_refused(single(4, 1, 8, body), "exceeds the step size 8");
  body = std::string(1, static_cast<char>(one.size())) + '\x01' + one + '\x04';
  expect_refused(single(4, 1, 4, body + "x"), "body stream has 1 bytes left over");
  write_file(patch_path_, single(4, 1, 4, body));
  ASSERT_EQ(hpatchz(old_path_.c_str(), patch_path_.c_str(), out_path_.c_str(), 0), 0);
  EXPECT_EQ(read_file(out_path_), "oooo");
}

// New must not be old or the patch itself, by path or through a hard link.
TEST_F(Refusal, SameFileAsOldOrPatch) {
  const std::string dir = kVectorDir + "/tiny-text";
  const std::string old = read_file(dir + "/old.bin");
  write_file(tmp_.file("old.bin"), old);
  ASSERT_EQ(link(tmp_.file("old.bin").c_str(), tmp_.file("alias").c_str()), 0);
  write_file(patch_path_, read_file(dir + "/default.hdiff"));
  for (const std::string& target : {tmp_.file("old.bin"), tmp_.file("alias"), patch_path_}) {
    EXPECT_NE(hpatchz(tmp_.file("old.bin").c_str(), patch_path_.c_str(), target.c_str(), 0), 0);
    EXPECT_TRUE(log_contains("is the same file as the old image or the patch")) << target;
    ota_test::clear_log_records();
  }
  EXPECT_EQ(read_file(tmp_.file("old.bin")), old);
  EXPECT_EQ(read_file(patch_path_), read_file(dir + "/default.hdiff"));
}

// A regular new file that exists is replaced by exactly newSize bytes.
TEST_F(Refusal, ExistingNewFileIsCutToSize) {
  const std::string dir = kVectorDir + "/tiny-text";
  write_file(out_path_, std::string(4096, 'z'));
  ASSERT_EQ(
      hpatchz((dir + "/old.bin").c_str(), (dir + "/default.hdiff").c_str(), out_path_.c_str(), 0),
      0);
  EXPECT_EQ(read_file(out_path_), read_file(dir + "/new.bin"));
}

using ota::hpatch::ByteCursor;
using ota::hpatch::Varint;
using ota::hpatch::VarintStatus;

// Encodings seen in real patches decode to their values, padded ones included; cut-short
// and over-long numbers are reported, never read past the input.
TEST(Varint, DecodesRealEncodings) {
  std::vector<uint8_t> ten_byte_max(10, 0xFF);
  ten_byte_max.front() = 0x81;
  ten_byte_max.back() = 0x7F;
  const struct {
    std::vector<uint8_t> bytes;
    unsigned tag_bits;
    VarintStatus status;
    uint64_t value;
    unsigned tag;
  } cases[] = {
      {{0x81, 0x42}, 0, VarintStatus::kOk, 194, 0},
      {{0xC0, 0x80, 0x00}, 0, VarintStatus::kOk, 1048576, 0},
      {{0x94}, 1, VarintStatus::kOk, 20, 1},
      {{0x21, 0x41}, 2, VarintStatus::kOk, 193, 0},
      {{0x80, 0x00}, 0, VarintStatus::kOk, 0, 0},
      {{0x80, 0x80, 0x34}, 0, VarintStatus::kOk, 52, 0},
      {{0x20, 0xB1, 0xFF, 0x7F}, 2, VarintStatus::kOk, 819199, 0},
      {ten_byte_max, 0, VarintStatus::kOk, UINT64_MAX, 0},  // the widest number there is
      {{0x81, 0x80}, 0, VarintStatus::kTruncated, 0, 0},
      {std::vector<uint8_t>(12, 0xFF), 0, VarintStatus::kOverflow, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    ByteCursor cursor(c.bytes);
    Varint v;
    ASSERT_EQ(cursor.varint(c.tag_bits, &v), c.status);
    if (c.status == VarintStatus::kOk) {
      EXPECT_EQ(v.value, c.value);
      EXPECT_EQ(v.tag, c.tag);
      EXPECT_EQ(cursor.remaining(), 0u);
    }
  }
}

}  // namespace
