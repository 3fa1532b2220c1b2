// data.json comes from the package: any text must be parsed or refused without a fault,
// and whatever is accepted must keep the record's own limits.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "manifest.h"
#include "path_safety.h"

namespace {

bool terminated(const char* text, size_t size) { return strnlen(text, size) < size; }

void check_record(const update_info_t& info) {
  if (info.update_size < 0 || info.update_size > OTA_MAX_PARTITIONS ||
      !terminated(info.backup_dir, sizeof(info.backup_dir))) {
    std::abort();
  }
  for (int i = 0; i < info.update_size; ++i) {
    const partition_info_t& p = info.partition_info[i];
    if (!terminated(p.part_name, sizeof(p.part_name)) ||
        !terminated(p.part_file, sizeof(p.part_file)) || !is_contained_name(p.part_file) ||
        !terminated(p.md5[0], sizeof(p.md5[0])) || !terminated(p.md5[1], sizeof(p.md5[1])) ||
        p.medium < 0 || p.medium > OTA_EMMC || p.method < 0 || p.method > FILE_DIFF_UP) {
      std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Through the file reader, as the worker does: a memory file stands in for data.json.
  static const int fd = memfd_create("data.json", 0);
  if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) {
    std::abort();
  }
  char path[64];
  std::snprintf(path, sizeof(path), "/proc/self/fd/%d", fd);
  manifest_reset_state();
  if (ota_parse_config_file(path) == 0) {
    check_record(*ota_get_config_info());
  }
  return 0;
}
