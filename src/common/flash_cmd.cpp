#include "flash_cmd.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>

#include "ota_log.h"
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
  if (!ota::pwrite_full(fd.get(), record, size, 0) || !ota::sync_fd(fd.get()) || fd.close() != 0) {
    const int err = errno;
    OTA_LOG_ERR("write cmd failed\n");
    OTA_LOG_ERR("%s: %s\n", OTA_FLASHCMD_NODE, std::strerror(err));
    return -1;
  }
  return 0;
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
  return write_record(record.data(), record.size());
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
  if (write_record(tmpl.data(), tmpl.size()) != 0) {
    OTA_LOG_ERR("write cmd %s failed, res is %ld\n", msg2mcu_cmds[msg], -1L);
    return -1;
  }
  return 0;
}
