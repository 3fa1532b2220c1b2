#include "tar_zstd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <zstd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "device_io.h"
#include "extract_path.h"
#include "ota_log.h"

namespace {

constexpr size_t kZstdInSize = 0x100000;    // compressed bytes read per step
constexpr size_t kZstdOutSize = 0x2000000;  // decompressed bytes per decoder step
constexpr int kMaxCopyPasses = 100000;
constexpr size_t kMaxOutputPath = 255;

struct DStreamFree {
  void operator()(ZSTD_DStream* stream) const { ZSTD_freeDStream(stream); }
};
using UniqueDStream = std::unique_ptr<ZSTD_DStream, DStreamFree>;

// Octal text (stopping at the first non-digit, leading blanks skipped), or the base-256
// form tar writers use for members of 8 GiB and more. False when it exceeds int64.
bool parse_tar_size(const char (&field)[12], uint64_t* size) {
  const auto byte = [&field](size_t i) { return static_cast<unsigned char>(field[i]); };
  uint64_t value = 0;
  if ((byte(0) & 0x80U) != 0) {
    for (size_t i = 1; i < sizeof(field); ++i) {
      if (value > (static_cast<uint64_t>(LLONG_MAX) >> 8)) {
        return false;
      }
      value = (value << 8) | byte(i);
    }
    *size = value;
    return (byte(0) & 0x7FU) == 0;
  }
  size_t i = 0;
  while (i < sizeof(field) && field[i] == ' ') {
    ++i;
  }
  for (; i < sizeof(field) && field[i] >= '0' && field[i] <= '7'; ++i) {
    value = value * 8 + static_cast<uint64_t>(field[i] - '0');
  }
  *size = value;
  return true;
}

// The member's data, rounded up to whole blocks, plus its header.
bool next_header_pos(long pos, uint64_t size, long* next) {
  const uint64_t blocks = size / TAR_BLOCK_SIZE + (size % TAR_BLOCK_SIZE != 0 ? 1 : 0) + 1;
  if (blocks > static_cast<uint64_t>(LONG_MAX) / TAR_BLOCK_SIZE) {
    return false;
  }
  return !__builtin_add_overflow(pos, static_cast<long>(blocks * TAR_BLOCK_SIZE), next);
}

}  // namespace

int32_t tar_copy_member(FILE* tar_file, long start_pos, long file_size, int out_fd) {
  if (start_pos < 0 || file_size < 0 || fseek(tar_file, start_pos, SEEK_SET) != 0) {
    perror("Failed to seek in TAR file");
    return -2;
  }
  auto remaining = static_cast<uint64_t>(file_size);
  for (int pass = 0; remaining > 0 && pass < kMaxCopyPasses; ++pass) {
    const size_t want = remaining < OTA_MMC_CHUNK ? static_cast<size_t>(remaining) : OTA_MMC_CHUNK;
    const size_t got = fread(g_mmc_buf, 1, want, tar_file);
    if (got < want && ferror(tar_file) != 0) {
      perror("Error reading from TAR file");
      return -3;
    }
    if (!ota::write_full(out_fd, g_mmc_buf, got)) {
      perror("Error writing to output file");
      return -4;
    }
    remaining -= got;
    if (got < want) {
      // The archive ends inside the member: a short output must not pass for the image.
      OTA_LOG_ERR("tar member cut short: %llu bytes missing\n",
                  static_cast<unsigned long long>(remaining));
      return -3;
    }
  }
  if (!ota::sync_fd(out_fd)) {
    perror("Error writing to output file");
    return -4;
  }
  return 0;
}

