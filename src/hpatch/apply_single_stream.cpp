// HDIFFSF20: one forward stream of steps; each step holds its covers, the differences of
// their bytes and then the literals of the gaps before them.
#include <algorithm>
#include <span>
#include <vector>

#include "apply.h"
#include "cover.h"
#include "ota_log.h"
#include "rle.h"

namespace ota::hpatch {
namespace {

using ull = unsigned long long;

// The step block grows only as its bytes arrive, so a header that lies about the step
// size cannot make us allocate memory the patch does not fill.
constexpr size_t kStepGrowth = 1 << 20;

bool read_step_sizes(Stream& body, uint64_t step_limit, uint64_t* cover_bytes,
                     uint64_t* rle_bytes) {
  auto next_byte = [&body](uint8_t& byte) { return body.next_byte(byte); };
  Varint covers;
  Varint rle;
  if (unpack_varint(next_byte, 0, &covers) != VarintStatus::kOk ||
      unpack_varint(next_byte, 0, &rle) != VarintStatus::kOk) {
    OTA_LOG_ERR("patch step header is cut short or malformed\n");
    return false;
  }
  if (covers.value > step_limit || rle.value > step_limit - covers.value) {
    OTA_LOG_ERR("patch step of %llu + %llu bytes exceeds the step size %llu\n",
                static_cast<ull>(covers.value), static_cast<ull>(rle.value),
                static_cast<ull>(step_limit));
    return false;
  }
  if (covers.value == 0) {
    OTA_LOG_ERR("patch step holds no cover\n");
    return false;
  }
  *cover_bytes = covers.value;
  *rle_bytes = rle.value;
  return true;
}

bool read_step(Stream& body, uint64_t size, std::vector<uint8_t>* step) {
  step->clear();
  while (step->size() < size) {
    const size_t have = step->size();
    const auto more = static_cast<size_t>(std::min<uint64_t>(size - have, kStepGrowth));
    step->resize(have + more);
    if (!body.read(step->data() + have, more)) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool apply_single_stream(const PatchInfo& info, const ApplyIo& io) {
  const size_t budget = cache_budget(io.cache_size);
  const size_t input = info.body.csize != 0 ? budget / 4 : 0;
  auto decoder = make_decoder(info.compressor, info.body, io.patch_fd, input, "body");
  if (!decoder) {
    return false;
  }
  Stream body(std::move(decoder), info.body.size, budget / 2 - input, "body");
  NewWriter out(io.new_fd, info.new_size, budget / 2, io.sink);
  CoverWalk walk(info.old_size, info.new_size);
  std::vector<uint8_t> step;

  while (walk.count() < info.cover_count) {
    uint64_t cover_bytes = 0;
    uint64_t rle_bytes = 0;
    if (!read_step_sizes(body, info.step_mem_size, &cover_bytes, &rle_bytes) ||
        !read_step(body, cover_bytes + rle_bytes, &step)) {
      return false;
    }
    const std::span<const uint8_t> block(step);
    ByteCursor covers(block.first(static_cast<size_t>(cover_bytes)));
    Rle0 rle(block.subspan(static_cast<size_t>(cover_bytes)));
    auto next_cover_byte = [&covers](uint8_t& byte) { return covers.next(byte); };
    auto add_diff = [&rle](uint8_t* data, size_t n) { return rle.add(data, n); };
    while (covers.remaining() > 0) {
      if (walk.count() == info.cover_count) {
        OTA_LOG_ERR("patch holds more than its %llu covers\n", static_cast<ull>(info.cover_count));
        return false;
      }
      Cover cover;
      if (!walk.next(next_cover_byte, &cover)) {
        return false;
      }
      if (cover.length == 0 && walk.count() != info.cover_count) {
        OTA_LOG_ERR("patch cover %llu is empty but not the last\n",
                    static_cast<ull>(walk.count() - 1));
        return false;
      }
      if (!out.copy_stream(body, cover.new_pos - out.position()) ||
          !out.copy_old(io.old, cover.old_pos, cover.length, add_diff)) {
        return false;
      }
    }
  }
  return body.at_end() && out.finish();
}

}  // namespace ota::hpatch
