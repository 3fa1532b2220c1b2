#include <zstd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "archive_fixtures.h"
#include "device_io.h"
#include "tar_zstd.h"

namespace {

using archive_test::progress_calls;
using ota::archive::TarEntry;
using ota::archive::TarWriter;
using ota_test::TempDir;

TarEntry plain(const std::string& name) {
  TarEntry entry;
  entry.name = name;
  return entry;
}

TarEntry zst(const std::string& name, uint64_t frame_bytes = 0) {
  TarEntry entry;
  entry.name = name;
  entry.zstd = true;
  entry.zstd_frame_bytes = frame_bytes;
  return entry;
}

// One zstd frame with a content checksum, so that any damage is detectable.
std::string compress(const std::string& data) {
  std::string out(ZSTD_compressBound(data.size()), '\0');
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);
  const size_t n = ZSTD_compress2(cctx, out.data(), out.size(), data.data(), data.size());
  ZSTD_freeCCtx(cctx);
  out.resize(ZSTD_isError(n) != 0 ? 0 : n);
  return out;
}

class TarZstdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    progress_calls().clear();
    ota_test::clear_log_records();
  }
  std::string tar_path() const { return dir_.file("pkg.tar"); }

  TempDir dir_;
};

// Lookup walks members of every size class and returns each one's exact offset and size.
TEST_F(TarZstdTest, FindsMembersOfEverySize) {
  const size_t sizes[] = {0, 1, 511, 512, 513, 3 * 1024 * 1024 + 7};
  {
    auto writer = TarWriter::create(tar_path());
    ASSERT_OK(writer);
    for (const size_t size : sizes) {
      ASSERT_OK(writer->add_bytes(plain("m" + std::to_string(size)), std::string(size, 'x')));
    }
    ASSERT_OK(writer->finish());
  }
  ota::UniqueFile tar(fopen(tar_path().c_str(), "rb"));
  ASSERT_TRUE(tar);
  long expected_start = 512;
  for (const size_t size : sizes) {
    SCOPED_TRACE(size);
    ASSERT_EQ(0, fseek(tar.get(), 0, SEEK_SET));
    long start = -1;
    long len = -1;
    ASSERT_EQ(0, find_file_in_tar(tar.get(), ("m" + std::to_string(size)).c_str(), &start, &len));
    EXPECT_EQ(expected_start, start);
    EXPECT_EQ(static_cast<long>(size), len);
    expected_start += static_cast<long>((size + 511) / 512 * 512 + 512);
  }
}

// Names match exactly: a leading directory, a prefix or an extension of a name all miss.
TEST_F(TarZstdTest, NamesMatchExactly) {
  {
    auto writer = TarWriter::create(tar_path());
    ASSERT_OK(writer);
    ASSERT_OK(writer->add_bytes(plain("dir/a.img"), "abc"));
    ASSERT_OK(writer->add_bytes(plain(std::string(100, 'n')), "long"));
    ASSERT_OK(writer->finish());
  }
  ota::UniqueFile tar(fopen(tar_path().c_str(), "rb"));
  ASSERT_TRUE(tar);
  const std::string misses[] = {"a.img", "dir/a.im", "dir/a.img.zst", std::string(101, 'n')};
  for (const std::string& name : misses) {
    SCOPED_TRACE(name);
    ASSERT_EQ(0, fseek(tar.get(), 0, SEEK_SET));
    long start = 0;
    long len = 0;
    EXPECT_EQ(-1, find_file_in_tar(tar.get(), name.c_str(), &start, &len));
  }
  ASSERT_EQ(0, fseek(tar.get(), 0, SEEK_SET));
  long start = 0;
  long len = 0;
  EXPECT_EQ(0, find_file_in_tar(tar.get(), std::string(100, 'n').c_str(), &start, &len));
  EXPECT_EQ(4, len);
}

// A second header without the ustar magic ends the search with "wrong header"; an empty
// archive is a quiet miss.
TEST_F(TarZstdTest, BadMagicAndEmptyArchive) {
  {
    auto writer = TarWriter::create(tar_path());
    ASSERT_OK(writer);
    ASSERT_OK(writer->add_bytes(plain("first"), "1"));
    TarEntry bad = plain("second");
    bad.magic = "gnutar";
    ASSERT_OK(writer->add_bytes(bad, "2"));
    ASSERT_OK(writer->finish());
  }
  ota::UniqueFile tar(fopen(tar_path().c_str(), "rb"));
  long start = 0;
  long len = 0;
  EXPECT_EQ(-1, find_file_in_tar(tar.get(), "second", &start, &len));
  EXPECT_TRUE(ota_test::log_contains("wrong header"));

  ota_test::clear_log_records();
  ota_test::write_file(dir_.file("empty.tar"), std::string(1024, '\0'));
  ota::UniqueFile empty(fopen(dir_.file("empty.tar").c_str(), "rb"));
  EXPECT_EQ(-1, find_file_in_tar(empty.get(), "first", &start, &len));
  EXPECT_FALSE(ota_test::log_contains("wrong header"));
}

