// The road record's two copies in veeprom. A write never touches the copy that holds the
// newest valid record, so a power cut in the middle of a write costs at most the change
// being written, never the state before it.
#include "road_record.h"

#include <array>
#include <cstring>

#include "crc.h"
#include "le_bytes.h"
#include "ota_log.h"
#include "veeprom_flag.h"

namespace {

constexpr uint32_t OTA_ROAD_SIZE = sizeof(ota_road_record_t);
using RoadBytes = std::array<uint8_t, OTA_ROAD_SIZE>;

// magic .. queue_len: eight consecutive 32-bit words.
constexpr size_t kHeadWords = offsetof(ota_road_record_t, queue) / 4;

// Sequence numbers wrap: `a` is newer than `b` when it lies less than half the number
// space ahead of it.
bool seq_newer(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) > 0; }

// Reads both copies as they lie in veeprom; false when veeprom cannot be read.
bool read_copies(std::array<RoadBytes, 2>* copies) {
  for (size_t i = 0; i < 2; ++i) {
    if (ota_read_from_veeprom(reinterpret_cast<char*>((*copies)[i].data()), OTA_ROAD_SIZE,
                              OTA_ROAD_OFFSETS[i]) != 0) {
      OTA_LOG_ERR("road record copy %zu at veeprom offset %u cannot be read\n", i,
                  OTA_ROAD_OFFSETS[i]);
      return false;
    }
  }
  return true;
}

}  // namespace

bool encode(const ota_road_record_t& rec, std::span<uint8_t> out) {
  if (out.size() < sizeof(rec)) {
    return false;
  }
  std::memcpy(out.data(), &rec, sizeof(rec));
  ota::store_le32_words(out.data(), &rec, kHeadWords);
  ota::store_le32(out.data() + offsetof(ota_road_record_t, unproven_mains), rec.unproven_mains);
  ota::store_le32(out.data() + offsetof(ota_road_record_t, crc32_le), rec.crc32_le);
  return true;
}

bool decode(std::span<const uint8_t> in, ota_road_record_t* rec) {
  if (rec == nullptr || in.size() < sizeof(*rec)) {
    return false;
  }
  std::memcpy(rec, in.data(), sizeof(*rec));
  ota::load_le32_words(in.data(), rec, kHeadWords);
  rec->unproven_mains = ota::load_le32(in.data() + offsetof(ota_road_record_t, unproven_mains));
  rec->crc32_le = ota::load_le32(in.data() + offsetof(ota_road_record_t, crc32_le));
  return true;
}

uint32_t ota_road_crc(const ota_road_record_t& rec) {
  RoadBytes bytes{};
  (void)encode(rec, bytes);
  return CRC32(bytes.data(), offsetof(ota_road_record_t, crc32_le));
}

bool ota_road_is_valid(const ota_road_record_t& rec) {
  return rec.magic == OTA_ROAD_MAGIC && rec.version == OTA_ROAD_VERSION &&
         static_cast<uint32_t>(rec.phase) <= OTA_ROAD_SYNCING &&
         rec.queue_len <= OTA_ROAD_QUEUE_MAX && ota_road_crc(rec) == rec.crc32_le;
}

ota_road_record_t ota_road_idle_record() {
  ota_road_record_t rec{};
  rec.magic = OTA_ROAD_MAGIC;
  rec.version = OTA_ROAD_VERSION;
  ota_road_set_idle(&rec);
  return rec;
}

void ota_road_set_idle(ota_road_record_t* rec) {
  rec->phase = OTA_ROAD_IDLE;
  rec->from_slot = OTA_ROAD_NO_SLOT;
  rec->target_slot = OTA_ROAD_NO_SLOT;
  rec->sync_slot = OTA_ROAD_NO_SLOT;
}

const char* ota_road_phase_name(ota_road_phase_e phase) {
  switch (phase) {
    case OTA_ROAD_IDLE:
      return "IDLE";
    case OTA_ROAD_WRITING:
      return "WRITING";
    case OTA_ROAD_WRITTEN:
      return "WRITTEN";
    case OTA_ROAD_SWITCHED:
      return "SWITCHED";
    case OTA_ROAD_SYNCING:
      return "SYNCING";
  }
  return "UNKNOWN";
}

int32_t ota_road_pick(std::span<const uint8_t> copy0, std::span<const uint8_t> copy1,
                      ota_road_record_t* rec) {
  std::array<ota_road_record_t, 2> recs{};
  const std::array<bool, 2> valid = {decode(copy0, &recs[0]) && ota_road_is_valid(recs[0]),
                                     decode(copy1, &recs[1]) && ota_road_is_valid(recs[1])};
  int32_t newest = -1;
  if (valid[0] && valid[1]) {
    newest = seq_newer(recs[1].seq, recs[0].seq) ? 1 : 0;
  } else if (valid[0] || valid[1]) {
    newest = valid[0] ? 0 : 1;
  }
  *rec = newest < 0 ? ota_road_idle_record() : recs[static_cast<size_t>(newest)];
  return newest;
}

int32_t ota_road_read(ota_road_record_t* rec) {
  std::array<RoadBytes, 2> copies{};
  if (rec == nullptr || !read_copies(&copies)) {
    return -1;
  }
  (void)ota_road_pick(copies[0], copies[1], rec);
  return 0;
}

int32_t ota_road_write(ota_road_record_t* rec) {
  std::array<RoadBytes, 2> copies{};
  if (rec == nullptr || !read_copies(&copies)) {
    return -1;
  }
  ota_road_record_t newest_rec{};
  const int32_t newest = ota_road_pick(copies[0], copies[1], &newest_rec);
  const size_t target = newest == 0 ? 1 : 0;
  rec->magic = OTA_ROAD_MAGIC;
  rec->version = OTA_ROAD_VERSION;
  rec->seq = newest_rec.seq + 1;  // the idle record's seq is 0
  rec->crc32_le = ota_road_crc(*rec);
  RoadBytes bytes{};
  (void)encode(*rec, bytes);
  if (ota_write_to_veeprom(reinterpret_cast<const char*>(bytes.data()), OTA_ROAD_SIZE,
                           OTA_ROAD_OFFSETS[target]) != 0) {
    OTA_LOG_ERR("road record (phase %s) cannot be written to veeprom offset %u\n",
                ota_road_phase_name(rec->phase), OTA_ROAD_OFFSETS[target]);
    return -1;
  }
  return 0;
}

bool ota_road_queue_push(ota_road_record_t* rec, std::string_view cmd) {
  if (rec->queue_len >= OTA_ROAD_QUEUE_MAX || cmd.empty() || cmd.size() >= OTA_ROAD_CMD_LEN) {
    return false;
  }
  char* slot = rec->queue[rec->queue_len];
  std::memset(slot, 0, OTA_ROAD_CMD_LEN);
  std::memcpy(slot, cmd.data(), cmd.size());
  ++rec->queue_len;
  return true;
}

void ota_road_queue_pop(ota_road_record_t* rec) {
  if (rec->queue_len == 0) {
    return;
  }
  std::memmove(rec->queue[0], rec->queue[1], (OTA_ROAD_QUEUE_MAX - 1) * OTA_ROAD_CMD_LEN);
  std::memset(rec->queue[OTA_ROAD_QUEUE_MAX - 1], 0, OTA_ROAD_CMD_LEN);
  --rec->queue_len;
}

std::string_view ota_road_queue_front(const ota_road_record_t& rec) {
  if (rec.queue_len == 0) {
    return {};
  }
  return {rec.queue[0], strnlen(rec.queue[0], OTA_ROAD_CMD_LEN)};
}
