// Zip packages: extraction into a directory, member tests and sizes, streaming of one
// member into a file or block device, and dispatch between zip and tar packages.
#pragma once

#include <cstdint>

#include "burn_pipeline.h"
#include "device_io.h"
#include "make_dir.h"  // extraction makes its destination folder with makedir
#include "tar_zstd.h"

enum ota_archive_kind_e : int32_t { OTA_ARCHIVE_UNKNOWN = 0, OTA_ARCHIVE_ZIP, OTA_ARCHIVE_TAR };

// Bounds of the members staged in a work directory, checked before a member is
// extracted and again while it is written: the manifest and the layout are small texts,
// hooks small scripts, and the worker lands in RAM-backed /tmp. Images are bounded by
// the size of their partition.
inline constexpr uint64_t OTA_MEMBER_UNBOUNDED = UINT64_MAX;
inline constexpr uint64_t OTA_TEXT_MEMBER_MAX = 1048576;     // data.json, gpt.conf, hooks
inline constexpr uint64_t OTA_WORKER_MEMBER_MAX = 33554432;  // ota_process, 32 MiB

// Decided by the file's content (zip or ustar magic), else by the end of its name
// (".zip", ".tar"); never by a folder's name.
[[nodiscard]] ota_archive_kind_e ota_archive_kind(const char* path);

// One member into dest, under its path in the archive; a ".zst" member of a tar package
// is decompressed and lands without the suffix. The member must be a regular file (a
// link or directory is refused) of at most max_bytes once extracted; a refusal writes
// nothing and a failure removes what it wrote. 0 or the callee's negative result.
[[nodiscard]] int32_t kx_uncompress_one(const char* src, const char* dest, const char* file_name,
                                        uint64_t max_bytes = OTA_MEMBER_UNBOUNDED);
[[nodiscard]] int32_t kx_unzip_one(const char* src, const char* dest, const char* file_name,
                                   uint64_t max_bytes = OTA_MEMBER_UNBOUNDED);
// Every member of the zip or tar package src into dest (created when missing), spending
// from the budget when one is given. Any member that cannot be made fails it. 0 or -1.
[[nodiscard]] int32_t kx_uncompress(const char* src, const char* dest,
                                    ota::ExtractBudget* budget = nullptr);

// 1 found, 0 not found, -1 error. Zip: any member whose name begins with the given name;
// tar: the exact name.
[[nodiscard]] int32_t kx_compress_has_file(const char* compress_file, const char* filename);
[[nodiscard]] int32_t kx_zip_has_file(const char* zipfile, const char* file_name);

// Total uncompressed size of the zip's members, -1 on error; adds the sizes of the
// ".img" members to *img_size.
[[nodiscard]] int64_t kx_get_zip_size(const char* zipfile, uint64_t* img_size);
// kx_get_zip_size for a zip or tar package; also counts its members in *members.
[[nodiscard]] int64_t kx_get_package_size(const char* package, uint64_t* img_size,
                                          uint64_t* members);
// Sum of the ".img" member sizes over the zip files of a directory, -1 on error.
[[nodiscard]] int64_t kx_all_image_size(const char* path);
// Largest total uncompressed size among the zip files of a directory, -1 on error.
[[nodiscard]] int64_t kx_get_max_zip_size(const char* path);

// Streams member `file` of the package into dest_file->path from its first byte, in the
// chunk of dest_file->medium, calling read_cb after every read; durable on success. A
// member larger than max_bytes (the device's size) is refused: a zip member before
// anything is written, a zstd one as soon as its output passes the bound.
// With a proof, the member is inflated on this thread while a second one writes it and
// reads each written range back from the medium into the proof (BurnPipeline); read_cb
// then counts bytes written, on this thread.
[[nodiscard]] int32_t kx_uncompress_file_to(const char* src, const char* file,
                                            ota_file_info_t* dest_file, ota_progress_cb_t read_cb,
                                            uint64_t max_bytes = OTA_MEMBER_UNBOUNDED,
                                            ota::ReadBackProof* proof = nullptr);
[[nodiscard]] int32_t kx_unzip_file_to(const char* src, const char* file,
                                       ota_file_info_t* dest_file, ota_progress_cb_t read_cb,
                                       uint64_t max_bytes = OTA_MEMBER_UNBOUNDED,
                                       ota::ReadBackProof* proof = nullptr);

struct tm_unz_s;
// Sets the times of the open file fd from an entry's broken-down DOS time; 0 or -1.
[[nodiscard]] int32_t change_file_date(int fd, const tm_unz_s& date);
