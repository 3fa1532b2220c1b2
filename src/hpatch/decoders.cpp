// The three encodings of a patch stream. Each decoder reads its own byte range of the
// patch forward and never past it.
#include <zlib.h>
#include <zstd.h>

#include <climits>
#include <memory>

#include "ota_log.h"
#include "stream.h"

namespace ota::hpatch {
namespace {

// A zstd window above this is refused rather than allocated: the writer's largest is
// 8 MiB, and the board has no memory to spare for larger ones.
constexpr int kZstdWindowLogMax = 23;

class RawDecoder final : public Decoder {
 public:
  RawDecoder(int fd, const StreamInfo& stream)
      : in_(fd, stream.offset, stream.offset + stream.size, 0) {}

  bool read_some(uint8_t* dst, size_t cap, size_t* got) override {
    return in_.read_some(dst, cap, got);
  }
  bool finish() override { return in_.remaining() == 0; }

 private:
  PatchRange in_;
};

// Decoders that must end exactly at the declared size: one more byte is an error.
bool no_more_output(Decoder& decoder, const char* name) {
  uint8_t extra = 0;
  size_t got = 0;
  if (!decoder.read_some(&extra, 1, &got)) {
    return false;
  }
  if (got != 0) {
    OTA_LOG_ERR("patch %s stream decodes to more than its declared size\n", name);
    return false;
  }
  return true;
}

// One windowBits byte, then raw deflate; several deflate streams may follow each other.
class ZlibDecoder final : public Decoder {
 public:
  ZlibDecoder(int fd, const StreamInfo& stream, size_t buffer_size, const char* name)
      : in_(fd, stream.offset, stream.offset + stream.csize, buffer_size), name_(name) {}
  ~ZlibDecoder() override {
    if (started_) {
      inflateEnd(&z_);
    }
  }
  ZlibDecoder(const ZlibDecoder&) = delete;
  ZlibDecoder& operator=(const ZlibDecoder&) = delete;

  bool read_some(uint8_t* dst, size_t cap, size_t* got) override {
    *got = 0;
    if (!started_ && !start()) {
      return false;
    }
    const auto room = static_cast<uInt>(std::min<size_t>(cap, UINT_MAX));
    z_.next_out = dst;
    z_.avail_out = room;
    while (z_.avail_out == room) {
      if (ended_) {
        if (in_.remaining() == 0) {
          break;
        }
        inflateReset(&z_);
        ended_ = false;
      }
      if (z_.avail_in == 0 && !refill()) {
        return false;
      }
      const uInt before = z_.avail_in;
      const int ret = inflate(&z_, Z_NO_FLUSH);
      in_.consume(before - z_.avail_in);
      if (ret == Z_STREAM_END) {
        ended_ = true;
      } else if (ret == Z_BUF_ERROR) {
        OTA_LOG_ERR("patch %s stream: deflate data is cut short\n", name_);
        return false;
      } else if (ret != Z_OK) {
        OTA_LOG_ERR("patch %s stream: corrupt deflate data (%s)\n", name_,
                    z_.msg != nullptr ? z_.msg : "no detail");
        return false;
      }
    }
    *got = room - z_.avail_out;
    return true;
  }

  bool finish() override { return no_more_output(*this, name_); }

 private:
  bool refill() {
    const uint8_t* data = nullptr;
    size_t size = 0;
    if (!in_.peek(&data, &size)) {
      return false;
    }
    z_.next_in = const_cast<Bytef*>(data);
    z_.avail_in = static_cast<uInt>(std::min<size_t>(size, UINT_MAX));
    return true;
  }

  bool start() {
    const uint8_t* data = nullptr;
    size_t size = 0;
    if (!in_.peek(&data, &size)) {
      return false;
    }
    if (size == 0) {
      OTA_LOG_ERR("patch %s stream: zlib stream is empty\n", name_);
      return false;
    }
    const int window_bits = static_cast<int8_t>(data[0]);
    in_.consume(1);
    if (window_bits < -15 || window_bits > -8) {
      OTA_LOG_ERR("patch %s stream: zlib window bits %d are not raw deflate\n", name_, window_bits);
      return false;
    }
    if (inflateInit2(&z_, window_bits) != Z_OK) {
      OTA_LOG_ERR("patch %s stream: cannot start inflate\n", name_);
      return false;
    }
    started_ = true;
    return true;
  }

