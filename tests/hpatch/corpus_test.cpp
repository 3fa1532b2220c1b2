// The fuzz target's seed corpus, replayed as ordinary tests (under the sanitizers in the
// asan build): nothing faults, valid seeds apply, foreign ones are refused.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "fuzz_hpatch_one.h"
#include "test_support.h"

namespace {

const std::string kCorpusDir = OTA_HPATCH_CORPUS_DIR;

// Seeds named ok-* apply to the fuzz target's old image, bad-* are refused, and every
// other seed is applied or refused without breaking the output-size promise.
TEST(HpatchCorpus, ReplaysEverySeed) {
  size_t seeds = 0;
  size_t applied = 0;
  for (const auto& entry : std::filesystem::directory_iterator(kCorpusDir)) {
    const std::string name = entry.path().filename().string();
    const std::string data = ota_test::read_file(entry.path().string());
    const bool ok =
        fuzz_hpatch::apply_one(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    if (name.rfind("ok-", 0) == 0) {
      EXPECT_TRUE(ok) << name;
    } else if (name.rfind("bad-", 0) == 0) {
      EXPECT_FALSE(ok) << name;
    }
    applied += ok ? 1 : 0;
    ++seeds;
  }
  EXPECT_GE(seeds, 25u);
  EXPECT_GE(applied, 19u);
}

// The hand-made HDIFFSF20 seed rebuilds what it was written for: old[0,100) with three
// bytes raised, "HELLO", old[200,300), "!!".
TEST(HpatchCorpus, SingleStreamSeedOutput) {
  const std::string data = ota_test::read_file(kCorpusDir + "/ok-single-raw.hdiff");
  ASSERT_TRUE(fuzz_hpatch::apply_one(reinterpret_cast<const uint8_t*>(data.data()), data.size()));
  const auto& old = fuzz_hpatch::old_pattern();
  std::vector<uint8_t> want(old.begin(), old.begin() + 100);
  want[10] = static_cast<uint8_t>(want[10] + 1);
  want[11] = static_cast<uint8_t>(want[11] + 2);
  want[12] = static_cast<uint8_t>(want[12] + 3);
  std::string expected(want.begin(), want.end());
  expected += "HELLO";
  expected.append(old.begin() + 200, old.begin() + 300);
  expected += "!!";
  const std::vector<uint8_t> out = fuzz_hpatch::last_output();
  EXPECT_EQ(std::string(out.begin(), out.end()), expected);
}

}  // namespace
