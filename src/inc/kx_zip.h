// Zip packages: extraction into a directory, member tests and sizes, streaming of one
// member into a file or block device, and dispatch between zip and tar packages.
#pragma once

#include <cstdint>

#include "device_io.h"
#include "tar_zstd.h"

enum ota_archive_kind_e : int32_t { OTA_ARCHIVE_UNKNOWN = 0, OTA_ARCHIVE_ZIP, OTA_ARCHIVE_TAR };

// Decided by the path alone: "zip" anywhere wins, then "tar".
[[nodiscard]] ota_archive_kind_e ota_archive_kind(const char* path);

// One member into dest, under its path in the archive; a ".zst" member of a tar package
// is decompressed and lands without the suffix. 0 or the callee's negative result.
[[nodiscard]] int32_t kx_uncompress_one(const char* src, const char* dest, const char* file_name);
[[nodiscard]] int32_t kx_unzip_one(const char* src, const char* dest, const char* file_name);
// Every member of the zip src into dest (created when missing). 0 or -1.
[[nodiscard]] int32_t kx_uncompress(const char* src, const char* dest);

// 1 found, 0 not found, -1 error. Zip: any member whose name begins with the given name;
// tar: the exact name.
[[nodiscard]] int32_t kx_compress_has_file(const char* compress_file, const char* filename);
[[nodiscard]] int32_t kx_zip_has_file(const char* zipfile, const char* file_name);

// Total uncompressed size of the zip's members, -1 on error; adds the sizes of the
// ".img" members to *img_size.
[[nodiscard]] int64_t kx_get_zip_size(const char* zipfile, uint64_t* img_size);
// Sum of the ".img" member sizes over the zip files of a directory, -1 on error.
[[nodiscard]] int64_t kx_all_image_size(const char* path);
// Largest total uncompressed size among the zip files of a directory, -1 on error.
[[nodiscard]] int64_t kx_get_max_zip_size(const char* path);

// Streams member `file` of the package into dest_file->path from its first byte, in the
// chunk of dest_file->medium, calling read_cb after every read; durable on success.
[[nodiscard]] int32_t kx_uncompress_file_to(const char* src, const char* file,
                                            ota_file_info_t* dest_file, ota_progress_cb_t read_cb);
[[nodiscard]] int32_t kx_unzip_file_to(const char* src, const char* file,
                                       ota_file_info_t* dest_file, ota_progress_cb_t read_cb);

// Creates newdir with its missing parents (mode 0775). 0, -1, or -104 out of memory.
[[nodiscard]] int32_t makedir(const char* newdir);
// One mkdir(dirname, 0775) with errno cleared first; its result.
[[nodiscard]] int32_t mymkdir(const char* dirname);

struct tm_unz_s;
// Sets the times of the open file fd from an entry's broken-down DOS time; 0 or -1.
[[nodiscard]] int32_t change_file_date(int fd, const tm_unz_s& date);
