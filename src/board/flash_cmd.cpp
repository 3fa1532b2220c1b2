#include "flash_cmd.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "ota_log.h"
#include "road_record.h"
#include "unique_fd.h"

namespace {

using TemplateBytes = std::array<uint8_t, FLASHCMD_TEMPLATE_SIZE>;

// Reads and checks the template of `name`. 0, -2 (cannot open), -1 (short or bad magic).
int32_t load_template(const char* name, TemplateBytes* tmpl) {
  char path[256];
  const int len = std::snprintf(path, sizeof(path), "%s/%s", OTA_FLASHCMD_TEMPLATE_DIR, name);
  // A cut-off name could open some other template.
  ota::UniqueFd fd;
  if (len > 0 && static_cast<size_t>(len) < sizeof(path)) {
    fd = ota::open_fd(path, O_RDONLY);
  }
  if (!fd) {
    OTA_LOG_ERR("open flashcmd: %s failed\n", path);
    return -2;
  }
  const ssize_t got = ota::read_full(fd.get(), tmpl->data(), tmpl->size());
  if (got != static_cast<ssize_t>(tmpl->size())) {
    OTA_LOG_ERR("read cmd failed\n");
    return -1;
  }
  const uint32_t magic = ota::load_le32(tmpl->data());
  if (magic != FLASHCMD_MAGIC) {
    OTA_LOG_ERR("Invalid flash cmd magic: %x\n", magic);
    return -1;
  }
  return 0;
}

// Puts a record in the flashcmd partition from its first byte and makes it durable: the
// firmware may run it at any reset from now on. 0 or -1.
int32_t write_record(const uint8_t* record, size_t size) {
  ota::UniqueFd fd = ota::open_fd(OTA_FLASHCMD_NODE, O_WRONLY);
  if (!fd) {
    OTA_LOG_ERR("open flashcmd node: %s failed\n", OTA_FLASHCMD_NODE);
    return -1;
  }
  // A record cut off at the end of the partition would replace the pending command with
  // a broken one: refuse it before the first byte is written.
  const off_t capacity = ::lseek(fd.get(), 0, SEEK_END);
  if (capacity >= 0 && static_cast<uint64_t>(capacity) < size) {
    OTA_LOG_ERR("write cmd failed\n");
    OTA_LOG_ERR("record of %zu bytes does not fit %s (%lld bytes)\n", size, OTA_FLASHCMD_NODE,
                static_cast<long long>(capacity));
    return -1;
  }
  // The firmware carries out whatever follows a valid magic. A record written in one go
  // may reach the medium sector by sector, so a power cut could leave the new magic over
  // old data: the body goes first with no magic and is flushed, then the magic alone
  // (one sector, so it lands whole or not at all).
  std::vector<uint8_t> body;
  try {
    body.assign(record, record + size);
  } catch (const std::bad_alloc&) {
    OTA_LOG_ERR("malloc failed\n");
    return -1;
  }
  std::fill_n(body.begin(), sizeof(uint32_t), 0);
  if (!ota::pwrite_full(fd.get(), body.data(), size, 0) || !ota::sync_fd(fd.get()) ||
      !ota::pwrite_full(fd.get(), record, sizeof(uint32_t), 0) || !ota::sync_fd(fd.get()) ||
      fd.close() != 0) {
    const int err = errno;
    OTA_LOG_ERR("write cmd failed\n");
    OTA_LOG_ERR("%s: %s\n", OTA_FLASHCMD_NODE, std::strerror(err));
    return -1;
  }
  return 0;
}

// Every command the engine knows, to name the one pending in the channel.
constexpr const char* kCommandNames[] = {
    FLASHCMD_MISC_WRITE, FLASHCMD_OTHER_A2B,    FLASHCMD_OTHER_B2A, FLASHCMD_HSM_M2B,
    FLASHCMD_HSM_B2M,    FLASHCMD_AONREG_WRITE, msg2mcu_cmds[0],    msg2mcu_cmds[1],
    msg2mcu_cmds[2],     msg2mcu_cmds[3]};

// The name of the command whose template carries `cmdtype`, or "cmdtype N".
std::string command_name(uint32_t cmdtype) {
  for (const char* name : kCommandNames) {
    const std::string path = std::string(OTA_FLASHCMD_TEMPLATE_DIR) + "/" + name;
    std::array<uint8_t, 8> head{};
    const ota::UniqueFd fd = ota::open_fd(path.c_str(), O_RDONLY);
    if (fd &&
        ota::read_full(fd.get(), head.data(), head.size()) == static_cast<ssize_t>(head.size()) &&
        ota::load_le32(head.data() + 4) == cmdtype) {
      return name;
    }
  }
  return "cmdtype " + std::to_string(cmdtype);
}

// The channel holds one command and the firmware clears it once carried out. A new
// command never replaces a pending one: a command without data waits in the road
// record's queue (behind any already waiting), a data command is refused. 0 or -1.
int32_t send_or_queue(const char* cmd, std::span<const uint8_t> record) {
  std::string pending;
  const int32_t busy = ota_flashcmd_pending(&pending);
  ota_road_record_t road{};
  if (busy < 0 || ota_road_read(&road) != 0) {
    OTA_LOG_ERR("flash command %s not sent: the channel state cannot be read\n", cmd);
    return -1;
  }
  if (busy == 0 && road.queue_len == 0) {
    return write_record(record.data(), record.size());
  }
  if (ota_flashcmd_has_data(cmd)) {
    if (busy == 0) {
      return write_record(record.data(), record.size());  // data cannot wait in the queue
    }
    OTA_LOG_ERR("flash command %s refused: %s is pending and a data command cannot wait\n", cmd,
                pending.c_str());
    return -1;
  }
  if (!ota_road_queue_push(&road, cmd)) {
    OTA_LOG_ERR("flash command %s refused: the queue of %zu commands is full\n", cmd,
                OTA_ROAD_QUEUE_MAX);
    return -1;
  }
  if (ota_road_write(&road) != 0) {
    return -1;
  }
  if (busy != 0) {
    OTA_LOG_WARN("flash channel busy with %s: %s queued until the firmware has carried it out\n",
                 pending.c_str(), cmd);
    return 0;
  }
  return ota_flashcmd_drain_queue() < 0 ? -1 : 0;  // the oldest waiting goes first
}

}  // namespace

