// Commands for the boot firmware. Writes the engine may not do itself (the boot control
// block in misc, NOR A/B copies, security partition copies, the AONREG clear, MCU
// notifications) are requested by writing one command record into the raw flashcmd
// partition; the firmware executes it at the next boot. Each record starts from a signed
// template under OTA_FLASHCMD_TEMPLATE_DIR and may carry a data area behind it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "le_bytes.h"

inline constexpr const char* OTA_FLASHCMD_TEMPLATE_DIR = "/usr/mirvo/share/ota";
inline constexpr const char* OTA_FLASHCMD_NODE = "/dev/block/platform/by-name/flashcmd";

inline constexpr uint32_t FLASHCMD_MAGIC = 0x46434D44;  // "DMCF" on disk
inline constexpr size_t FLASHCMD_TEMPLATE_SIZE = 2272;  // header + signature of a record
inline constexpr size_t FLASHCMD_MISCDATA_OFFSET = FLASHCMD_TEMPLATE_SIZE;
inline constexpr size_t FLASHCMD_DATA_SIZE_OFFSET = 12;  // word giving the data area size
inline constexpr size_t FLASHCMD_TRAILER_SIZE = 4;       // zero bytes after the data area
inline constexpr size_t FLASHCMD_SIGN_SIZE = 2048;
inline constexpr size_t FLASHCMD_AB_MAX = 16;

// Command names; each is also the file name of its template.
inline constexpr const char* FLASHCMD_MISC_WRITE = "misc_write_cmd";
inline constexpr const char* FLASHCMD_OTHER_A2B = "other_a2b_cmd";
inline constexpr const char* FLASHCMD_OTHER_B2A = "other_b2a_cmd";
inline constexpr const char* FLASHCMD_HSM_M2B = "hsm_m2b_cmd";
inline constexpr const char* FLASHCMD_HSM_B2M = "hsm_b2m_cmd";
inline constexpr const char* FLASHCMD_AONREG_WRITE = "aonreg_write_cmd";

// `partinfo` of a command, read in one of two forms over the same 196 bytes.
struct flashcmd_partinfo_misc_s {
  uint32_t offset;
  uint32_t length;
};
static_assert(sizeof(flashcmd_partinfo_misc_s) == 8);

struct flashcmd_partinfo_ab_s {
  uint32_t imagenum;
  uint32_t offsetA[FLASHCMD_AB_MAX];
  uint32_t offsetB[FLASHCMD_AB_MAX];
  uint32_t length[FLASHCMD_AB_MAX];
};
static_assert(sizeof(flashcmd_partinfo_ab_s) == 196);
static_assert(offsetof(flashcmd_partinfo_ab_s, imagenum) == 0);
static_assert(offsetof(flashcmd_partinfo_ab_s, offsetA) == 4);
static_assert(offsetof(flashcmd_partinfo_ab_s, offsetB) == 68);
static_assert(offsetof(flashcmd_partinfo_ab_s, length) == 132);

union flashcmd_partinfo_u {
  flashcmd_partinfo_misc_s misc;
  flashcmd_partinfo_ab_s ab;
};
static_assert(sizeof(flashcmd_partinfo_u) == 196);

// The fixed part of a command record (the template); the data area follows at 2272.
struct fimage_update_s {
  uint32_t magic;
  uint32_t cmdtype;
  flashcmd_partinfo_u partinfo;
  uint32_t reserved[4];
  uint32_t signlen;
  uint8_t signdata[FLASHCMD_SIGN_SIZE];
};
static_assert(sizeof(fimage_update_s) == FLASHCMD_TEMPLATE_SIZE);
static_assert(offsetof(fimage_update_s, magic) == 0);
static_assert(offsetof(fimage_update_s, cmdtype) == 4);
static_assert(offsetof(fimage_update_s, partinfo) == 8);
static_assert(offsetof(fimage_update_s, partinfo.misc.offset) == 8);
static_assert(offsetof(fimage_update_s, partinfo.misc.length) == FLASHCMD_DATA_SIZE_OFFSET);
static_assert(offsetof(fimage_update_s, partinfo.ab.offsetA) == 12);
static_assert(offsetof(fimage_update_s, partinfo.ab.offsetB) == 76);
static_assert(offsetof(fimage_update_s, partinfo.ab.length) == 140);
static_assert(offsetof(fimage_update_s, reserved) == 204);
static_assert(offsetof(fimage_update_s, signlen) == 220);
static_assert(offsetof(fimage_update_s, signdata) == 224);
static_assert(std::is_trivially_copyable_v<fimage_update_s>);

