// What the differ makes, the applier turns back into new, for all kinds of change.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <span>
#include <string>

#include "hdiff.h"
#include "hpatch.h"
#include "hpatch_test_util.h"

namespace {

using hpatch_test::bytes_of;
using hpatch_test::text_of;
using ota::hdiff::Compression;
using ota_test::make_image_bytes;
using ota_test::read_file;
using ota_test::write_file;

struct Pair {
  std::string name;
  std::string old_data;
  std::string new_data;
};

std::string edited(std::string data, unsigned seed, size_t count) {
  std::mt19937 rng(seed);
  for (size_t i = 0; i < count && !data.empty(); ++i) {
    data[rng() % data.size()] = static_cast<char>(rng());
  }
  return data;
}

constexpr const char* kPairNames[] = {"both_empty",      "empty_old",       "empty_new",
                                      "one_byte",        "scattered_edits", "insertion",
                                      "deletion",        "moved_blocks",    "completely_different",
                                      "grown_from_small"};

// Built only when its test runs: test names must not cost image generation per process.
Pair make_pair(size_t index) {
  const std::string image = make_image_bytes(1 << 20, 7);
  const std::string small = make_image_bytes(4096, 5);
  const std::string cases[][2] = {
      {"", ""},
      {"", make_image_bytes(100000, 1)},
      {make_image_bytes(100000, 1), ""},
      {"a", "b"},
      {image, edited(image, 3, 300)},
      {image, image.substr(0, 300000) + make_image_bytes(5000, 9) + image.substr(300000)},
      {image, image.substr(0, 500000) + image.substr(520000)},
      {image, image.substr(600000) + image.substr(0, 600000)},
      {make_image_bytes(300000, 11), make_image_bytes(300000, 12)},
      {small, edited(small + small + make_image_bytes(8192, 6), 8, 10)},
  };
  return {kPairNames[index], cases[index][0], cases[index][1]};
}

}  // namespace

namespace ota::hdiff {
void PrintTo(Compression c, std::ostream* os) {
  static const char* const kNames[] = {"none", "zlib", "zstd"};
  *os << kNames[static_cast<int>(c)];
}
}  // namespace ota::hdiff

namespace {

class RoundTrip : public ::testing::TestWithParam<std::tuple<size_t, Compression>> {};

// The patch applied at the smallest and a large cache gives new byte for byte.
TEST_P(RoundTrip, RebuildsNew) {
  const auto& [index, compression] = GetParam();
  const Pair pair = make_pair(index);
  auto patch =
      ota::hdiff::make_patch(bytes_of(pair.old_data), bytes_of(pair.new_data), {compression});
  ASSERT_TRUE(patch.ok()) << patch.error().message();
  ota_test::TempDir tmp;
  write_file(tmp.file("old"), pair.old_data);
  write_file(tmp.file("patch"), text_of(patch.value()));
  for (const size_t cache : {size_t{0}, size_t{32} << 20}) {
    ASSERT_EQ(
        hpatchz(tmp.file("old").c_str(), tmp.file("patch").c_str(), tmp.file("new").c_str(), cache),
        0)
        << pair.name;
    EXPECT_TRUE(read_file(tmp.file("new")) == pair.new_data) << pair.name << " cache " << cache;
  }
}

INSTANTIATE_TEST_SUITE_P(Pairs, RoundTrip,
                         ::testing::Combine(::testing::Range<size_t>(0, std::size(kPairNames)),
                                            ::testing::Values(Compression::kNone,
                                                              Compression::kZlib,
                                                              Compression::kZstd)),
                         [](const auto& param_info) {
                           return kPairNames[std::get<0>(param_info.param)] +
                                  ("_" + ::testing::PrintToString(std::get<1>(param_info.param)));
                         });

// Small changes make small patches: a few edits to 1 MiB cost far less than the image.
TEST(RoundTripSize, EditsCostLittle) {
  const std::string image = make_image_bytes(1 << 20, 7);
  auto patch = ota::hdiff::make_patch(bytes_of(image), bytes_of(edited(image, 3, 100)), {});
  ASSERT_TRUE(patch.ok());
  EXPECT_LT(patch->size(), 2000u);
}

// A 256 MiB new image (past 2^28, with multi-byte sizes everywhere) built mostly from a
// small old one round-trips through the smallest cache.
TEST(RoundTripSize, LargeImage) {
  const std::string old = make_image_bytes(1 << 16, 21);
  std::string big;
  big.reserve(256u << 20);
  for (unsigned i = 0; big.size() < (256u << 20); ++i) {
    const size_t cut = (i * 4099) % old.size();
    big += old.substr(cut) + old.substr(0, cut);
  }
  big.resize(256u << 20);
  big = edited(std::move(big), 4, 1000);
  // Viewed in place: a copy of 256 MiB would double the test's memory and time.
  const std::span<const uint8_t> big_view(reinterpret_cast<const uint8_t*>(big.data()), big.size());
  auto patch = ota::hdiff::make_patch(bytes_of(old), big_view, {Compression::kZstd});
  ASSERT_TRUE(patch.ok());
  ota_test::TempDir tmp;
  write_file(tmp.file("old"), old);
  write_file(tmp.file("patch"), text_of(patch.value()));
  // New goes to memory-backed storage: the disk's flush of 256 MiB would dominate the run.
  char shm[] = "/dev/shm/hpatch_test.XXXXXX";
  ASSERT_NE(mkdtemp(shm), nullptr);
  const std::string out = std::string(shm) + "/new";
  const int rc = hpatchz(tmp.file("old").c_str(), tmp.file("patch").c_str(), out.c_str(), 0);
  const bool same = rc == 0 && read_file(out) == big;
  std::filesystem::remove_all(shm);
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(same);
}

}  // namespace