// A zstd member, single- or multi-frame, streams out byte-exact and the progress calls add
// up to the decompressed size.
TEST_F(TarZstdTest, StreamsZstdMembers) {
  const std::string image = ota_test::make_image_bytes(5 * 1024 * 1024 + 123, 7);
  {
    auto writer = TarWriter::create(tar_path());
    ASSERT_OK(writer);
    ASSERT_OK(writer->add_bytes(zst("one.img.zst"), image));
    ASSERT_OK(writer->add_bytes(zst("multi.img.zst", 1024 * 1024), image));
    ASSERT_OK(writer->finish());
  }
  for (const char* name : {"one.img.zst", "multi.img.zst"}) {
    SCOPED_TRACE(name);
    progress_calls().clear();
    const std::string out = dir_.file("out.img");
    ASSERT_EQ(0, ota_untar_unzst_to_file(tar_path().c_str(), name, out.c_str(),
                                         archive_test::record_progress));
    EXPECT_EQ(image, ota_test::read_file(out));
    EXPECT_EQ(image.size(), archive_test::progress_sum());
  }
}

// One frame of zeros whose first block is cut short by a flush after `head` bytes, so
// that later blocks straddle the decoder's 32 MiB step boundaries.
std::string misaligned_frame(size_t head, size_t total) {
  const std::string zeros(total, '\0');
  std::string frame(ZSTD_compressBound(total) + 1024, '\0');
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ZSTD_outBuffer out{frame.data(), frame.size(), 0};
  ZSTD_inBuffer first{zeros.data(), head, 0};
  ZSTD_compressStream2(cctx, &out, &first, ZSTD_e_flush);
  ZSTD_inBuffer rest{zeros.data() + head, total - head, 0};
  while (ZSTD_compressStream2(cctx, &out, &rest, ZSTD_e_end) > 0) {
  }
  ZSTD_freeCCtx(cctx);
  frame.resize(out.pos);
  return frame;
}

// Output larger than the 32 MiB step buffer from a tiny member is drained completely, also
// when the member's last block straddles the end of a full step.
TEST_F(TarZstdTest, DrainsTheDecoderAtTheEndOfTheMember) {
  const size_t total = 64u * 1024 * 1024 + 5000;
  {
    auto writer = TarWriter::create(tar_path());
    ASSERT_OK(writer);
    ASSERT_OK(writer->add_bytes(plain("zero.img.zst"), misaligned_frame(100000, total)));
    ASSERT_OK(writer->finish());
  }
  ASSERT_LT(std::filesystem::file_size(tar_path()), 64u * 1024);
  const std::string out = dir_.file("zero.img");
  ASSERT_EQ(0, ota_untar_unzst_to_file(tar_path().c_str(), "zero.img.zst", out.c_str(),
                                       archive_test::record_progress));
  EXPECT_EQ(total, std::filesystem::file_size(out));
  EXPECT_EQ(total, archive_test::progress_sum());
  EXPECT_EQ(3u, progress_calls().size());
}

// Corrupt data, a last frame cut short inside a whole member, and a member cut short by
// the end of the archive all fail instead of reporting success.
TEST_F(TarZstdTest, DamagedZstdMembersFail) {
  const std::string image = ota_test::make_image_bytes(2 * 1024 * 1024, 3);
  std::string frame = compress(image);
  std::string corrupt = frame;
  corrupt[corrupt.size() / 2] = static_cast<char>(corrupt[corrupt.size() / 2] ^ 0x5A);
  {
    auto writer = TarWriter::create(tar_path());
    ASSERT_OK(writer);
    ASSERT_OK(writer->add_bytes(plain("corrupt.img.zst"), corrupt));
    ASSERT_OK(writer->add_bytes(plain("short.img.zst"), frame.substr(0, frame.size() - 100)));
    ASSERT_OK(writer->add_bytes(plain("empty.img.zst"), ""));
    ASSERT_OK(writer->add_bytes(zst("cut.img.zst"), image));
    ASSERT_OK(writer->finish());
  }
  // Cut the archive inside the last member's data.
  std::filesystem::resize_file(tar_path(), std::filesystem::file_size(tar_path()) - 1024 - 700);
  const std::string out = dir_.file("out.img");
  EXPECT_EQ(-2,
            ota_untar_unzst_to_file(tar_path().c_str(), "corrupt.img.zst", out.c_str(), nullptr));
  EXPECT_EQ(-2, ota_untar_unzst_to_file(tar_path().c_str(), "short.img.zst", out.c_str(), nullptr));
  EXPECT_EQ(-2, ota_untar_unzst_to_file(tar_path().c_str(), "empty.img.zst", out.c_str(), nullptr));
  EXPECT_EQ(-1, ota_untar_unzst_to_file(tar_path().c_str(), "cut.img.zst", out.c_str(), nullptr));
  EXPECT_EQ(-1, ota_untar_unzst_to_file(tar_path().c_str(), "absent.zst", out.c_str(), nullptr));
}

