// Incremental images: the running slot's partition is proven to hold the image the patch
// was made from, the patch is applied device to device, and the result is proven.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "boot_control.h"
#include "burn_pipeline.h"
#include "hpatch.h"
#include "image_diff.h"
#include "image_stage.h"
#include "kx_zip.h"
#include "ota_log.h"
#include "package_paths.h"
#include "partition_md5.h"
#include "path_safety.h"
#include "progress.h"
#include "tar_zstd.h"
#include "write_checks.h"
#include "write_targets.h"

namespace {

constexpr size_t kPathLen = 128;

// The patch reads no more of the source than the source's proof covers, and writes no
// more of the target than the target's proof covers.
bool proofs_cover_patch(const partition_info_t* info, const char* patch_file) {
  unsigned long long old_size = 0;
  unsigned long long new_size = 0;
  if (hpatch_sizes(patch_file, &old_size, &new_size) != 0) {
    return false;
  }
  if (old_size > info->md5_scope[0]) {
    OTA_LOG_ERR(
        "partition %s: the patch reads %llu bytes of the running slot, its md5_scope 0 "
        "proves %llu\n",
        info->part_name, old_size, static_cast<unsigned long long>(info->md5_scope[0]));
    return false;
  }
  return ota_scope_covers(info->part_name, "the patched image", info->md5_scope[1], new_size);
}

// The patched image goes through the burn pipeline: the patch engine fills its chunks
// while the writer thread writes them and reads back, from the medium, what it wrote.
class PatchedImageBurn {
 public:
  PatchedImageBurn(const char* target, ota::ReadBackProof* proof)
      : target_(target), proof_(proof) {}
  [[nodiscard]] hpatch_out out() { return hpatch_out{this, &begin, &write, &finish}; }

 private:
  static PatchedImageBurn& self(void* ctx) { return *static_cast<PatchedImageBurn*>(ctx); }
  // errno carries the writer's reason to the patch engine's message.
  int failed() {
    errno = pipe_->error() != 0 ? pipe_->error() : EIO;
    return -1;
  }
  static int begin(void* ctx, int fd) {
    PatchedImageBurn& burn = self(ctx);
    burn.pipe_.emplace(fd, burn.target_, burn.proof_);
    return burn.pipe_->ready() ? 0 : -1;
  }
  static int write(void* ctx, const void* data, size_t len) {
    PatchedImageBurn& burn = self(ctx);
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (len > 0) {
      if (burn.slot_ == nullptr && (burn.slot_ = burn.pipe_->slot()) == nullptr) {
        return burn.failed();
      }
      const size_t n = std::min(len, ota::kBurnSlotSize - burn.fill_);
      std::memcpy(burn.slot_ + burn.fill_, bytes, n);
      burn.fill_ += n;
      bytes += n;
      len -= n;
      if (burn.fill_ == ota::kBurnSlotSize && !burn.push()) {
        return burn.failed();
      }
    }
    return 0;
  }
  static int finish(void* ctx) {
    PatchedImageBurn& burn = self(ctx);
    if ((burn.fill_ > 0 && !burn.push()) || !burn.pipe_->finish()) {
      return burn.failed();
    }
    return 0;
  }
  bool push() {
    const size_t len = fill_;
    slot_ = nullptr;
    fill_ = 0;
    return pipe_->push(len);
  }

  const char* target_;
  ota::ReadBackProof* proof_;
  std::optional<ota::BurnPipeline> pipe_;
  uint8_t* slot_ = nullptr;
  size_t fill_ = 0;
};

}  // namespace

bool ota_patch_through_pipeline(const char* old, const char* patch, const char* target,
                                ota::ReadBackProof* proof) {
  PatchedImageBurn burn(target, proof);
  const hpatch_out out = burn.out();
  return hpatchz_out(old, patch, target, OTA_HPATCH_CACHE_SIZE, &out) == 0;
}

