// The road record's two copies in the veeprom partition of a virtual board.
#include <gtest/gtest.h>

#include "board_records.h"
#include "road_record.h"

namespace {

using namespace board_io;
using namespace board_records;

ota_road_record_t copy_on_disk(size_t index) {
  ota_road_record_t rec{};
  EXPECT_TRUE(decode(read_dev(kVeeprom, OTA_ROAD_OFFSETS[index], sizeof(rec)), &rec));
  return rec;
}

int32_t write_phase(ota_road_phase_e phase, uint32_t target) {
  ota_road_record_t rec{};
  EXPECT_EQ(ota_road_read(&rec), 0);
  rec.phase = phase;
  rec.target_slot = target;
  return ota_road_write(&rec);
}

// Writes alternate between the copies with growing sequence numbers, each flushed and
// read back; nothing else in veeprom (status and anti-rollback records) changes.
TEST(RoadRecordBoard, WritesAlternateCopies) {
  write_dev(kVeeprom, 0, filled(4096, 0xFF));
  ota_road_record_t rec{};
  ASSERT_EQ(ota_road_read(&rec), 0);
  EXPECT_EQ(rec.phase, OTA_ROAD_IDLE);
  EXPECT_EQ(rec.target_slot, OTA_ROAD_NO_SLOT);

  const auto before = read_dev(kVeeprom, 0, 4096);
  ASSERT_EQ(write_phase(OTA_ROAD_WRITING, 1), 0);
  EXPECT_EQ(copy_on_disk(0).seq, 1U);
  EXPECT_EQ(copy_on_disk(0).phase, OTA_ROAD_WRITING);
  ASSERT_EQ(write_phase(OTA_ROAD_WRITTEN, 1), 0);
  EXPECT_EQ(copy_on_disk(1).seq, 2U);
  EXPECT_EQ(copy_on_disk(0).phase, OTA_ROAD_WRITING);  // the older copy stays whole
  ASSERT_EQ(write_phase(OTA_ROAD_SWITCHED, 1), 0);
  EXPECT_EQ(copy_on_disk(0).seq, 3U);

  ASSERT_EQ(ota_road_read(&rec), 0);
  EXPECT_EQ(rec.phase, OTA_ROAD_SWITCHED);
  EXPECT_EQ(rec.target_slot, 1U);
  const auto after = read_dev(kVeeprom, 0, 4096);
  for (size_t i = 0; i < after.size(); ++i) {
    const bool in_road = (i >= OTA_ROAD_OFFSETS[0] && i < OTA_ROAD_OFFSETS[0] + 256) ||
                         (i >= OTA_ROAD_OFFSETS[1] && i < OTA_ROAD_OFFSETS[1] + 256);
    if (!in_road) {
      ASSERT_EQ(after[i], before[i]) << "road write changed veeprom byte " << i;
    }
  }
}

// A write torn on the medium (the newest copy damaged) leaves the state before it, and the
// next write goes over the damaged copy, not over the good one.
TEST(RoadRecordBoard, TornWriteFallsBackAndIsOverwritten) {
  ASSERT_EQ(write_phase(OTA_ROAD_WRITING, 0), 0);  // some copy
  ASSERT_EQ(write_phase(OTA_ROAD_WRITTEN, 0), 0);  // the other copy, newer
  ota_road_record_t rec{};
  ASSERT_EQ(ota_road_read(&rec), 0);
  const size_t newer = copy_on_disk(0).seq == rec.seq ? 0 : 1;
  auto bytes = read_dev(kVeeprom, OTA_ROAD_OFFSETS[newer], 256);
  bytes[40] ^= 0x01;
  write_dev(kVeeprom, OTA_ROAD_OFFSETS[newer], bytes);

  ASSERT_EQ(ota_road_read(&rec), 0);
  EXPECT_EQ(rec.phase, OTA_ROAD_WRITING);
  ASSERT_EQ(write_phase(OTA_ROAD_SWITCHED, 0), 0);
  EXPECT_EQ(copy_on_disk(newer).phase, OTA_ROAD_SWITCHED);
  EXPECT_EQ(copy_on_disk(1 - newer).phase, OTA_ROAD_WRITING);
  ASSERT_EQ(ota_road_read(&rec), 0);
  EXPECT_EQ(rec.phase, OTA_ROAD_SWITCHED);
}

}  // namespace