// A plain member is copied byte-exact; one cut short by the end of the archive fails.
TEST_F(TarZstdTest, ExtractFileCopiesAndRejectsShortMembers) {
  const std::string data = ota_test::make_image_bytes(OTA_MMC_CHUNK + 4097, 11);
  {
    auto writer = TarWriter::create(tar_path());
    ASSERT_OK(writer);
    ASSERT_OK(writer->add_bytes(plain("a.img"), data));
    ASSERT_OK(writer->finish());
  }
  ota::UniqueFile tar(fopen(tar_path().c_str(), "rb"));
  const std::string out = dir_.file("a.out");
  ASSERT_EQ(0, extract_file(tar.get(), 512, static_cast<long>(data.size()), out.c_str()));
  EXPECT_EQ(data, ota_test::read_file(out));

  std::filesystem::resize_file(tar_path(), 512 + data.size() - 10);
  ota::UniqueFile cut(fopen(tar_path().c_str(), "rb"));
  EXPECT_EQ(-3, extract_file(cut.get(), 512, static_cast<long>(data.size()), out.c_str()));
  EXPECT_EQ(-1, extract_file(cut.get(), 512, 1, dir_.file("no/such/dir").c_str()));
}

// untar puts the member under the output directory (creating it) and refuses names that
// would leave it or pass through a link.
TEST_F(TarZstdTest, UntarStaysInsideItsDirectory) {
  TempDir outside;
  ASSERT_EQ(0, mkdir(dir_.file("out").c_str(), 0755));
  ASSERT_EQ(0, symlink(outside.path().c_str(), dir_.file("out/link").c_str()));
  {
    auto writer = TarWriter::create(tar_path());
    ASSERT_OK(writer);
    ASSERT_OK(writer->add_bytes(plain("gpt.conf"), "layout"));
    ASSERT_OK(writer->add_bytes(plain("../escape"), "bad"));
    ASSERT_OK(writer->add_bytes(plain("link/escape"), "bad"));
    ASSERT_OK(writer->finish());
  }
  ASSERT_EQ(0, untar(tar_path().c_str(), "gpt.conf", dir_.file("new").c_str()));
  EXPECT_EQ("layout", ota_test::read_file(dir_.file("new/gpt.conf")));
  EXPECT_NE(0, untar(tar_path().c_str(), "../escape", dir_.file("out").c_str()));
  EXPECT_NE(0, untar(tar_path().c_str(), "link/escape", dir_.file("out").c_str()));
  EXPECT_FALSE(archive_test::exists(dir_.file("escape")));
  EXPECT_FALSE(archive_test::exists(outside.file("escape")));
  EXPECT_TRUE(ota_test::log_contains("link/escape"));
  EXPECT_EQ(-1, untar(tar_path().c_str(), "absent", dir_.file("out").c_str()));
}

// The ".zst" suffix is cut only when present, and the output buffer must hold the name.
TEST(RemoveZstSuffix, Table) {
  struct Row {
    const char* in;
    size_t max_len;
    int32_t rc;
    const char* out;
  };
  const Row rows[] = {
      {"a.img.zst", 64, 0, "a.img"},     {".zst", 64, 0, ""},  {"zst", 64, 0, "zst"},
      {"a.img", 64, 0, "a.img"},         {"a.zst", 5, -1, ""}, {"a.zst", 6, 0, "a"},
      {"x.zst.img", 64, 0, "x.zst.img"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.in);
    char out[64] = {};
    ASSERT_EQ(row.rc, remove_zst_suffix(row.in, out, row.max_len));
    if (row.rc == 0) {
      EXPECT_STREQ(row.out, out);
    }
  }
  char out[8];
  EXPECT_EQ(-1, remove_zst_suffix(nullptr, out, sizeof(out)));
  EXPECT_EQ(-1, remove_zst_suffix("a", out, 0));
}

}  // namespace