namespace {

// Where a member's decompressed bytes go, and how many it may write there.
struct Sink {
  int fd;
  ota_progress_cb_t read_cb;
  uint64_t max_bytes;
  uint64_t written = 0;
};

// Writes one decoder step's output; -3 on a short write, -1 past the sink's bound.
int32_t emit(Sink* sink, const ZSTD_outBuffer& out) {
  if (out.pos == 0) {
    return 0;
  }
  if (out.pos > sink->max_bytes - sink->written) {
    OTA_LOG_ERR("zstd member decompresses to more than %llu bytes\n",
                static_cast<unsigned long long>(sink->max_bytes));
    return -1;
  }
  if (!ota::write_full(sink->fd, out.dst, out.pos)) {
    perror("[ERROR] File write failed");
    return -3;
  }
  sink->written += out.pos;
  if (sink->read_cb != nullptr) {
    sink->read_cb(static_cast<ssize_t>(out.pos));
  }
  return 0;
}

// Feeds the member's bytes through the decoder; the decoder is drained after every input
// chunk (a full output buffer means it may hold more) and the last frame must be whole.
int32_t decompress_member(FILE* tar_file, uint64_t size, ZSTD_DStream* stream, Sink* sink,
                          uint8_t* in_buf, uint8_t* out_buf) {
  size_t last_ret = 1;  // nonzero: no frame finished yet
  uint64_t done = 0;
  while (done < size) {
    const size_t want = size - done < kZstdInSize ? static_cast<size_t>(size - done) : kZstdInSize;
    const size_t got = fread(in_buf, 1, want, tar_file);
    if (got != want) {
      fprintf(stderr, "[ERROR] File read incomplete: %zu/%zu\n", got, want);
      return -1;
    }
    done += got;
    ZSTD_inBuffer in{in_buf, got, 0};
    ZSTD_outBuffer out{out_buf, kZstdOutSize, 0};
    do {
      out.pos = 0;
      last_ret = ZSTD_decompressStream(stream, &out, &in);
      if (ZSTD_isError(last_ret) != 0) {
        fprintf(stderr, "[ERROR] Decompression failed: %s\n", ZSTD_getErrorName(last_ret));
        return -2;
      }
      if (const int32_t rc = emit(sink, out); rc != 0) {
        return rc;
      }
    } while (in.pos < in.size || out.pos == out.size);
  }
  if (last_ret != 0) {
    OTA_LOG_ERR("zstd member ends inside a frame: data incomplete\n");
    return -2;
  }
  return 0;
}

}  // namespace

namespace {

void report_written(ota::BurnPipeline& pipe, ota_progress_cb_t read_cb) {
  const uint64_t n = pipe.take_written();
  if (read_cb != nullptr && n > 0) {
    read_cb(static_cast<ssize_t>(n));
  }
}

// The decoder's output lands straight in the ring's chunks; a full chunk goes to the
// writer. Messages and codes as emit.
class RingSink {
 public:
  RingSink(ota::BurnPipeline* pipe, ota_progress_cb_t read_cb, uint64_t max_bytes)
      : pipe_(pipe), read_cb_(read_cb), max_bytes_(max_bytes) {}

  // The buffer the decoder fills next; false once the writer has failed.
  bool next(ZSTD_outBuffer* out) {
    uint8_t* buf = pipe_->slot();
    if (buf == nullptr) {
      return write_failed();
    }
    *out = {buf, ota::kBurnSlotSize, 0};
    return true;
  }
  // Hands over what the decoder put in out.
  int32_t push(const ZSTD_outBuffer& out) {
    if (out.pos == 0) {
      return 0;
    }
    if (out.pos > max_bytes_ - pushed_) {
      OTA_LOG_ERR("zstd member decompresses to more than %llu bytes\n",
                  static_cast<unsigned long long>(max_bytes_));
      return -1;
    }
    if (!pipe_->push(out.pos)) {
      (void)write_failed();
      return -3;
    }
    pushed_ += out.pos;
    report_written(*pipe_, read_cb_);
    return 0;
  }
  int32_t finish() {
    if (!pipe_->finish()) {
      if (pipe_->fault() == ota::PipeFault::sync) {
        OTA_LOG_ERR("sync failed: %s\n", strerror(pipe_->error()));
      } else {
        (void)write_failed();
      }
      return -3;
    }
    report_written(*pipe_, read_cb_);
    return 0;
  }

