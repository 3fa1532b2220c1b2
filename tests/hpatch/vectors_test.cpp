// Every real patch of the vector folder rebuilds its new.bin, whatever the cache size.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>

#include "hpatch.h"
#include "hpatch_test_util.h"

namespace {

using hpatch_test::kVectorDir;
using ota_test::read_file;

struct VectorCase {
  std::string pair;
  std::string patch;
};

std::vector<VectorCase> all_vectors() {
  std::vector<VectorCase> cases;
  for (const auto& pair : hpatch_test::kPairs) {
    for (const auto& patch : hpatch_test::patches_of(pair)) {
      cases.push_back({pair, patch});
    }
  }
  return cases;
}

// Cache sizes: the minimum, the usual default, and one that holds all of old and more.
constexpr size_t kWholeOld = 64u << 20;
const size_t kCacheSizes[] = {64u << 10, 8u << 20, kWholeOld};

// The folder is present and holds every format, compressor and step variant.
TEST(HpatchVectors, FolderIsComplete) {
  ASSERT_TRUE(std::filesystem::is_directory(kVectorDir)) << kVectorDir << " is missing";
  EXPECT_EQ(all_vectors().size(), 33u);
}

class VectorApply : public ::testing::TestWithParam<std::tuple<VectorCase, size_t>> {};

// Applying the patch to old.bin gives exactly new.bin.
TEST_P(VectorApply, RebuildsNew) {
  const auto& [vector, cache] = GetParam();
  const std::string dir = kVectorDir + "/" + vector.pair;
  ota_test::TempDir tmp;
  const std::string out = tmp.file("new.bin");
  // empty-old is applied with "" as old, as the tool that made it allows.
  const std::string old = vector.pair == "empty-old" ? "" : dir + "/old.bin";
  ASSERT_EQ(hpatchz(old.c_str(), (dir + "/" + vector.patch).c_str(), out.c_str(), cache), 0);
  EXPECT_TRUE(read_file(out) == read_file(dir + "/new.bin"));
}

INSTANTIATE_TEST_SUITE_P(AllVectors, VectorApply,
                         ::testing::Combine(::testing::ValuesIn(all_vectors()),
                                            ::testing::ValuesIn(kCacheSizes)),
                         [](const auto& param_info) {
                           std::string name = std::get<0>(param_info.param).pair + "_" +
                                              std::get<0>(param_info.param).patch + "_" +
                                              std::to_string(std::get<1>(param_info.param) >> 10) +
                                              "k";
                           for (char& c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) {
                               c = '_';
                             }
                           }
                           return name;
                         });

// An empty old file works as well as the empty path.
TEST(HpatchVectors, EmptyOldFile) {
  const std::string dir = kVectorDir + "/empty-old";
  ota_test::TempDir tmp;
  for (const auto& patch : hpatch_test::patches_of("empty-old")) {
    const std::string out = tmp.file(patch + ".out");
    ASSERT_EQ(hpatchz((dir + "/old.bin").c_str(), (dir + "/" + patch).c_str(), out.c_str(), 0), 0)
        << patch;
    EXPECT_TRUE(read_file(out) == read_file(dir + "/new.bin")) << patch;
  }
}

}  // namespace