  PatchRange in_;
  z_stream z_{};
  bool started_ = false;
  bool ended_ = false;
  const char* name_;
};

struct DctxFree {
  void operator()(ZSTD_DCtx* dctx) const { ZSTD_freeDCtx(dctx); }
};

// One or more zstd frames.
class ZstdDecoder final : public Decoder {
 public:
  ZstdDecoder(int fd, const StreamInfo& stream, size_t buffer_size, const char* name)
      : in_(fd, stream.offset, stream.offset + stream.csize, buffer_size),
        dctx_(ZSTD_createDCtx()),
        name_(name) {}

  bool read_some(uint8_t* dst, size_t cap, size_t* got) override {
    *got = 0;
    ZSTD_outBuffer out{dst, cap, 0};
    while (out.pos == 0) {
      if (zin_.pos == zin_.size && !refill()) {
        return false;
      }
      const bool no_input = zin_.size == 0;
      if (no_input && frame_done_) {
        break;
      }
      const size_t before = zin_.pos;
      const size_t ret = ZSTD_decompressStream(dctx_.get(), &out, &zin_);
      in_.consume(zin_.pos - before);
      if (ZSTD_isError(ret) != 0) {
        OTA_LOG_ERR("patch %s stream: corrupt zstd data (%s)\n", name_, ZSTD_getErrorName(ret));
        return false;
      }
      frame_done_ = ret == 0;
      if (out.pos == 0 && no_input && !frame_done_) {
        OTA_LOG_ERR("patch %s stream: zstd data is cut short\n", name_);
        return false;
      }
    }
    *got = out.pos;
    return true;
  }

  bool finish() override { return no_more_output(*this, name_); }

  [[nodiscard]] bool configure() {
    if (!dctx_) {
      OTA_LOG_ERR("patch %s stream: cannot allocate a zstd decoder\n", name_);
      return false;
    }
    const size_t ret = ZSTD_DCtx_setParameter(dctx_.get(), ZSTD_d_windowLogMax, kZstdWindowLogMax);
    if (ZSTD_isError(ret) != 0) {
      OTA_LOG_ERR("patch %s stream: zstd setup failed (%s)\n", name_, ZSTD_getErrorName(ret));
      return false;
    }
    return true;
  }

 private:
  bool refill() {
    const uint8_t* data = nullptr;
    size_t size = 0;
    if (!in_.peek(&data, &size)) {
      return false;
    }
    zin_ = ZSTD_inBuffer{data, size, 0};
    return true;
  }

  PatchRange in_;
  std::unique_ptr<ZSTD_DCtx, DctxFree> dctx_;
  ZSTD_inBuffer zin_{nullptr, 0, 0};
  // An empty stream is not a frame; it only ends cleanly after a whole one.
  bool frame_done_ = false;
  const char* name_;
};

}  // namespace

std::unique_ptr<Decoder> make_decoder(Compressor compressor, const StreamInfo& stream, int patch_fd,
                                      size_t buffer_size, const char* name) {
  if (stream.csize == 0) {
    return std::make_unique<RawDecoder>(patch_fd, stream);
  }
  if (compressor == Compressor::kZlib) {
    return std::make_unique<ZlibDecoder>(patch_fd, stream, buffer_size, name);
  }
  if (compressor == Compressor::kZstd) {
    auto decoder = std::make_unique<ZstdDecoder>(patch_fd, stream, buffer_size, name);
    if (!decoder->configure()) {
      return nullptr;
    }
    return decoder;
  }
  OTA_LOG_ERR("patch %s stream is compressed but the patch names no compressor\n", name);
  return nullptr;
}

}  // namespace ota::hpatch
