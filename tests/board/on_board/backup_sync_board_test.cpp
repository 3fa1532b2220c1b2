// The engine's own copies between the security partitions and their backups.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>

#include <gtest/gtest.h>

#include "backup_sync.h"
#include "board_records.h"
#include "unique_fd.h"

namespace {

using namespace board_io;
using namespace board_records;

std::string dev(const std::string& name) { return std::string(kByName) + name; }

struct Pair {
  std::string main;
  std::string bak;
  size_t size;
};

// Fills each main and backup device with its own content; returns the pairs.
std::vector<Pair> fill_pairs() {
  std::vector<Pair> pairs;
  unsigned seed = 80;
  for (const auto& p : OTA_BACKUP_PAIRS) {
    const size_t size = layout().find(p.main)->size;
    write_dev(dev(p.main), 0, pattern(size, seed++));
    write_dev(dev(p.backup), 0, pattern(size, seed++));
    pairs.push_back({p.main, p.backup, size});
  }
  return pairs;
}

// Each direction copies every pair in that direction, all but the target's 2048-byte
// trailer, which stays the target's own; no command reaches the firmware's channel.
TEST(BackupSyncBoard, CopiesEveryPairInTheDirectionAsked) {
  for (const char* direction : {"hsm_m2b_cmd", "hsm_b2m_cmd"}) {
    const bool to_backup = std::string(direction) == "hsm_m2b_cmd";
    const auto pairs = fill_pairs();
    std::vector<std::vector<uint8_t>> expected;
    for (const Pair& p : pairs) {
      auto from = read_dev(dev(to_backup ? p.main : p.bak), 0, p.size);
      const auto to = read_dev(dev(to_backup ? p.bak : p.main), 0, p.size);
      std::copy(to.end() - OTA_BACKUP_TRAILER, to.end(), from.end() - OTA_BACKUP_TRAILER);
      expected.push_back(from);
    }
    ASSERT_EQ(ota_sync_back_part(direction), 0) << direction;
    for (size_t i = 0; i < pairs.size(); ++i) {
      const Pair& p = pairs[i];
      EXPECT_EQ(read_dev(dev(to_backup ? p.bak : p.main), 0, p.size), expected[i])
          << direction << " " << p.main;
    }
    EXPECT_EQ(read_dev(kFlashcmd, 0, 8), filled(8, 0)) << direction;
  }
}

// A pair that cannot be copied stops the sync there with the pair named; later pairs are
// left alone; an unknown direction changes nothing.
TEST(BackupSyncBoard, FailingPairStopsTheSync) {
  const auto pairs = fill_pairs();
  const auto sbl_bak = read_dev(dev("SBL_bak"), 0, pairs[3].size);
  {
    const ota::UniqueFd fd = ota::open_fd(dev("HSM_RCA_bak").c_str(), O_RDONLY);
    int ro = 1;
    ASSERT_EQ(::ioctl(fd.get(), BLKROSET, &ro), 0);
  }
  ota_test::clear_log_records();
  EXPECT_LT(ota_sync_back_part("hsm_m2b_cmd"), 0);
  EXPECT_TRUE(
      ota_test::log_contains(dev("HSM_RCA") + " and " + dev("HSM_RCA_bak") + " md5 check failed"));
  EXPECT_EQ(read_dev(dev("SBL_bak"), 0, pairs[3].size), sbl_bak);

  const auto hsm_fw = read_dev(dev("HSM_FW_bak"), 0, pairs[0].size);
  EXPECT_EQ(ota_sync_back_part("other_a2b_cmd"), -1);
  EXPECT_EQ(ota_sync_back_part(nullptr), -1);
  EXPECT_EQ(read_dev(dev("HSM_FW_bak"), 0, pairs[0].size), hsm_fw);
}

}  // namespace