// NOR A/B sync table, the data of "other_a2b_cmd" and "other_b2a_cmd".
inline constexpr uint32_t ABSYNC_VALID = 0xDEADBEEF;
struct absync_misc_data {
  uint32_t valid_status;
  uint32_t imagenum;
  uint32_t offsetA[FLASHCMD_AB_MAX];
  uint32_t offsetB[FLASHCMD_AB_MAX];
  uint32_t length[FLASHCMD_AB_MAX];
};
static_assert(sizeof(absync_misc_data) == 200);
static_assert(offsetof(absync_misc_data, valid_status) == 0);
static_assert(offsetof(absync_misc_data, imagenum) == 4);
static_assert(offsetof(absync_misc_data, offsetA) == 8);
static_assert(offsetof(absync_misc_data, offsetB) == 72);
static_assert(offsetof(absync_misc_data, length) == 136);
static_assert(std::is_trivially_copyable_v<absync_misc_data>);

// MCU notifications and their template names.
enum msg2mcu : uint32_t {
  MCU_START_OTA = 0,
  MCU_POST_OTA = 1,
  MCU_ABORT_OTA = 2,
  MCU_PRE_REBOOT = 3,
};
inline constexpr size_t MSG2MCU_NUM = 4;
inline constexpr char msg2mcu_cmds[MSG2MCU_NUM][32] = {"mcu_start_ota", "mcu_post_ota",
                                                       "mcu_abort_ota", "mcu_pre_reboot"};

// --- Codecs (little-endian on the medium). They fail only when the span is too short.

[[nodiscard]] inline bool encode(const fimage_update_s& rec, std::span<uint8_t> out) {
  if (out.size() < sizeof(rec)) {
    return false;
  }
  std::memcpy(out.data(), &rec, sizeof(rec));
  // Everything before signdata is 32-bit words, whichever partinfo form was filled.
  ota::store_le32_words(out.data(), &rec, offsetof(fimage_update_s, signdata) / 4);
  return true;
}

[[nodiscard]] inline bool decode(std::span<const uint8_t> in, fimage_update_s* rec) {
  if (rec == nullptr || in.size() < sizeof(*rec)) {
    return false;
  }
  std::memcpy(rec, in.data(), sizeof(*rec));
  ota::load_le32_words(in.data(), rec, offsetof(fimage_update_s, signdata) / 4);
  return true;
}

[[nodiscard]] inline bool encode(const absync_misc_data& rec, std::span<uint8_t> out) {
  if (out.size() < sizeof(rec)) {
    return false;
  }
  ota::store_le32_words(out.data(), &rec, sizeof(rec) / 4);
  return true;
}

[[nodiscard]] inline bool decode(std::span<const uint8_t> in, absync_misc_data* rec) {
  if (rec == nullptr || in.size() < sizeof(*rec)) {
    return false;
  }
  ota::load_le32_words(in.data(), rec, sizeof(*rec) / 4);
  return true;
}

// --- Senders.

// True for the commands that carry a data area ("misc_write_cmd", "other_a2b_cmd",
// "other_b2a_cmd").
[[nodiscard]] bool ota_flashcmd_has_data(const char* cmd);

// Builds the record of `cmd` from its template bytes: the 2272 template bytes, for a
// data command a zeroed data area of the template's size with data_len bytes of
// misc_data at `offset`, and 4 zero bytes. 0, -1 (bad template, data out of range,
// null data), -17 (no memory).
[[nodiscard]] int32_t ota_build_flashcmd(const char* cmd, std::span<const uint8_t> tmpl,
                                         const void* misc_data, uint32_t data_len, uint32_t offset,
                                         std::vector<uint8_t>* record);

// Sends `cmd` to the firmware through the flashcmd partition. 0, -6 (null cmd), -17 (no
// memory), -1 for any other failure. Success means the record is on stable storage, or,
// while another command is pending (or others wait before it), that a command without
// data waits in the road record's queue. A data command is refused (-1) rather than
// replace a pending command.
[[nodiscard]] int32_t ota_write_flashcmd(const char* cmd, void* misc_data, uint32_t data_len,
                                         uint32_t offset);

// Sends an MCU notification: exactly the 2272 template bytes, queued like any command
// without data while the channel is busy. 0, -10 (msg above 3), -2
// (template missing), -17 (no memory), the negative write result, or -1.
[[nodiscard]] int notify_mcu(msg2mcu msg);

// --- The channel's state and the queue of waiting commands.

// 1 when a command is pending (magic "DMCF" at offset 0; `name` gets its name, or
// "cmdtype N" for a type no template carries), 0 when the channel is free, -1 when the
// partition cannot be read.
[[nodiscard]] int32_t ota_flashcmd_pending(std::string* name);
// Sends the oldest queued command when the channel is free and removes it from the
// queue; one per call. 1 sent, 0 nothing sent (queue empty, channel busy, or a queued
// command without a usable template dropped), -1 on failure.
[[nodiscard]] int32_t ota_flashcmd_drain_queue();
// Clears the pending command when it is `cmd` (one left by an older engine that would be
// carried out over newer state). 1 cleared, 0 not pending, -1 on failure.
[[nodiscard]] int32_t ota_flashcmd_drop_pending(const char* cmd);
