#include "road_record.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "crc.h"
#include "le_bytes.h"

namespace {

using Bytes = std::vector<uint8_t>;

ota_road_record_t sample_record(uint32_t seq) {
  ota_road_record_t rec = ota_road_idle_record();
  rec.seq = seq;
  rec.phase = OTA_ROAD_SYNCING;
  rec.from_slot = 0;
  rec.target_slot = 1;
  rec.sync_slot = 0;
  rec.unproven_mains = 0x0A;
  EXPECT_TRUE(ota_road_queue_push(&rec, "aonreg_write_cmd"));
  EXPECT_TRUE(ota_road_queue_push(&rec, "mcu_post_ota"));
  rec.crc32_le = ota_road_crc(rec);
  return rec;
}

Bytes encoded(const ota_road_record_t& rec) {
  Bytes bytes(sizeof(rec));
  EXPECT_TRUE(encode(rec, bytes));
  return bytes;
}

// Every field lies little-endian at its offset, queue names at 32 + 32 * i, the CRC at 252
// covers bytes 0..251, and decoding gives the same record back.
TEST(RoadRecordCodec, PinnedBytesAndRoundTrip) {
  const ota_road_record_t rec = sample_record(0x01020304);
  const Bytes bytes = encoded(rec);
  EXPECT_EQ(std::memcmp(bytes.data(), "ROAD", 4), 0);
  const std::pair<size_t, uint32_t> words[] = {{4, 1},  {8, 0x01020304}, {12, 4}, {16, 0},
                                               {20, 1}, {24, 0},         {28, 2}};
  for (const auto& [offset, value] : words) {
    EXPECT_EQ(ota::load_le32(bytes.data() + offset), value) << "offset " << offset;
  }
  EXPECT_EQ(bytes[8], 0x04);  // least significant byte first
  EXPECT_STREQ(reinterpret_cast<const char*>(bytes.data() + 32), "aonreg_write_cmd");
  EXPECT_STREQ(reinterpret_cast<const char*>(bytes.data() + 64), "mcu_post_ota");
  EXPECT_EQ(ota::load_le32(bytes.data() + 160), 0x0Au);  // the unproven main copies
  EXPECT_EQ(bytes[160], 0x0A);
  EXPECT_EQ(ota::load_le32(bytes.data() + 252), CRC32(bytes.data(), 252));

  ota_road_record_t back{};
  ASSERT_TRUE(decode(bytes, &back));
  EXPECT_EQ(std::memcmp(&back, &rec, sizeof(rec)), 0);
  EXPECT_TRUE(ota_road_is_valid(back));
  EXPECT_FALSE(decode(std::span<const uint8_t>(bytes).first(255), &back));
}

// The idle record names no slot and no phase beyond IDLE, so a board without a record
// never looks as if an update were pending. Back to IDLE a record forgets the update,
// never what outlives it: the queued firmware commands and the main copies that still
// hold unproven writes.
TEST(RoadRecordCodec, IdleRecordAndBackToIdle) {
  const ota_road_record_t idle = ota_road_idle_record();
  ota_road_record_t rec = sample_record(7);
  ota_road_set_idle(&rec);
  for (const auto& r : {idle, rec}) {
    EXPECT_EQ(r.phase, OTA_ROAD_IDLE);
    EXPECT_EQ(r.target_slot, OTA_ROAD_NO_SLOT);
    EXPECT_EQ(r.sync_slot, OTA_ROAD_NO_SLOT);
  }
  EXPECT_EQ(idle.from_slot, OTA_ROAD_NO_SLOT);
  EXPECT_EQ(idle.queue_len, 0U);
  EXPECT_EQ(idle.seq, 0U);
  EXPECT_EQ(rec.queue_len, 2u);
  EXPECT_EQ(rec.unproven_mains, 0x0Au);
}

enum class Copy { kValid, kTorn, kBlankFF, kZero, kBadPhase, kLongQueue };

Bytes make_copy(Copy kind, uint32_t seq) {
  ota_road_record_t rec = sample_record(seq);
  rec.phase = static_cast<ota_road_phase_e>(seq % 5);  // tells the copies apart
  switch (kind) {
    case Copy::kBlankFF:
      return Bytes(sizeof(rec), 0xFF);
    case Copy::kZero:
      return Bytes(sizeof(rec), 0x00);
    case Copy::kBadPhase:
      rec.phase = static_cast<ota_road_phase_e>(5);
      break;
    case Copy::kLongQueue:
      rec.queue_len = OTA_ROAD_QUEUE_MAX + 1;
      break;
    default:
      break;
  }
  rec.crc32_le = ota_road_crc(rec);  // a sound CRC: only the range checks refuse these
  Bytes bytes = encoded(rec);
  if (kind == Copy::kTorn) {
    bytes[100] ^= 0x40;  // a write cut short inside the queue area
  }
  return bytes;
}

// The reader takes the valid copy with the newer sequence number (across the wrap), falls
// back to the other copy when one is damaged, and reads idle when neither is valid.
TEST(RoadRecordPick, NewestValidCopy) {
  const struct {
    const char* name;
    Copy kind0;
    uint32_t seq0;
    Copy kind1;
    uint32_t seq1;
    int32_t picked;
  } cases[] = {{"SecondNewer", Copy::kValid, 7, Copy::kValid, 8, 1},
               {"FirstNewer", Copy::kValid, 9, Copy::kValid, 8, 0},
               {"TornNewerFallsBack", Copy::kValid, 7, Copy::kTorn, 8, 0},
               {"TornFirstFallsBack", Copy::kTorn, 9, Copy::kValid, 8, 1},
               {"BothInvalid", Copy::kBlankFF, 0, Copy::kTorn, 3, -1},
               {"BothZero", Copy::kZero, 0, Copy::kZero, 0, -1},
               {"BadPhaseRefused", Copy::kValid, 2, Copy::kBadPhase, 3, 0},
               {"LongQueueRefused", Copy::kLongQueue, 4, Copy::kValid, 3, 1},
               {"WrapZeroAfterMax", Copy::kValid, 0xFFFFFFFF, Copy::kValid, 0, 1},
               {"WrapMaxBeforeOne", Copy::kValid, 1, Copy::kValid, 0xFFFFFFFF, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ota_road_record_t rec{};
    const int32_t picked =
        ota_road_pick(make_copy(c.kind0, c.seq0), make_copy(c.kind1, c.seq1), &rec);
    ASSERT_EQ(picked, c.picked);
    const ota_road_record_t idle = ota_road_idle_record();
    if (picked < 0) {
      EXPECT_EQ(std::memcmp(&rec, &idle, sizeof(rec)), 0);
      continue;
    }
    const uint32_t seq = picked == 0 ? c.seq0 : c.seq1;
    EXPECT_EQ(rec.seq, seq);
    EXPECT_EQ(rec.phase, static_cast<ota_road_phase_e>(seq % 5));
  }
}

// The queue is first in, first out, holds four names of at most 31 characters and refuses
// what does not fit instead of dropping an older command.
TEST(RoadRecordQueue, FifoWithinLimits) {
  ota_road_record_t rec = ota_road_idle_record();
  EXPECT_TRUE(ota_road_queue_front(rec).empty());
  const std::array<const char*, 4> names = {"aonreg_write_cmd", "mcu_start_ota", "mcu_post_ota",
                                            "mcu_pre_reboot"};
  for (const char* name : names) {
    ASSERT_TRUE(ota_road_queue_push(&rec, name));
  }
  EXPECT_FALSE(ota_road_queue_push(&rec, "mcu_abort_ota"));
  EXPECT_EQ(rec.queue_len, 4U);
  for (const char* name : names) {
    EXPECT_EQ(ota_road_queue_front(rec), name);
    ota_road_queue_pop(&rec);
  }
  EXPECT_EQ(rec.queue_len, 0U);
  ota_road_queue_pop(&rec);  // popping an empty queue leaves it empty
  EXPECT_EQ(rec.queue_len, 0U);
  EXPECT_FALSE(ota_road_queue_push(&rec, std::string(32, 'x')));
  EXPECT_FALSE(ota_road_queue_push(&rec, ""));
  ASSERT_TRUE(ota_road_queue_push(&rec, std::string(31, 'y')));
  EXPECT_EQ(ota_road_queue_front(rec), std::string(31, 'y'));
}

}  // namespace
