#include "gpt_entries.h"

#include <fcntl.h>
#include <sys/ioctl.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <span>

#include "ota_log.h"
#include "unique_fd.h"

int32_t get_lba_size(const char* path) {
  ota::UniqueFd fd = ota::open_fd(path, O_RDONLY);
  if (!fd) {
    OTA_LOG_ERR("Failed to open %s\n%s\n", path, std::strerror(errno));
    return -1;
  }
  unsigned int size = 0;
  if (ioctl(fd.get(), OTA_BLKPBSZGET, &size) != 0) {
    OTA_LOG_ERR("%s\n", std::strerror(errno));
    return -1;
  }
  return static_cast<int32_t>(size);
}

int32_t emmc_gpt_entry_read(struct gpt_entry* gpt_entries) {
  if (gpt_entries == nullptr) {
    return -1;
  }
  ota::UniqueFd fd = ota::open_fd(OTA_EMMC_DISK, O_RDONLY);
  if (!fd) {
    OTA_LOG_ERR("mmc:%s not found!\n", OTA_EMMC_DISK);
    return -1;
  }
  static uint8_t raw[GPT_ENTRY_ARRAY_SIZE];
  if (ota::pread_full(fd.get(), raw, sizeof(raw), 1024) != static_cast<ssize_t>(sizeof(raw))) {
    OTA_LOG_ERR("read short\n");
    return -1;
  }
  const std::span<const uint8_t> all(raw, sizeof(raw));
  for (uint32_t i = 0; i < GPT_ENTRY_COUNT; ++i) {
    if (!decode(all.subspan(i * GPT_ENTRY_SIZE, GPT_ENTRY_SIZE), &gpt_entries[i])) {
      return -1;
    }
  }
  return 0;
}

void convert_partname(uint16_t* str, char* result) {
  for (size_t i = 0; i < GPT_NAME_UNITS; ++i) {
    const auto c = static_cast<unsigned char>(str[i] & 0xff);
    result[i] = (c != 0 && std::isprint(c) == 0) ? '!' : static_cast<char>(c);
  }
}