 private:
  bool write_failed() {
    errno = pipe_->error();
    perror("[ERROR] File write failed");
    return false;
  }

  ota::BurnPipeline* pipe_;
  ota_progress_cb_t read_cb_;
  uint64_t max_bytes_;
  uint64_t pushed_ = 0;
};

// decompress_member into the ring: a chunk is pushed whenever the decoder fills it, and
// the decoder is drained after every input chunk as there.
int32_t decompress_into_ring(FILE* tar_file, uint64_t size, ZSTD_DStream* stream, RingSink* sink,
                             uint8_t* in_buf) {
  size_t last_ret = 1;  // nonzero: no frame finished yet
  ZSTD_outBuffer out{};
  if (!sink->next(&out)) {
    return -3;
  }
  for (uint64_t done = 0; done < size;) {
    const size_t want = size - done < kZstdInSize ? static_cast<size_t>(size - done) : kZstdInSize;
    const size_t got = fread(in_buf, 1, want, tar_file);
    if (got != want) {
      fprintf(stderr, "[ERROR] File read incomplete: %zu/%zu\n", got, want);
      return -1;
    }
    done += got;
    ZSTD_inBuffer in{in_buf, got, 0};
    bool full = false;
    do {
      last_ret = ZSTD_decompressStream(stream, &out, &in);
      if (ZSTD_isError(last_ret) != 0) {
        fprintf(stderr, "[ERROR] Decompression failed: %s\n", ZSTD_getErrorName(last_ret));
        return -2;
      }
      full = out.pos == out.size;
      if (full) {
        if (const int32_t rc = sink->push(out); rc != 0) {
          return rc;
        }
        if (!sink->next(&out)) {
          return -3;
        }
      }
    } while (in.pos < in.size || full);
  }
  if (last_ret != 0) {
    OTA_LOG_ERR("zstd member ends inside a frame: data incomplete\n");
    return -2;
  }
  return sink->push(out);
}

}  // namespace

int32_t tar_unzst_member_piped(FILE* tar_file, long start, long size, int out_fd,
                               const char* out_path, ota_progress_cb_t read_cb, uint64_t max_bytes,
                               ota::ReadBackProof* proof) {
  UniqueDStream stream(ZSTD_createDStream());
  if (!stream) {
    OTA_LOG_ERR("Failed to create ZSTD stream\n");
    return -1;
  }
  if (const size_t rc = ZSTD_initDStream(stream.get()); ZSTD_isError(rc) != 0) {
    OTA_LOG_ERR("ZSTD initialization failed: %s\n", ZSTD_getErrorName(rc));
    return -1;
  }
  std::unique_ptr<uint8_t[]> in_buf(new (std::nothrow) uint8_t[kZstdInSize]);
  if (!in_buf) {
    OTA_LOG_ERR("Memory allocation failed\n");
    return -1;
  }
  if (start < 0 || size < 0 || fseek(tar_file, start, SEEK_SET) != 0) {
    perror("Failed to seek to data start position");
    return -1;
  }
  ota::BurnPipeline pipe(out_fd, out_path, proof);
  if (!pipe.ready()) {
    return -1;
  }
  RingSink sink(&pipe, read_cb, max_bytes);
  if (const int32_t rc = decompress_into_ring(tar_file, static_cast<uint64_t>(size), stream.get(),
                                              &sink, in_buf.get());
      rc != 0) {
    return rc;
  }
  return sink.finish();
}

