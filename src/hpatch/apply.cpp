#include "apply.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "ota_log.h"
#include "unique_fd.h"

namespace ota::hpatch {
namespace {
using ull = unsigned long long;
}  // namespace

bool read_patch_header(int patch_fd, uint64_t patch_size, PatchInfo* info) {
  std::vector<uint8_t> prefix(static_cast<size_t>(std::min<uint64_t>(patch_size, kMaxHeaderBytes)));
  const ssize_t got = pread_full(patch_fd, prefix.data(), prefix.size(), 0);
  if (got != static_cast<ssize_t>(prefix.size())) {
    OTA_LOG_ERR("reading the patch header failed: %s\n",
                got < 0 ? std::strerror(errno) : "file shrank");
    return false;
  }
  return read_patch_info(prefix, patch_size, info);
}

bool apply_patch(const PatchInfo& info, const ApplyIo& io) {
  if (io.old.size != info.old_size) {
    OTA_LOG_ERR("old image is %llu bytes but the patch was made from %llu bytes\n",
                static_cast<ull>(io.old.size), static_cast<ull>(info.old_size));
    return false;
  }
  if (info.layout == Layout::kCompressedDiff) {
    return apply_compressed_diff(info, io);
  }
  return apply_single_stream(info, io);
}

}  // namespace ota::hpatch
