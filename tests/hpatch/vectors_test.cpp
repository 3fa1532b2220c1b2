// Stored inputs replayed: every real patch of the vector folder rebuilds its new.bin,
// whatever the cache size, and the fuzz target's seed corpus applies or is refused
// without a fault (under the sanitizers in the asan build).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>

#include "fuzz_hpatch_one.h"
#include "hpatch.h"
#include "hpatch_test_util.h"

namespace {

using hpatch_test::kVectorDir;
using ota_test::read_file;

struct VectorCase {
  std::string pair;
  std::string patch;
};

void PrintTo(const VectorCase& c, std::ostream* os) { *os << c.pair << "/" << c.patch; }

std::vector<VectorCase> all_vectors() {
  std::vector<VectorCase> cases;
  for (const auto& pair : hpatch_test::kPairs) {
    for (const auto& patch : hpatch_test::patches_of(pair)) {
      cases.push_back({pair, patch});
    }
  }
  return cases;
}

// The folder is present and holds every format, compressor and step variant.
TEST(HpatchVectors, FolderIsComplete) {
  ASSERT_TRUE(std::filesystem::is_directory(kVectorDir)) << kVectorDir << " is missing";
  EXPECT_EQ(all_vectors().size(), 33u);
}

class VectorApply : public ::testing::TestWithParam<std::tuple<VectorCase, size_t>> {};

// Applying the patch to old.bin gives exactly new.bin; an empty old is given both as ""
// (as the tool that made it allows) and as the empty file.
TEST_P(VectorApply, RebuildsNew) {
  const auto& [vector, cache] = GetParam();
  const std::string dir = kVectorDir + "/" + vector.pair;
  ota_test::TempDir tmp;
  const std::string out = tmp.file("new.bin");
  std::vector<std::string> olds = {dir + "/old.bin"};
  if (vector.pair == "empty-old") {
    olds.emplace_back("");
  }
  for (const std::string& old : olds) {
    ASSERT_EQ(hpatchz(old.c_str(), (dir + "/" + vector.patch).c_str(), out.c_str(), cache), 0)
        << "old '" << old << "'";
    EXPECT_TRUE(read_file(out) == read_file(dir + "/new.bin")) << "old '" << old << "'";
  }
}

// Cache sizes: the minimum, the usual default, and one that holds all of old and more.
INSTANTIATE_TEST_SUITE_P(AllVectors, VectorApply,
                         ::testing::Combine(::testing::ValuesIn(all_vectors()),
                                            ::testing::Values(64u << 10, 8u << 20, 64u << 20)),
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

// Seeds named ok-* apply to the fuzz target's old image, bad-* are refused, and every
// other seed is applied or refused without breaking the output-size promise. The
// hand-made HDIFFSF20 seed rebuilds what it was written for: old[0,100) with three bytes
// raised, "HELLO", old[200,300), "!!".
TEST(HpatchCorpus, ReplaysEverySeed) {
  size_t seeds = 0;
  size_t applied = 0;
  bool single_seen = false;
  for (const auto& entry : std::filesystem::directory_iterator(OTA_HPATCH_CORPUS_DIR)) {
    const std::string name = entry.path().filename().string();
    const std::string data = read_file(entry.path().string());
    const bool ok =
        fuzz_hpatch::apply_one(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    if (name.rfind("ok-", 0) == 0 || name.rfind("bad-", 0) == 0) {
      EXPECT_EQ(ok, name[0] == 'o') << name;
    }
    applied += ok ? 1 : 0;
    ++seeds;
    if (name != "ok-single-raw.hdiff") {
      continue;
    }
    single_seen = true;
    const auto& old = fuzz_hpatch::old_pattern();
    std::string want(old.begin(), old.begin() + 100);
    for (int i = 0; i < 3; ++i) {
      want[10 + i] = static_cast<char>(want[10 + i] + 1 + i);
    }
    want += "HELLO" + std::string(old.begin() + 200, old.begin() + 300) + "!!";
    const std::vector<uint8_t> out = fuzz_hpatch::last_output();
    EXPECT_EQ(std::string(out.begin(), out.end()), want);
  }
  EXPECT_TRUE(single_seen);
  EXPECT_GE(seeds, 25u);
  EXPECT_GE(applied, 19u);
}

}  // namespace
