// HDIFF13: covers, RLE ctrl, RLE code and literals are four streams read side by side.
#include <array>
#include <memory>

#include "apply.h"
#include "cover.h"
#include "ota_log.h"
#include "rle.h"

namespace ota::hpatch {
namespace {

constexpr std::array<const char*, 4> kStreamNames = {"covers", "RLE ctrl", "RLE code", "literals"};

// Half of the budget buffers new (and the old bytes read into it); each stream gets an
// eighth, split between encoded input and decoded output when it is compressed.
bool open_streams(const PatchInfo& info, const ApplyIo& io,
                  std::array<std::unique_ptr<Stream>, 4>* streams) {
  const size_t share = cache_budget(io.cache_size) / 8;
  for (size_t i = 0; i < streams->size(); ++i) {
    const StreamInfo& stream = info.streams[i];
    const size_t input = stream.csize != 0 ? share / 2 : 0;
    auto decoder = make_decoder(info.compressor, stream, io.patch_fd, input, kStreamNames[i]);
    if (!decoder) {
      return false;
    }
    (*streams)[i] =
        std::make_unique<Stream>(std::move(decoder), stream.size, share - input, kStreamNames[i]);
  }
  return true;
}

// Gap bytes come from the literals; their differences exist only to be passed over.
bool copy_gap(NewWriter& out, Stream& literals, RleDiff& rle, uint64_t n) {
  return out.copy_stream(literals, n) && rle.skip(n);
}

}  // namespace

bool apply_compressed_diff(const PatchInfo& info, const ApplyIo& io) {
  std::array<std::unique_ptr<Stream>, 4> streams;
  if (!open_streams(info, io, &streams)) {
    return false;
  }
  Stream& covers = *streams[kCovers];
  Stream& literals = *streams[kLiterals];
  RleDiff rle(*streams[kRleCtrl], *streams[kRleCode]);
  NewWriter out(io.new_fd, info.new_size, cache_budget(io.cache_size) / 2, io.sink);
  CoverWalk walk(info.old_size, info.new_size);
  auto next_cover_byte = [&covers](uint8_t& byte) { return covers.next_byte(byte); };
  auto add_diff = [&rle](uint8_t* data, size_t n) { return rle.add(data, n); };

  for (uint64_t i = 0; i < info.cover_count; ++i) {
    Cover cover;
    if (!walk.next(next_cover_byte, &cover) ||
        !copy_gap(out, literals, rle, cover.new_pos - out.position()) ||
        !out.copy_old(io.old, cover.old_pos, cover.length, add_diff)) {
      return false;
    }
  }
  if (!copy_gap(out, literals, rle, info.new_size - out.position())) {
    return false;
  }
  if (!rle.run_complete()) {
    OTA_LOG_ERR("patch RLE runs go on past the end of the new image\n");
    return false;
  }
  for (auto& stream : streams) {
    if (!stream->at_end()) {
      return false;
    }
  }
  return out.finish();
}

}  // namespace ota::hpatch
