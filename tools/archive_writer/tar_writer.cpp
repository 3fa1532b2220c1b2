#include <fcntl.h>
#include <sys/stat.h>
#include <zstd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "archive_writer.h"
#include "member_source.h"
#include "tar_zstd.h"

namespace ota::archive {
namespace {

constexpr char kTypeFile = '0';
constexpr char kTypeSymlink = '2';
constexpr char kTypeDirectory = '5';

struct CCtxFree {
  void operator()(ZSTD_CCtx* cctx) const { ZSTD_freeCCtx(cctx); }
};

// Copies text into a fixed field, truncated to the field, the rest zero.
template <size_t N>
void set_text(char (&field)[N], std::string_view text) {
  std::memset(field, 0, N);
  if (!text.empty()) {
    std::memcpy(field, text.data(), text.size() < N ? text.size() : N);
  }
}

// Octal digits with a terminating NUL, or the base-256 form when they do not fit.
template <size_t N>
void set_number(char (&field)[N], uint64_t value) {
  if (value < (1ULL << (3 * (N - 1)))) {
    snprintf(field, N, "%0*llo", static_cast<int>(N - 1), static_cast<unsigned long long>(value));
    return;
  }
  std::memset(field, 0, N);
  for (size_t i = N - 1; i > 0; --i, value >>= 8) {
    field[i] = static_cast<char>(value & 0xFF);
  }
  field[0] = static_cast<char>(0x80);
}

std::array<uint8_t, TAR_BLOCK_SIZE> encode_header(const TarEntry& entry, char type, uint64_t size,
                                                  std::string_view link) {
  tar_header_t h;
  std::memset(&h, 0, sizeof(h));
  std::memcpy(h.name, entry.name.data(), entry.name.size());
  set_number(h.mode, entry.mode & 07777);
  set_number(h.uid, 0);
  set_number(h.gid, 0);
  set_number(h.size, size);
  set_number(h.mtime, static_cast<uint64_t>(entry.mtime));
  h.typeflag = type;
  set_text(h.linkname, link);
  set_text(h.magic, entry.magic);
  std::memcpy(h.version, "00", 2);
  set_text(h.uname, "root");
  set_text(h.gname, "root");
  std::array<uint8_t, TAR_BLOCK_SIZE> block{};
  std::memset(h.chksum, ' ', sizeof(h.chksum));
  std::memcpy(block.data(), &h, sizeof(h));
  unsigned sum = 0;
  for (const uint8_t byte : block) {
    sum += byte;
  }
  snprintf(h.chksum, sizeof(h.chksum), "%06o", sum);
  h.chksum[7] = ' ';
  std::memcpy(block.data(), &h, sizeof(h));
  return block;
}

}  // namespace

struct TarWriter::State {
  std::string path;
  UniqueFd fd;
  uint64_t offset = 0;
  std::vector<uint8_t> in = std::vector<uint8_t>(kCopyStep);
  std::vector<uint8_t> out = std::vector<uint8_t>(ZSTD_CStreamOutSize());

  Result<void> write(const void* data, size_t len) {
    if (!write_full(fd.get(), data, len)) {
      return tool::errno_error("write " + path);
    }
    offset += len;
    return {};
  }

  Result<void> put_header(const TarEntry& entry, char type, uint64_t size, std::string_view link,
                          uint64_t at) {
    if (entry.name.empty() || entry.name.size() > sizeof(tar_header_t::name)) {
      return Error(ENAMETOOLONG, "member name '" + entry.name + "' must be 1 to 100 bytes");
    }
    if (link.size() > sizeof(tar_header_t::linkname)) {
      return Error(ENAMETOOLONG, "link target of " + entry.name + " longer than 100 bytes");
    }
    const auto block = encode_header(entry, type, size, link);
    if (at == offset) {
      return write(block.data(), block.size());
    }
    if (!pwrite_full(fd.get(), block.data(), block.size(), static_cast<off_t>(at))) {
      return tool::errno_error("write " + path);
    }
    return {};
  }

  Result<void> pad() {
    static constexpr uint8_t kZeros[TAR_BLOCK_SIZE] = {};
    const size_t rest = offset % TAR_BLOCK_SIZE;
    return rest == 0 ? Result<void>() : write(kZeros, TAR_BLOCK_SIZE - rest);
  }

  Result<void> copy_plain(MemberSource& source) {
    for (;;) {
      Result<size_t> got = source.read(in.data(), in.size());
      if (!got) {
        return std::move(got.error());
      }
      if (got.value() == 0) {
        return {};
      }
      if (Result<void> rc = write(in.data(), got.value()); !rc) {
        return rc;
      }
    }
  }