int32_t ota_update_image_inc(partition_info_t* partition_info, const char* unzip_dir,
                             const char* ota_pack_path) {
  if (partition_info == nullptr || unzip_dir == nullptr || ota_pack_path == nullptr) {
    OTA_LOG_ERR("NULL input in %s\n", "ota_update_image_inc");
    return -1;
  }
  const partition_info_t* info = partition_info;
  if (!is_contained_name(info->part_file) || std::strchr(info->part_name, '/') != nullptr ||
      !is_contained_name(info->part_name)) {
    OTA_LOG_ERR("partition %s patch %s: names must stay inside their directories\n",
                info->part_name, info->part_file);
    return -1;
  }
  char patch_path[kPathLen];
  const int len =
      std::snprintf(patch_path, sizeof(patch_path), "%s/%s", unzip_dir, info->part_file);
  if (len < 0 || static_cast<size_t>(len) >= sizeof(patch_path)) {
    OTA_LOG_ERR("path %s/%s too long\n", unzip_dir, info->part_file);
    return -1;
  }
  OTA_LOG_INFO("uncompress %s\n", patch_path);
  if (ota_stage_image(ota_pack_path, unzip_dir, info, OTA_PATCH_SLACK) != 0) {
    OTA_LOG_ERR("Uncompress %s failed\n", info->part_file);
    return -1;
  }
  set_imgname(info->part_name);
  char source[OTA_DEV_PATH_LEN] = {};
  char target[OTA_DEV_PATH_LEN] = {};
  if (get_part_device_name(info->part_name, source, target, info->type) != 0) {
    OTA_LOG_ERR("error: get partition:%s current device path and oppsite device path failed!\n",
                info->part_name);
    return -1;
  }
  // Without a second slot there is no source to patch from: patching a partition onto
  // itself would destroy the data it reads.
  if (source[0] == '\0') {
    OTA_LOG_ERR("incremental update of %s needs an A/B partition\n", info->part_name);
    return -1;
  }
  if (!ota_is_block_device(source) || !ota_is_block_device(target)) {
    OTA_LOG_ERR("partition %s: %s and %s must be its devices on this board\n", info->part_name,
                source, target);
    return -1;
  }
  OTA_LOG_INFO("%s  %s\n", unzip_dir, info->part_file);
  if (verify_image_checksum_with_part(info->md5[0], info->md5_scope[0], source, 0) != 0) {
    return -1;
  }
  OTA_LOG_INFO("\n");
  char patch_file[kPathLen];
  if (remove_zst_suffix(patch_path, patch_file, sizeof(patch_file)) != 0 ||
      ota_check_file(patch_file, "img") != 0) {
    OTA_LOG_ERR("error: image file:%s not exit!\n", patch_file);
    return -1;
  }
  if (!proofs_cover_patch(info, patch_file)) {
    return -1;
  }
  OTA_LOG_INFO("\n");
  // The engine makes the target durable before it reports success; what the pipeline did
  // not read back yet is read from the medium by the comparison below.
  ota::ReadBackProof proof;
  if (!ota_patch_through_pipeline(source, patch_file, target, &proof)) {
    OTA_LOG_ERR("patch upgrade part %s img failed\n", source);
    return -1;
  }
  OTA_LOG_INFO("\n");
  OTA_LOG_INFO("img size: %ld\n", static_cast<long>(info->md5_scope[0]));
  progress_update(static_cast<ssize_t>(info->md5_scope[0]));
  if (verify_image_checksum_after_read_back(info->md5[1], info->md5_scope[1], target, 0, proof) !=
      0) {
    return -1;
  }
  OTA_LOG_INFO("ota incremental update:%s successful!\n", patch_file);
  if (::unlink(patch_file) != 0) {
    OTA_LOG_ERR("Remove %s failed\n", patch_file);
  }
  OTA_LOG_INFO("removed %s\n", patch_file);
  return 0;
}
