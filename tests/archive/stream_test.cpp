// Members streamed out of a package: zip members to a file or device in the medium's
// chunks, tar members found by exact name, zstd members decoded whole or refused.
#include <sys/stat.h>
#include <utime.h>
#include <zlib.h>
#include <zstd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "archive_fixtures.h"
#include "burn_pipeline.h"
#include "device_io.h"
#include "kx_zip.h"
#include "tar_zstd.h"
#include "unz_handle.h"

namespace {

using namespace archive_test;
using ota_test::read_file;
using ota_test::TempDir;

ota_file_info_t destination(const std::string& path, ota_medium_e medium = OTA_EMMC) {
  ota_file_info_t info{};
  info.medium = medium;
  std::snprintf(info.path, sizeof(info.path), "%s", path.c_str());
  return info;
}

class StreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    progress_calls().clear();
    ota_test::clear_log_records();
  }
  // One stored and one deflated copy of data, plus an empty member.
  void build_zip(const std::string& data) {
    const Member stored{
        .name = "stored.img", .data = data, .mode = 0640, .stored = true, .mtime = 1600000000};
    Member deflated = stored;
    deflated.name = "deflated.img";
    deflated.stored = false;
    Member empty = stored;
    empty.name = "empty.img";
    empty.data = "";
    write_zip(zip(), {stored, deflated, empty});
  }
  std::string zip() const { return dir_.file("pkg.zip"); }
  std::string tar() const { return dir_.file("pkg.tar"); }
  // Where find_file_in_tar places `name` in the tar, or {-1, -1} when it misses.
  std::pair<long, long> find(const std::string& path, const std::string& name) {
    ota::UniqueFile file(fopen(path.c_str(), "rb"));
    long start = -1;
    long len = -1;
    return file && find_file_in_tar(file.get(), name.c_str(), &start, &len) == 0
               ? std::pair{start, len}
               : std::pair{-1L, -1L};
  }

  TempDir dir_;
};

// A member streams byte-exact in chunks of the medium, and the progress calls (ending
// with one 0, the only one of an empty member) add up to its size; a new file takes the
// member's mode and time.
TEST_F(StreamTest, ZipMemberIntoNewFile) {
  const std::string data = ota_test::make_image_bytes(2 * OTA_MMC_CHUNK + 12345, 9);
  build_zip(data);
  for (const char* name : {"stored.img", "deflated.img", "empty.img"}) {
    SCOPED_TRACE(name);
    progress_calls().clear();
    const bool empty = name[0] == 'e';
    const std::string out = dir_.file(std::string("new_") + name);
    ota_file_info_t dest = destination(out, empty ? OTA_NOR : OTA_EMMC);
    ASSERT_EQ(0, kx_uncompress_file_to(zip().c_str(), name, &dest, record_progress));
    EXPECT_EQ(empty ? "" : data, read_file(out));
    EXPECT_EQ(empty ? 0 : data.size(), progress_sum());
    ASSERT_EQ(empty ? 1u : 4u, progress_calls().size());
    EXPECT_EQ(empty ? 0 : static_cast<ssize_t>(OTA_MMC_CHUNK), progress_calls()[0]);
    EXPECT_EQ(0, progress_calls().back());
    EXPECT_EQ(0640u, mode_of(out));
    struct stat st {};
    ASSERT_EQ(0, stat(out.c_str(), &st));
    EXPECT_NEAR(1600000000, st.st_mtime, 1);
  }
}

// An existing destination (as a device node would be) keeps its mode and times.
TEST_F(StreamTest, ExistingDestinationKeepsModeAndTimes) {
  build_zip("payload");
  const std::string out = dir_.file("device");
  ota_test::write_file(out, std::string(100, 'z'));
  ASSERT_EQ(0, chmod(out.c_str(), 0600));
  const struct utimbuf times = {1234567, 1234567};
  ASSERT_EQ(0, utime(out.c_str(), &times));
  ota_file_info_t dest = destination(out);
  ASSERT_EQ(0, kx_unzip_file_to(zip().c_str(), "stored.img", &dest, nullptr));
  struct stat st {};
  ASSERT_EQ(0, stat(out.c_str(), &st));
  EXPECT_EQ("payload", read_file(out));
  EXPECT_EQ(0600u, mode_of(out));
  // Writing moves a regular file's mtime; the entry's time must not be applied on top.
  EXPECT_EQ(1234567, st.st_atime);
  EXPECT_NE(1600000000, st.st_mtime);
}