bool ota_flashcmd_has_data(const char* cmd) {
  if (cmd == nullptr) {
    return false;
  }
  const std::string_view name(cmd);
  return name == FLASHCMD_MISC_WRITE || name == FLASHCMD_OTHER_A2B || name == FLASHCMD_OTHER_B2A;
}

int32_t ota_build_flashcmd(const char* cmd, std::span<const uint8_t> tmpl, const void* misc_data,
                           uint32_t data_len, uint32_t offset, std::vector<uint8_t>* record) {
  if (cmd == nullptr || record == nullptr) {
    return -6;
  }
  if (tmpl.size() < FLASHCMD_TEMPLATE_SIZE || ota::load_le32(tmpl.data()) != FLASHCMD_MAGIC) {
    OTA_LOG_ERR("Invalid flash cmd magic: %x\n",
                tmpl.size() < 4 ? 0U : ota::load_le32(tmpl.data()));
    return -1;
  }
  const bool has_data = ota_flashcmd_has_data(cmd);
  const uint64_t area = ota::load_le32(tmpl.data() + FLASHCMD_DATA_SIZE_OFFSET);
  // 64-bit sum: a 32-bit one wraps for large lengths and would let the copy overrun.
  if (static_cast<uint64_t>(data_len) + offset > area) {
    OTA_LOG_ERR("Misc data out of range\n");
    return -1;
  }
  if (has_data && data_len != 0 && misc_data == nullptr) {
    OTA_LOG_ERR("flash cmd %s: no data for %u bytes\n", cmd, data_len);
    return -1;
  }
  const size_t size = FLASHCMD_TEMPLATE_SIZE + (has_data ? area : 0) + FLASHCMD_TRAILER_SIZE;
  try {
    record->assign(size, 0);
  } catch (const std::bad_alloc&) {
    OTA_LOG_ERR("malloc failed\n");
    return -17;
  }
  std::memcpy(record->data(), tmpl.data(), FLASHCMD_TEMPLATE_SIZE);
  if (has_data && data_len != 0) {
    std::memcpy(record->data() + FLASHCMD_MISCDATA_OFFSET + offset, misc_data, data_len);
  }
  return 0;
}