int32_t tar_unzst_member(FILE* tar_file, long start, long size, int out_fd,
                         ota_progress_cb_t read_cb, uint64_t max_bytes, uint64_t* written) {
  UniqueDStream stream(ZSTD_createDStream());
  if (!stream) {
    OTA_LOG_ERR("Failed to create ZSTD stream\n");
    return -1;
  }
  if (const size_t rc = ZSTD_initDStream(stream.get()); ZSTD_isError(rc) != 0) {
    OTA_LOG_ERR("ZSTD initialization failed: %s\n", ZSTD_getErrorName(rc));
    return -1;
  }
  std::unique_ptr<uint8_t[]> in_buf(new (std::nothrow) uint8_t[kZstdInSize]);
  std::unique_ptr<uint8_t[]> out_buf(new (std::nothrow) uint8_t[kZstdOutSize]);
  if (!in_buf || !out_buf) {
    OTA_LOG_ERR("Memory allocation failed\n");
    return -1;
  }
  if (start < 0 || size < 0 || fseek(tar_file, start, SEEK_SET) != 0) {
    perror("Failed to seek to data start position");
    return -1;
  }
  Sink sink{out_fd, read_cb, max_bytes};
  const int32_t rc = decompress_member(tar_file, static_cast<uint64_t>(size), stream.get(), &sink,
                                       in_buf.get(), out_buf.get());
  if (written != nullptr) {
    *written = sink.written;
  }
  if (rc == 0 && !ota::sync_fd(out_fd)) {
    OTA_LOG_ERR("sync failed: %s\n", strerror(errno));
    return -3;
  }
  return rc;
}

