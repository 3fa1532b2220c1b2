// Tar packages: finding a member, copying a plain member out, and streaming a zstd
// member through the decompressor into a file or device node.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <type_traits>

#include "burn_pipeline.h"
#include "extract_path.h"
#include "unique_fd.h"

// One 512-byte ustar header block; every field is text.
struct tar_header_t {
  char name[100];
  char mode[8];
  char uid[8];
  char gid[8];
  char size[12];
  char mtime[12];
  char chksum[8];
  char typeflag;
  char linkname[100];
  char magic[6];
  char version[2];
  char uname[32];
  char gname[32];
  char devmajor[8];
  char devminor[8];
  char prefix[155];
  char padding[12];
};
static_assert(sizeof(tar_header_t) == 512);
static_assert(offsetof(tar_header_t, name) == 0);
static_assert(offsetof(tar_header_t, mode) == 100);
static_assert(offsetof(tar_header_t, uid) == 108);
static_assert(offsetof(tar_header_t, gid) == 116);
static_assert(offsetof(tar_header_t, size) == 124);
static_assert(offsetof(tar_header_t, mtime) == 136);
static_assert(offsetof(tar_header_t, chksum) == 148);
static_assert(offsetof(tar_header_t, typeflag) == 156);
static_assert(offsetof(tar_header_t, linkname) == 157);
static_assert(offsetof(tar_header_t, magic) == 257);
static_assert(offsetof(tar_header_t, version) == 263);
static_assert(offsetof(tar_header_t, uname) == 265);
static_assert(offsetof(tar_header_t, gname) == 297);
static_assert(offsetof(tar_header_t, devmajor) == 329);
static_assert(offsetof(tar_header_t, devminor) == 337);
static_assert(offsetof(tar_header_t, prefix) == 345);
static_assert(offsetof(tar_header_t, padding) == 500);
static_assert(std::is_trivially_copyable_v<tar_header_t>);

inline constexpr size_t TAR_BLOCK_SIZE = 512;

// Progress callback of the streaming writers: bytes just written.
using ota_progress_cb_t = void (*)(ssize_t len);

// 0 when the header's magic begins with "ustar", else -1 (logged).
[[nodiscard]] int32_t validate_header(const tar_header_t* header);

// Searches from the stream's current position for the member whose name is exactly
// `filename`; 0 with its data offset and size, -1 when absent or unreadable.
[[nodiscard]] int32_t find_file_in_tar(FILE* tar_file, const char* filename, long* start_pos,
                                       long* file_size);

// A member found in a tar file.
struct tar_member_t {
  long start;     // offset of its data
  long size;      // bytes of data (the compressed size for a ".zst" member)
  char typeflag;  // header type; '0' or NUL for a regular file
};
// find_file_in_tar that also reports the member's header type.
[[nodiscard]] int32_t find_tar_member(FILE* tar_file, const char* filename, tar_member_t* member);
// True for the header types of a regular file: a link or device member is never
// extracted where a file is expected.
[[nodiscard]] bool tar_is_regular(char typeflag);

// Streams the zstd member `compressed_name` of a tar file, decompressed, into
// output_filename (created or truncated; a device node is written from its start) and
// makes it durable. 0; -1 open/find/read failure or member cut short; -2 corrupt or
// incomplete zstd data; -3 write or sync failure.
[[nodiscard]] int32_t ota_untar_unzst_to_file(const char* tar_filename, const char* compressed_name,
                                              const char* output_filename,
                                              ota_progress_cb_t read_cb);

// The same with the output opened by open_output, called only once the member has been
// found; out_name names the output in messages (and, with a proof, is read back through
// tar_unzst_member_piped). Lets an extraction into a directory
// open its output beneath that directory without following links. A member that is not
// a regular file, or that decompresses to more than max_bytes, fails with -1.
[[nodiscard]] int32_t ota_untar_unzst_with(const char* tar_filename, const char* compressed_name,
                                           const char* out_name,
                                           const std::function<ota::UniqueFd()>& open_output,
                                           ota_progress_cb_t read_cb,
                                           uint64_t max_bytes = UINT64_MAX,
                                           ota::ReadBackProof* proof = nullptr);

// Extracts the plain member target_file into output_dir (created, one level, when
// missing); the member lands at "<output_dir>/<target_file>". 0 or negative. A member
// that is not a regular file or holds more than max_bytes is refused before anything is
// written; a failed extraction leaves no output behind.
[[nodiscard]] int32_t untar(const char* tar_filename, const char* target_file,
                            const char* output_dir, uint64_t max_bytes = UINT64_MAX);

// Extracts every member of a tar file into output_dir (created when missing): regular
// files (".zst" ones decompressed, less the suffix), directories and symbolic links (made,
// never followed), all beneath output_dir without following links, each one spending
// from the budget. Any member that fails, or of another type, fails the whole. 0 or -1.
[[nodiscard]] int32_t untar_all(const char* tar_filename, const char* output_dir,
                                ota::ExtractBudget* budget);

// Bytes of member data in a tar file (for a ".zst" member its compressed size: the real
// size shows only while it is decompressed, where the budget bounds it); adds the sizes
// of the ".img" members to *img_size and counts the members in *members. -1 on error.
[[nodiscard]] int64_t tar_package_size(const char* tar_filename, uint64_t* img_size,
                                       uint64_t* members);

// Copies file_size bytes at start_pos of the tar stream into output_filename and makes
// them durable. 0; -1 cannot create the output; -2 cannot seek; -3 read error or member
// cut short; -4 write or sync error.
[[nodiscard]] int32_t extract_file(FILE* tar_file, long start_pos, long file_size,
                                   const char* output_filename);

// Building blocks of the extractions, on a tar stream and an open output.
// Copies file_size bytes at start_pos into out_fd and makes them durable; codes as
// extract_file.
[[nodiscard]] int32_t tar_copy_member(FILE* tar_file, long start_pos, long file_size, int out_fd);
// Decompresses the zstd data at start (size bytes) into out_fd and makes it durable; at
// most max_bytes are written (*written, when given, says how many). Codes as
// ota_untar_unzst_to_file; -1 also for output beyond max_bytes.
[[nodiscard]] int32_t tar_unzst_member(FILE* tar_file, long start, long size, int out_fd,
                                       ota_progress_cb_t read_cb, uint64_t max_bytes,
                                       uint64_t* written);

// tar_unzst_member through a BurnPipeline: the decoder fills the ring's chunks while
// its writer writes them to out_fd from offset 0 and reads them back into the proof. Codes
// as tar_unzst_member.
[[nodiscard]] int32_t tar_unzst_member_piped(FILE* tar_file, long start, long size, int out_fd,
                                             const char* out_path, ota_progress_cb_t read_cb,
                                             uint64_t max_bytes, ota::ReadBackProof* proof);

// Copies str into out_str (max_len bytes with its NUL) less a trailing ".zst"; 0 or -1.
[[nodiscard]] int32_t remove_zst_suffix(const char* str, char* out_str, size_t max_len);