  // Runs the compressor over [in, in+len) with `mode`, writing all it produces.
  Result<void> compress_step(ZSTD_CCtx* cctx, size_t len, ZSTD_EndDirective mode) {
    ZSTD_inBuffer input{in.data(), len, 0};
    for (;;) {
      ZSTD_outBuffer output{out.data(), out.size(), 0};
      const size_t left = ZSTD_compressStream2(cctx, &output, &input, mode);
      if (ZSTD_isError(left) != 0) {
        return Error(EIO, std::string("zstd: ") + ZSTD_getErrorName(left));
      }
      if (Result<void> rc = write(out.data(), output.pos); !rc) {
        return rc;
      }
      const bool done = mode == ZSTD_e_end ? left == 0 : input.pos == input.size;
      if (done) {
        return {};
      }
    }
  }

  Result<void> copy_zstd(const TarEntry& entry, MemberSource& source) {
    std::unique_ptr<ZSTD_CCtx, CCtxFree> cctx(ZSTD_createCCtx());
    if (!cctx) {
      return Error(ENOMEM, "zstd context");
    }
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, entry.zstd_level);
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_checksumFlag, 1);
    const uint64_t frame = entry.zstd_frame_bytes;
    uint64_t in_frame = 0;
    for (;;) {
      size_t cap = in.size();
      if (frame != 0 && frame - in_frame < cap) {
        cap = static_cast<size_t>(frame - in_frame);
      }
      Result<size_t> got = source.read(in.data(), cap);
      if (!got) {
        return std::move(got.error());
      }
      const size_t n = got.value();
      in_frame += n;
      const bool last = n == 0;
      const bool end_frame = last || (frame != 0 && in_frame == frame);
      if (Result<void> rc = compress_step(cctx.get(), n, end_frame ? ZSTD_e_end : ZSTD_e_continue);
          !rc) {
        return rc;
      }
      if (last) {
        return {};
      }
      in_frame = end_frame ? 0 : in_frame;
    }
  }

  Result<void> add(const TarEntry& entry, char type, MemberSource& source, std::string_view link) {
    if (!fd) {
      return Error(EBADF, "archive already finished");
    }
    const uint64_t header_at = offset;
    if (Result<void> rc = put_header(entry, type, source.size(), link, offset); !rc) {
      return rc;
    }
    Result<void> rc = entry.zstd ? copy_zstd(entry, source) : copy_plain(source);
    if (!rc) {
      return rc;
    }
    const uint64_t size = offset - header_at - TAR_BLOCK_SIZE;
    if (entry.zstd) {
      // The compressed size is known only now: rewrite the header in place.
      if (Result<void> again = put_header(entry, type, size, link, header_at); !again) {
        return again;
      }
    }
    return pad();
  }

  Result<void> add_checked(const TarEntry& entry, char type, MemberSource& source,
                           std::string_view link) {
    Result<void> rc = add(entry, type, source, link);
    return rc ? rc : std::move(rc.error().context(path + ": member " + entry.name));
  }
};

TarWriter::TarWriter(std::unique_ptr<State> state) : state_(std::move(state)) {}
TarWriter::TarWriter(TarWriter&& other) noexcept = default;
TarWriter& TarWriter::operator=(TarWriter&& other) noexcept = default;
TarWriter::~TarWriter() = default;

Result<TarWriter> TarWriter::create(const std::string& path) {
  auto state = std::make_unique<State>();
  state->path = path;
  state->fd = open_fd(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (!state->fd) {
    return tool::errno_error("create tar " + path);
  }
  return TarWriter(std::move(state));
}

Result<void> TarWriter::add_file(const TarEntry& entry, const std::string& source_path) {
  Result<MemberSource> source = MemberSource::from_file(source_path);
  if (!source) {
    return std::move(source.error().context(state_->path));
  }
  return state_->add_checked(entry, kTypeFile, source.value(), {});
}

Result<void> TarWriter::add_bytes(const TarEntry& entry, std::string_view data) {
  MemberSource source = MemberSource::from_bytes(data);
  return state_->add_checked(entry, kTypeFile, source, {});
}

Result<void> TarWriter::add_directory(const std::string& name, uint32_t mode) {
  MemberSource source = MemberSource::from_bytes({});
  TarEntry entry;
  entry.name = name;
  entry.mode = mode;
  return state_->add_checked(entry, kTypeDirectory, source, {});
}

Result<void> TarWriter::add_symlink(const std::string& name, const std::string& target) {
  MemberSource source = MemberSource::from_bytes({});
  TarEntry entry;
  entry.name = name;
  entry.mode = 0777;
  return state_->add_checked(entry, kTypeSymlink, source, target);
}

Result<void> TarWriter::finish() {
  if (!state_->fd) {
    return Error(EBADF, state_->path + ": archive already finished");
  }
  static constexpr uint8_t kEnd[2 * TAR_BLOCK_SIZE] = {};
  if (Result<void> rc = state_->write(kEnd, sizeof(kEnd)); !rc) {
    return rc;
  }
  if (!sync_fd(state_->fd.get()) || state_->fd.close() != 0) {
    return tool::errno_error("sync " + state_->path);
  }
  return {};
}

}  // namespace ota::archive