namespace {

ota::UniqueFd open_output_path(const char* path) {
  return ota::open_fd(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
}

}  // namespace

int32_t validate_header(const tar_header_t* header) {
  if (header == nullptr) {
    return -1;
  }
  if (std::memcmp(header->magic, "ustar", 5) != 0) {
    OTA_LOG_ERR("wrong header\n");
    OTA_LOG_ERR("magic :%.*s version:%.*s\n", static_cast<int>(sizeof(header->magic)),
                header->magic, static_cast<int>(sizeof(header->version)), header->version);
    return -1;
  }
  return 0;
}

int32_t find_tar_member(FILE* tar_file, const char* filename, tar_member_t* member) {
  if (tar_file == nullptr || filename == nullptr || member == nullptr) {
    return -1;
  }
  // A longer wanted name would otherwise match a header holding its first 100 characters.
  const bool fits = strnlen(filename, sizeof(tar_header_t::name) + 1) <= sizeof(tar_header_t::name);
  long pos = ftell(tar_file);
  if (pos < 0) {
    return -1;
  }
  for (;;) {
    uint8_t block[TAR_BLOCK_SIZE];
    if (fread(block, 1, sizeof(block), tar_file) != sizeof(block) || block[0] == 0) {
      return -1;
    }
    tar_header_t header;
    std::memcpy(&header, block, sizeof(header));
    if (validate_header(&header) != 0) {
      return -1;
    }
    uint64_t size = 0;
    const bool size_ok = parse_tar_size(header.size, &size);
    if (fits && strncmp(header.name, filename, sizeof(header.name)) == 0) {
      if (!size_ok || pos > LONG_MAX - static_cast<long>(TAR_BLOCK_SIZE)) {
        return -1;
      }
      member->start = pos + static_cast<long>(TAR_BLOCK_SIZE);
      member->size = static_cast<long>(size);
      member->typeflag = header.typeflag;
      return 0;
    }
    if (!size_ok || !next_header_pos(pos, size, &pos) || fseek(tar_file, pos, SEEK_SET) != 0) {
      return -1;
    }
  }
}

int32_t find_file_in_tar(FILE* tar_file, const char* filename, long* start_pos, long* file_size) {
  if (start_pos == nullptr || file_size == nullptr) {
    return -1;
  }
  tar_member_t member{};
  if (find_tar_member(tar_file, filename, &member) != 0) {
    return -1;
  }
  *start_pos = member.start;
  *file_size = member.size;
  return 0;
}

bool tar_is_regular(char typeflag) { return typeflag == '0' || typeflag == '\0'; }

namespace {

// Finds a member that must be a regular file; -1 (logged) when absent or of another type.
int32_t find_regular(FILE* tar_file, const char* name, const char* tar_filename,
                     tar_member_t* member) {
  if (find_tar_member(tar_file, name, member) != 0) {
    return -1;
  }
  if (!tar_is_regular(member->typeflag)) {
    OTA_LOG_ERR("member %s of %s is not a regular file (type '%c'): refused\n", name, tar_filename,
                member->typeflag);
    return -2;
  }
  return 0;
}

}  // namespace

int32_t ota_untar_unzst_with(const char* tar_filename, const char* compressed_name,
                             const char* out_name,
                             const std::function<ota::UniqueFd()>& open_output,
                             ota_progress_cb_t read_cb, uint64_t max_bytes,
                             ota::ReadBackProof* proof) {
  OTA_LOG_INFO("output_filename :%s\n", out_name != nullptr ? out_name : "(null)");
  if (tar_filename == nullptr || compressed_name == nullptr || out_name == nullptr) {
    OTA_LOG_ERR("Error: Invalid input parameters.\n");
    return -1;
  }
  ota::UniqueFile tar_file(fopen(tar_filename, "rbe"));
  if (!tar_file) {
    perror("Failed to open TAR file");
    return -1;
  }
  tar_member_t member{};
  if (const int32_t found = find_regular(tar_file.get(), compressed_name, tar_filename, &member);
      found != 0) {
    if (found == -1) {
      OTA_LOG_ERR("File not found: %s\n", compressed_name);
    }
    return -1;
  }
  OTA_LOG_INFO("File '%s' found in TAR file.\n", compressed_name);
  ota::UniqueFd out = open_output();
  if (!out) {
    perror("Failed to create output file");
    return -1;
  }
  const int32_t rc = proof != nullptr
                         ? tar_unzst_member_piped(tar_file.get(), member.start, member.size,
                                                  out.get(), out_name, read_cb, max_bytes, proof)
                         : tar_unzst_member(tar_file.get(), member.start, member.size, out.get(),
                                            read_cb, max_bytes, nullptr);
  if (rc != 0) {
    if (rc == -1) {
      OTA_LOG_ERR("member %s of %s failed\n", compressed_name, tar_filename);
    }
    return rc;
  }
  if (out.close() != 0) {
    OTA_LOG_ERR("close of %s failed: %s\n", out_name, strerror(errno));
    return -3;
  }
  return 0;
}

int32_t ota_untar_unzst_to_file(const char* tar_filename, const char* compressed_name,
                                const char* output_filename, ota_progress_cb_t read_cb) {
  return ota_untar_unzst_with(
      tar_filename, compressed_name, output_filename,
      [output_filename] { return open_output_path(output_filename); }, read_cb);
}

int32_t extract_file(FILE* tar_file, long start_pos, long file_size, const char* output_filename) {
  if (tar_file == nullptr || output_filename == nullptr) {
    return -1;
  }
  ota::UniqueFd out = open_output_path(output_filename);
  OTA_LOG_INFO("output_filename %s\n", output_filename);
  if (!out) {
    perror("Failed to open output file");
    return -1;
  }
  if (const int32_t rc = tar_copy_member(tar_file, start_pos, file_size, out.get()); rc != 0) {
    return rc;
  }
  if (out.close() != 0) {
    perror("Error writing to output file");
    return -4;
  }
  return 0;
}

namespace {

// Opens "<dir_fd>/<name>" for writing without following a link anywhere beneath dir_fd.
ota::UniqueFd open_beneath(int dir_fd, const char* name, const char* archive) {
  ota::UniqueFd file = ota::open_member_file(dir_fd, name, false);
  if (!file) {
    const int err = errno;
    OTA_LOG_ERR("cannot write member %s of %s: %s\n", name, archive, ota::member_error_text(err));
    errno = err;
  }
  return file;
}

// Copies the found member into "<output_dir>/<target_file>"; what a failure wrote is
// removed again.
int32_t copy_into(FILE* tar_file, const tar_member_t& member, const char* tar_filename,
                  const char* target_file, const char* output_dir) {
  ota::UniqueFd dir = ota::open_fd(output_dir, O_RDONLY | O_DIRECTORY);
  if (!dir) {
    OTA_LOG_ERR("open %s failed: %s\n", output_dir, strerror(errno));
    return -1;
  }
  ota::UniqueFd out = open_beneath(dir.get(), target_file, tar_filename);
  if (!out) {
    return -1;
  }
  int32_t rc = tar_copy_member(tar_file, member.start, member.size, out.get());
  if (rc == 0 && out.close() != 0) {
    perror("Error writing to output file");
    rc = -4;
  }
  if (rc != 0) {
    ota::remove_member(dir.get(), target_file);
  }
  return rc;
}

// A member too large for its place is refused before anything is written.
bool within(const tar_member_t& member, uint64_t max_bytes, const char* name,
            const char* tar_filename) {
  if (static_cast<uint64_t>(member.size) <= max_bytes) {
    return true;
  }
  OTA_LOG_ERR("member %s of %s holds %ld bytes, more than the %llu it may take: refused\n", name,
              tar_filename, member.size, static_cast<unsigned long long>(max_bytes));
  return false;
}

}  // namespace

int32_t untar(const char* tar_filename, const char* target_file, const char* output_dir,
              uint64_t max_bytes) {
  if (tar_filename == nullptr || target_file == nullptr || output_dir == nullptr) {
    return -1;
  }
  ota::UniqueFile tar_file(fopen(tar_filename, "rbe"));
  if (!tar_file) {
    OTA_LOG_INFO("Failed to open TAR file %s\n", tar_filename);
    return -1;
  }
  struct stat st {};
  if (stat(output_dir, &st) != 0 && mkdir(output_dir, 0755) != 0) {
    OTA_LOG_INFO("Failed to create target directory\n");
    return -1;
  }
  tar_member_t member{};
  if (const int32_t rc = find_regular(tar_file.get(), target_file, tar_filename, &member);
      rc != 0) {
    if (rc == -1) {
      OTA_LOG_ERR("File '%s' not found in TAR file.\n", target_file);
    }
    return -1;
  }
  OTA_LOG_INFO("File '%s' found in TAR file.\n", target_file);
  const std::string out_path = std::string(output_dir) + "/" + target_file;
  int32_t rc = -1;
  if (out_path.size() > kMaxOutputPath) {
    OTA_LOG_ERR("output path %s too long\n", out_path.c_str());
  } else if (within(member, max_bytes, target_file, tar_filename)) {
    OTA_LOG_INFO("output_filename %s\n", out_path.c_str());
    rc = copy_into(tar_file.get(), member, tar_filename, target_file, output_dir);
  }
  if (rc != 0) {
    OTA_LOG_ERR("failed to extract file %s from %s\n", target_file, tar_filename);
    return rc;
  }
  OTA_LOG_INFO("File extracted to '%s'.\n", out_path.c_str());
  return 0;
}

int32_t remove_zst_suffix(const char* str, char* out_str, size_t max_len) {
  if (str == nullptr || out_str == nullptr || max_len == 0) {
    OTA_LOG_ERR("Invalid input parameters\n");
    return -1;
  }
  const size_t len = strnlen(str, max_len);
  if (len >= max_len) {
    OTA_LOG_ERR("Input string too long for output buffer\n");
    return -1;
  }
  std::memcpy(out_str, str, len + 1);
  if (len >= 4 && std::strcmp(out_str + len - 4, ".zst") == 0) {
    out_str[len - 4] = '\0';
  }
  return 0;
}