// A stored member whose data was damaged fails on its CRC instead of reporting success;
// missing archives, members, unknown kinds and unwritable destinations fail too.
TEST_F(StreamTest, ZipFailures) {
  std::string data = ota_test::make_image_bytes(100000, 4);
  std::memcpy(data.data() + 5000, "MARKER-TO-FLIP", 14);
  build_zip(data);
  std::string archive = read_file(zip());
  const size_t at = archive.find("MARKER-TO-FLIP");
  ASSERT_NE(std::string::npos, at);
  archive[at] = 'N';
  ota_test::write_file(zip(), archive);
  ota_file_info_t dest = destination(dir_.file("out.img"));
  EXPECT_EQ(UNZ_CRCERROR, kx_unzip_file_to(zip().c_str(), "stored.img", &dest, nullptr));
  EXPECT_TRUE(ota_test::log_contains("unzCloseCurrentFile"));

  EXPECT_LT(kx_unzip_file_to(dir_.file("none.zip").c_str(), "stored.img", &dest, nullptr), 0);
  EXPECT_LT(kx_unzip_file_to(zip().c_str(), "absent.img", &dest, nullptr), 0);
  ota_file_info_t bad = destination(dir_.file("no/dir/out"));
  EXPECT_EQ(-1, kx_unzip_file_to(zip().c_str(), "stored.img", &bad, nullptr));
  EXPECT_EQ(-1, kx_uncompress_file_to(dir_.file("pkg.bin").c_str(), "x", &dest, nullptr));
}

// A deflated member whose stream ends before the size its headers declare: minizip reads
// it as a clean end and skips its CRC, so the short image must be refused by the size, by
// the stream to a device and by a whole-package extraction alike.
TEST_F(StreamTest, MemberEndingBeforeItsDeclaredSizeIsRefused) {
  const std::string data = ota_test::make_image_bytes(100000, 5);
  write_zip(zip(), {{.name = "short.img", .data = data}});
  std::string archive = read_file(zip());
  // Sizes as little-endian 32-bit fields: local header at 22, central header at 24.
  const auto declare_more = [&](const std::string& sig, size_t field) {
    const size_t at = archive.find(sig);
    ASSERT_NE(std::string::npos, at) << sig;
    uint32_t size = 0;
    std::memcpy(&size, archive.data() + at + field, 4);
    if (size == data.size()) {  // zero when the writer put the sizes after the data
      size += 10;
      std::memcpy(archive.data() + at + field, &size, 4);
    }
  };
  declare_more(std::string("PK\x03\x04", 4), 22);
  declare_more(std::string("PK\x01\x02", 4), 24);
  ota_test::write_file(zip(), archive);

  ota_file_info_t dest = destination(dir_.file("out.img"));
  EXPECT_EQ(UNZ_BADZIPFILE, kx_unzip_file_to(zip().c_str(), "short.img", &dest, nullptr));
  EXPECT_TRUE(ota_test::log_contains("ends before its declared size"));
  TempDir out;
  EXPECT_NE(0, kx_uncompress(zip().c_str(), out.path().c_str()));
}

// Fields of a member's headers, as offsets of the local and the central header.
struct HeaderField {
  size_t local;
  size_t central;
  size_t width;
};
constexpr HeaderField kMethod{8, 10, 2};
constexpr HeaderField kCrc{14, 16, 4};
constexpr HeaderField kPackedSize{18, 20, 4};
constexpr HeaderField kSize{22, 24, 4};

uint32_t field_at(const std::string& archive, size_t at, size_t width) {
  uint32_t v = 0;
  std::memcpy(&v, archive.data() + at, width);
  return v;
}

