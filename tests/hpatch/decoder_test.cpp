// Compressed streams as other writers make them: several raw deflate members or several
// zstd frames back to back still form one stream.
#include <gtest/gtest.h>
#include <zlib.h>
#include <zstd.h>

#include <string>
#include <vector>

#include "hpatch.h"
#include "hpatch_test_util.h"
#include "varint_writer.h"

namespace {

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

// A patch that makes new entirely from its literals stream, stored as `encoded`.
std::string literal_patch(const char* compressor, uint64_t new_size, const std::string& encoded) {
  std::vector<uint8_t> out;
  const std::string head = std::string("HDIFF13&") + compressor;
  out.insert(out.end(), head.begin(), head.end());
  out.push_back(0);
  std::vector<uint8_t> ctrl;
  ota::hdiff::pack_varint(ctrl, new_size - 1, 0, 2);
  for (const uint64_t v :
       {new_size, uint64_t{0}, uint64_t{0}, uint64_t{0}, uint64_t{0}, uint64_t{ctrl.size()},
        uint64_t{0}, uint64_t{0}, uint64_t{0}, new_size, uint64_t{encoded.size()}}) {
    ota::hdiff::pack_varint(out, v);
  }
  out.insert(out.end(), ctrl.begin(), ctrl.end());
  return std::string(out.begin(), out.end()) + encoded;
}

// Two deflate members after one window-bits byte decode as their concatenation, at the
// smallest cache and a large one.
TEST(Decoders, ConcatenatedDeflateMembers) {
  const std::string a = ota_test::make_image_bytes(300000, 1);
  const std::string b = ota_test::make_image_bytes(200000, 2);
  const std::string patch = literal_patch("pzlib", a.size() + b.size(),
                                          std::string(1, '\xF1') + raw_deflate(a) + raw_deflate(b));
  ota_test::TempDir tmp;
  ota_test::write_file(tmp.file("patch"), patch);
  for (const size_t cache : {size_t{0}, size_t{16} << 20}) {
    ASSERT_EQ(hpatchz("", tmp.file("patch").c_str(), tmp.file("new").c_str(), cache), 0);
    EXPECT_TRUE(ota_test::read_file(tmp.file("new")) == a + b);
  }
}

// Several zstd frames decode as their concatenation.
TEST(Decoders, ConcatenatedZstdFrames) {
  const std::string a = ota_test::make_image_bytes(300000, 3);
  const std::string b = ota_test::make_image_bytes(100000, 4);
  const std::string patch =
      literal_patch("zstd", a.size() + b.size(), zstd_frame(a) + zstd_frame(b));
  ota_test::TempDir tmp;
  ota_test::write_file(tmp.file("patch"), patch);
  ASSERT_EQ(hpatchz("", tmp.file("patch").c_str(), tmp.file("new").c_str(), 0), 0);
  EXPECT_TRUE(ota_test::read_file(tmp.file("new")) == a + b);
}

// A zlib stream whose first byte asks for a zlib or gzip wrapper is refused by name.
TEST(Decoders, RefusesWrappedDeflate) {
  const std::string data = ota_test::make_image_bytes(10000, 5);
  const std::string patch =
      literal_patch("zlib", data.size(), std::string(1, '\x0F') + raw_deflate(data));
  ota_test::TempDir tmp;
  ota_test::write_file(tmp.file("patch"), patch);
  ota_test::clear_log_records();
  EXPECT_NE(hpatchz("", tmp.file("patch").c_str(), tmp.file("new").c_str(), 0), 0);
  EXPECT_TRUE(ota_test::log_contains("zlib window bits 15 are not raw deflate"));
}

}  // namespace
