#include "compress.h"

#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <string>

namespace ota::hdiff {
namespace {

constexpr int kDeflateWindowBits = -15;
constexpr int kDeflateLevel = 9;
constexpr int kZstdLevel = 20;
// The applier refuses zstd windows above 8 MiB; small streams get small windows.
constexpr unsigned kZstdMaxWindowLog = 23;
constexpr unsigned kZstdMinWindowLog = 10;

tool::Result<std::vector<uint8_t>> deflate_raw(std::span<const uint8_t> data) {
  z_stream z{};
  if (deflateInit2(&z, kDeflateLevel, Z_DEFLATED, kDeflateWindowBits, 9, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    return tool::Error(ENOMEM, "deflateInit2 failed");
  }
  std::vector<uint8_t> out(1 + deflateBound(&z, static_cast<uLong>(data.size())));
  out[0] = static_cast<uint8_t>(static_cast<int8_t>(kDeflateWindowBits));
  z.next_in = const_cast<Bytef*>(data.data());
  z.next_out = out.data() + 1;
  int ret = Z_OK;
  size_t offered = 0;
  // avail_in is 32-bit: feed very large streams in slices.
  while (ret == Z_OK) {
    if (z.avail_in == 0 && offered < data.size()) {
      const size_t slice = std::min<size_t>(data.size() - offered, UINT_MAX / 2);
      z.next_in = const_cast<Bytef*>(data.data() + offered);
      z.avail_in = static_cast<uInt>(slice);
      offered += slice;
    }
    z.avail_out =
        static_cast<uInt>(std::min<size_t>(out.size() - (z.next_out - out.data()), UINT_MAX / 2));
    ret = deflate(&z, offered == data.size() ? Z_FINISH : Z_NO_FLUSH);
  }
  const size_t produced = static_cast<size_t>(z.next_out - out.data());
  deflateEnd(&z);
  if (ret != Z_STREAM_END) {
    return tool::Error(EIO, "deflate failed: " + std::to_string(ret));
  }
  out.resize(produced);
  return out;
}

struct CctxFree {
  void operator()(ZSTD_CCtx* cctx) const { ZSTD_freeCCtx(cctx); }
};

tool::Result<std::vector<uint8_t>> zstd_frame(std::span<const uint8_t> data) {
  std::unique_ptr<ZSTD_CCtx, CctxFree> cctx(ZSTD_createCCtx());
  if (!cctx) {
    return tool::Error(ENOMEM, "ZSTD_createCCtx failed");
  }
  unsigned window_log = kZstdMinWindowLog;
  while (window_log < kZstdMaxWindowLog && (uint64_t{1} << window_log) < data.size()) {
    ++window_log;
  }
  ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, kZstdLevel);
  ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_windowLog, static_cast<int>(window_log));
  ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_contentSizeFlag, 1);
  ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_checksumFlag, 0);
  std::vector<uint8_t> out(ZSTD_compressBound(data.size()));
  const size_t n = ZSTD_compress2(cctx.get(), out.data(), out.size(), data.data(), data.size());
  if (ZSTD_isError(n) != 0) {
    return tool::Error(EIO, std::string("zstd compression failed: ") + ZSTD_getErrorName(n));
  }
  out.resize(n);
  return out;
}

}  // namespace

tool::Result<std::vector<uint8_t>> compress_stream(std::span<const uint8_t> data,
                                                   Compression compression) {
  switch (compression) {
    case Compression::kZlib:
      return deflate_raw(data);
    case Compression::kZstd:
      return zstd_frame(data);
    case Compression::kNone:
      break;
  }
  return std::vector<uint8_t>(data.begin(), data.end());
}

}  // namespace ota::hdiff