// Sets a field in the central header, and in the local one where it is recorded there
// (a writer may leave the local sizes and CRC to a descriptor after the data).
void set_field(std::string& archive, HeaderField f, uint32_t value) {
  const size_t local = archive.find(std::string("PK\x03\x04", 4));
  const size_t central = archive.find(std::string("PK\x01\x02", 4));
  ASSERT_NE(std::string::npos, central);
  const uint32_t before = field_at(archive, central + f.central, f.width);
  if (field_at(archive, local + f.local, f.width) == before) {
    std::memcpy(archive.data() + local + f.local, &value, f.width);
  }
  std::memcpy(archive.data() + central + f.central, &value, f.width);
}

// Damaged or inconsistent headers and streams of a single member, stored or deflated:
// each fails (or passes) with the result the burn has always given, through the plain
// stream and through the pipeline alike, and never writes more than the declared size.
TEST_F(StreamTest, MemberHeadersAndStreamsTable) {
  const std::string data = ota_test::make_image_bytes(300000, 6);
  const uint32_t half = static_cast<uint32_t>(data.size() / 2);
  const uint32_t half_crc =
      static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()), half));
  using Patch = std::function<void(std::string&)>;
  const struct {
    const char* what;
    bool stored;
    Patch patch;
    int32_t result;
    const char* logged;
    size_t written;
  } rows[] = {
      {"intact deflated", false, [](std::string&) {}, 0, nullptr, data.size()},
      {"intact stored", true, [](std::string&) {}, 0, nullptr, data.size()},
      {"wrong CRC, deflated", false,
       [](std::string& a) {
         set_field(a, kCrc, field_at(a, a.find(std::string("PK\x01\x02", 4)) + 16, 4) ^ 1);
       },
       UNZ_CRCERROR, "unzCloseCurrentFile", data.size()},
      {"declared longer, stored", true,
       [&](std::string& a) { set_field(a, kSize, static_cast<uint32_t>(data.size() + 10)); },
       UNZ_BADZIPFILE, "ends before its declared size", data.size()},
      // Only the declared bytes are the member's, and their CRC is the entry's.
      {"declared shorter with its CRC", false,
       [&](std::string& a) {
         set_field(a, kSize, half);
         set_field(a, kCrc, half_crc);
       },
       0, nullptr, half},
      {"deflate stream cut short", false,
       [](std::string& a) {
         const size_t central = a.find(std::string("PK\x01\x02", 4));
         set_field(a, kPackedSize, field_at(a, central + 20, 4) / 2);
       },
       Z_BUF_ERROR, "unzReadCurrentFile", SIZE_MAX},
      {"invalid block type", false,
       [](std::string& a) {
         const size_t data_at = 30 + field_at(a, 26, 2) + field_at(a, 28, 2);
         a[data_at] = 0x07;  // final block of the reserved type 3
       },
       Z_DATA_ERROR, "unzReadCurrentFile", 0},
      {"neither stored nor deflated", false, [](std::string& a) { set_field(a, kMethod, 12); },
       UNZ_BADZIPFILE, "neither stored nor deflated", 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    write_zip(zip(), {{.name = "m.img", .data = data, .stored = row.stored}});
    std::string archive = read_file(zip());
    row.patch(archive);
    ota_test::write_file(zip(), archive);
    for (const bool piped : {false, true}) {
      SCOPED_TRACE(piped ? "piped" : "plain");
      ota_test::clear_log_records();
      const std::string out = dir_.file(piped ? "piped.img" : "plain.img");
      ota_file_info_t dest = destination(out);
      ota::ReadBackProof proof;
      EXPECT_EQ(row.result, kx_unzip_file_to(zip().c_str(), "m.img", &dest, nullptr,
                                             OTA_MEMBER_UNBOUNDED, piped ? &proof : nullptr));
      if (row.logged != nullptr) {
        EXPECT_TRUE(ota_test::log_contains(row.logged));
      }
      const std::string got = read_file(out);
      // A failing burn through the pipeline may stop before its writer caught up.
      if (row.written != SIZE_MAX && (!piped || row.result == 0)) {
        EXPECT_EQ(row.written, got.size());
      }
      EXPECT_LE(got.size(), data.size());
      EXPECT_EQ(0, data.compare(0, got.size(), got));
    }
  }
}