int32_t ota_write_flashcmd(const char* cmd, void* misc_data, uint32_t data_len, uint32_t offset) {
  if (cmd == nullptr) {
    return -6;
  }
  TemplateBytes tmpl{};
  if (load_template(cmd, &tmpl) != 0) {
    return -1;
  }
  std::vector<uint8_t> record;
  const int32_t built = ota_build_flashcmd(cmd, tmpl, misc_data, data_len, offset, &record);
  if (built != 0) {
    return built;
  }
  return send_or_queue(cmd, record);
}

int notify_mcu(msg2mcu msg) {
  if (msg >= MSG2MCU_NUM) {
    return -10;
  }
  TemplateBytes tmpl{};
  const int32_t loaded = load_template(msg2mcu_cmds[msg], &tmpl);
  if (loaded != 0) {
    return loaded;
  }
  if (send_or_queue(msg2mcu_cmds[msg], tmpl) != 0) {
    OTA_LOG_ERR("write cmd %s failed, res is %ld\n", msg2mcu_cmds[msg], -1L);
    return -1;
  }
  return 0;
}

int32_t ota_flashcmd_pending(std::string* name) {
  std::array<uint8_t, 8> head{};
  const ota::UniqueFd fd = ota::open_fd(OTA_FLASHCMD_NODE, O_RDONLY);
  if (!fd ||
      ota::pread_full(fd.get(), head.data(), head.size(), 0) != static_cast<ssize_t>(head.size())) {
    OTA_LOG_ERR("read the pending command of %s failed: %s\n", OTA_FLASHCMD_NODE,
                std::strerror(errno));
    return -1;
  }
  if (ota::load_le32(head.data()) != FLASHCMD_MAGIC) {
    return 0;
  }
  if (name != nullptr) {
    *name = command_name(ota::load_le32(head.data() + 4));
  }
  return 1;
}

int32_t ota_flashcmd_drain_queue() {
  ota_road_record_t road{};
  if (ota_road_read(&road) != 0) {
    return -1;
  }
  if (road.queue_len == 0) {
    return 0;
  }
  const int32_t busy = ota_flashcmd_pending(nullptr);
  if (busy != 0) {
    return busy < 0 ? -1 : 0;
  }
  const std::string cmd(ota_road_queue_front(road));
  TemplateBytes tmpl{};
  std::vector<uint8_t> record;
  const bool buildable = load_template(cmd.c_str(), &tmpl) == 0 &&
                         ota_build_flashcmd(cmd.c_str(), tmpl, nullptr, 0, 0, &record) == 0;
  // Sent before it leaves the queue: a stop in between sends it twice, never not at all.
  if (buildable && write_record(record.data(), record.size()) != 0) {
    return -1;
  }
  if (!buildable) {
    OTA_LOG_ERR("queued flash command %s has no usable template: dropped\n", cmd.c_str());
  }
  ota_road_queue_pop(&road);
  if (ota_road_write(&road) != 0) {
    return -1;
  }
  if (buildable) {
    OTA_LOG_INFO("queued flash command %s sent\n", cmd.c_str());
  }
  return buildable ? 1 : 0;
}

int32_t ota_flashcmd_drop_pending(const char* cmd) {
  std::string pending;
  const int32_t busy = ota_flashcmd_pending(&pending);
  if (busy <= 0 || cmd == nullptr || pending != cmd) {
    return busy < 0 ? -1 : 0;
  }
  const std::array<uint8_t, 8> zeros{};  // magic and type: the firmware's "nothing pending"
  ota::UniqueFd fd = ota::open_fd(OTA_FLASHCMD_NODE, O_WRONLY);
  if (!fd || !ota::pwrite_full(fd.get(), zeros.data(), zeros.size(), 0) ||
      !ota::sync_fd(fd.get()) || fd.close() != 0) {
    OTA_LOG_ERR("clear pending %s in %s failed: %s\n", cmd, OTA_FLASHCMD_NODE,
                std::strerror(errno));
    return -1;
  }
  OTA_LOG_WARN("pending flash command %s cleared: it is stale\n", cmd);
  return 1;
}