// Lookup walks members of every size class and returns each one's exact offset and size;
// names match exactly (a leading directory, a prefix or an extension all miss).
TEST_F(StreamTest, TarLookupByExactName) {
  const size_t sizes[] = {0, 1, 511, 512, 513, 3 * 1024 * 1024 + 7};
  std::vector<Member> members;
  for (const size_t size : sizes) {
    members.push_back({.name = "m" + std::to_string(size), .data = std::string(size, 'x')});
  }
  members.push_back({.name = "dir/a.img", .data = "abc"});
  members.push_back({.name = std::string(100, 'n'), .data = "long"});
  write_tar(tar(), members);
  long start = 512;
  for (const size_t size : sizes) {
    EXPECT_EQ(find(tar(), "m" + std::to_string(size)), std::pair(start, long(size))) << size;
    start += static_cast<long>((size + 511) / 512 * 512 + 512);
  }
  EXPECT_EQ(find(tar(), std::string(100, 'n')).second, 4);
  for (const std::string& name :
       std::vector<std::string>{"a.img", "dir/a.im", "dir/a.img.zst", std::string(101, 'n')}) {
    EXPECT_EQ(find(tar(), name), std::pair(-1L, -1L)) << name;
  }
  // A second header without the ustar magic ends the search with "wrong header"; an
  // empty archive is a quiet miss.
  write_tar(tar(),
            {{.name = "first", .data = "1"}, {.name = "second", .data = "2", .magic = "gnutar"}});
  EXPECT_EQ(find(tar(), "second").first, -1);
  EXPECT_TRUE(ota_test::log_contains("wrong header"));
  ota_test::clear_log_records();
  ota_test::write_file(tar(), std::string(1024, '\0'));
  EXPECT_EQ(find(tar(), "first").first, -1);
  EXPECT_FALSE(ota_test::log_contains("wrong header"));
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

// A zstd member, single- or multi-frame, streams out byte-exact with progress calls adding
// up to the decompressed size; corrupt data, a last frame cut short inside a whole member,
// an empty member and a member cut short by the end of the archive all fail.
TEST_F(StreamTest, TarZstdMembers) {
  const std::string image = ota_test::make_image_bytes(5 * 1024 * 1024 + 123, 7);
  const std::string frame = compress(image);
  std::string corrupt = frame;
  corrupt[corrupt.size() / 2] = static_cast<char>(corrupt[corrupt.size() / 2] ^ 0x5A);
  write_tar(tar(),
            {{.name = "one.img.zst", .data = image, .zstd = true},
             {.name = "multi.img.zst", .data = image, .zstd = true, .zstd_frame_bytes = 1 << 20},
             {.name = "corrupt.img.zst", .data = corrupt},
             {.name = "short.img.zst", .data = frame.substr(0, frame.size() - 100)},
             {.name = "empty.img.zst", .data = ""},
             {.name = "cut.img.zst", .data = image, .zstd = true}});
  // Cut the archive inside the last member's data.
  std::filesystem::resize_file(tar(), std::filesystem::file_size(tar()) - 1024 - 700);
  const std::pair<const char*, int32_t> rows[] = {
      {"one.img.zst", 0},    {"multi.img.zst", 0}, {"corrupt.img.zst", -2}, {"short.img.zst", -2},
      {"empty.img.zst", -2}, {"cut.img.zst", -1},  {"absent.zst", -1}};
  const std::string out = dir_.file("out.img");
  for (const auto& [name, rc] : rows) {
    SCOPED_TRACE(name);
    progress_calls().clear();
    ASSERT_EQ(rc, ota_untar_unzst_to_file(tar().c_str(), name, out.c_str(), record_progress));
    if (rc == 0) {
      EXPECT_EQ(image, read_file(out));
      EXPECT_EQ(image.size(), progress_sum());
    }
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
TEST_F(StreamTest, TarZstdDrainsTheDecoderAtTheEndOfTheMember) {
  const size_t total = 64u * 1024 * 1024 + 5000;
  write_tar(tar(), {{.name = "zero.img.zst", .data = misaligned_frame(100000, total)}});
  ASSERT_LT(std::filesystem::file_size(tar()), 64u * 1024);
  const std::string out = dir_.file("zero.img");
  ASSERT_EQ(0,
            ota_untar_unzst_to_file(tar().c_str(), "zero.img.zst", out.c_str(), record_progress));
  EXPECT_EQ(total, std::filesystem::file_size(out));
  EXPECT_EQ(total, progress_sum());
  EXPECT_EQ(3u, progress_calls().size());
}

// A plain member is copied byte-exact; one cut short by the end of the archive fails.
// untar puts a member under the output directory (creating it) and refuses names that
// would leave it or pass through a link.
TEST_F(StreamTest, TarPlainMembers) {
  const std::string data = ota_test::make_image_bytes(OTA_MMC_CHUNK + 4097, 11);
  write_tar(tar(), {{.name = "a.img", .data = data}});
  const std::string out = dir_.file("a.out");
  {
    ota::UniqueFile file(fopen(tar().c_str(), "rb"));
    ASSERT_EQ(0, extract_file(file.get(), 512, static_cast<long>(data.size()), out.c_str()));
    EXPECT_EQ(data, read_file(out));
  }
  std::filesystem::resize_file(tar(), 512 + data.size() - 10);
  ota::UniqueFile cut(fopen(tar().c_str(), "rb"));
  EXPECT_EQ(-3, extract_file(cut.get(), 512, static_cast<long>(data.size()), out.c_str()));
  EXPECT_EQ(-1, extract_file(cut.get(), 512, 1, dir_.file("no/such/dir").c_str()));

  TempDir outside;
  ASSERT_EQ(0, mkdir(dir_.file("out").c_str(), 0755));
  ASSERT_EQ(0, symlink(outside.path().c_str(), dir_.file("out/link").c_str()));
  write_tar(tar(), {{.name = "gpt.conf", .data = "layout"},
                    {.name = "../escape", .data = "bad"},
                    {.name = "link/escape", .data = "bad"}});
  ASSERT_EQ(0, untar(tar().c_str(), "gpt.conf", dir_.file("new").c_str()));
  EXPECT_EQ("layout", read_file(dir_.file("new/gpt.conf")));
  EXPECT_NE(0, untar(tar().c_str(), "../escape", dir_.file("out").c_str()));
  EXPECT_NE(0, untar(tar().c_str(), "link/escape", dir_.file("out").c_str()));
  EXPECT_FALSE(exists(dir_.file("escape")));
  EXPECT_FALSE(exists(outside.file("escape")));
  EXPECT_TRUE(ota_test::log_contains("link/escape"));
  EXPECT_EQ(-1, untar(tar().c_str(), "absent", dir_.file("out").c_str()));
}

// The ".zst" suffix is cut only when present, and the output buffer must hold the name.
TEST(RemoveZstSuffix, Table) {
  const struct {
    const char* in;
    size_t max_len;
    int32_t rc;
    const char* out;
  } rows[] = {
      {"a.img.zst", 64, 0, "a.img"},     {".zst", 64, 0, ""},   {"zst", 64, 0, "zst"},
      {"a.img", 64, 0, "a.img"},         {"a.zst", 5, -1, ""},  {"a.zst", 6, 0, "a"},
      {"x.zst.img", 64, 0, "x.zst.img"}, {nullptr, 64, -1, ""}, {"a", 0, -1, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.in != nullptr ? row.in : "(null)");
    char out[64] = {};
    ASSERT_EQ(row.rc, remove_zst_suffix(row.in, out, row.max_len));
    if (row.rc == 0) {
      EXPECT_STREQ(row.out, out);
    }
  }
}

}  // namespace
