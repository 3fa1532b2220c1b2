#include "header.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "ota_log.h"
#include "varint.h"

namespace ota::hpatch {
namespace {

using ull = unsigned long long;

constexpr std::string_view kCompressedDiffMagic = "HDIFF13&";
constexpr std::string_view kSingleStreamMagic = "HDIFFSF20&";
// The header searches each terminator only this far, as the format's reader does.
constexpr size_t kMaxCompressorName = 259;
// Upper bound on a step of a single-stream patch unless new itself is larger.
constexpr uint64_t kMinStepLimit = 16ull << 20;

bool starts_with(std::span<const uint8_t> bytes, std::string_view magic) {
  return bytes.size() >= magic.size() && std::memcmp(bytes.data(), magic.data(), magic.size()) == 0;
}

// Names the formats this engine recognises but does not apply, so that the log says
// what the patch is rather than only that it is not ours.
bool refuse_foreign_format(std::span<const uint8_t> prefix) {
  static constexpr struct {
    std::string_view magic;
    const char* what;
  } kForeign[] = {
      {"BSDIFF40", "a BSDIFF40 (bsdiff 4) patch"},
      {"ENDSLEY/BSDIFF43", "an ENDSLEY/BSDIFF43 patch"},
      {"\xD6\xC3\xC4", "a VCDIFF patch"},
      {"HDIFF19", "a directory patch (HDIFF19)"},
  };
  for (const auto& foreign : kForeign) {
    if (starts_with(prefix, foreign.magic)) {
      OTA_LOG_ERR("patch is %s: only HDIFF13 and HDIFFSF20 patches are supported\n", foreign.what);
      return true;
    }
  }
  if (starts_with(prefix, "HDIFF")) {
    const size_t shown = std::min<size_t>(prefix.size(), 10);
    std::string magic;
    for (size_t i = 0; i < shown && prefix[i] >= 0x20 && prefix[i] < 0x7F; ++i) {
      magic.push_back(static_cast<char>(prefix[i]));
    }
    OTA_LOG_ERR("patch format \"%s\" is not supported: only HDIFF13 and HDIFFSF20\n",
                magic.c_str());
    return true;
  }
  return false;
}

bool parse_compressor(ByteCursor& cursor, Compressor* compressor) {
  std::string name;
  uint8_t byte = 0;
  while (true) {
    if (!cursor.next(byte)) {
      OTA_LOG_ERR("patch header is cut short inside the compressor name\n");
      return false;
    }
    if (byte == 0) {
      break;
    }
    if (name.size() >= kMaxCompressorName) {
      OTA_LOG_ERR("patch compressor name is longer than %zu bytes\n", kMaxCompressorName);
      return false;
    }
    name.push_back(static_cast<char>(byte));
  }
  if (name.empty()) {
    *compressor = Compressor::kNone;
  } else if (name == "zlib" || name == "pzlib") {
    *compressor = Compressor::kZlib;
  } else if (name == "zstd") {
    *compressor = Compressor::kZstd;
  } else {
    OTA_LOG_ERR("patch compressor \"%s\" is not supported (none, zlib, pzlib or zstd)\n",
                name.c_str());
    return false;
  }
  return true;
}

bool read_fields(ByteCursor& cursor, std::span<uint64_t> fields) {
  for (uint64_t& field : fields) {
    Varint number;
    const VarintStatus status = cursor.varint(0, &number);
    if (status != VarintStatus::kOk) {
      OTA_LOG_ERR("patch header field at byte %zu: %s\n", cursor.pos(), varint_status_text(status));
      return false;
    }
    field = number.value;
  }
  return true;
}

// Places the streams one after the other from offset and checks they end at patch_size.
bool place_streams(std::span<StreamInfo> streams, uint64_t offset, uint64_t patch_size) {
  for (StreamInfo& stream : streams) {
    stream.offset = offset;
    if (stream.stored_size() > patch_size - offset) {
      OTA_LOG_ERR("patch is %llu bytes but its header declares more (truncated patch?)\n",
                  static_cast<ull>(patch_size));
      return false;
    }
    offset += stream.stored_size();
  }
  if (offset != patch_size) {
    OTA_LOG_ERR("patch is %llu bytes but its header declares %llu\n", static_cast<ull>(patch_size),
                static_cast<ull>(offset));
    return false;
  }
  return true;
}

bool check_compression(const PatchInfo& info, std::span<const StreamInfo> streams) {
  for (const StreamInfo& stream : streams) {
    if (stream.csize != 0 && info.compressor == Compressor::kNone) {
      OTA_LOG_ERR("patch stream is compressed but the patch names no compressor\n");
      return false;
    }
  }
  return true;
}

bool read_compressed_diff(ByteCursor& cursor, uint64_t patch_size, PatchInfo* info) {
  uint64_t fields[11];
  if (!read_fields(cursor, fields)) {
    return false;
  }
  info->layout = Layout::kCompressedDiff;
  info->new_size = fields[0];
  info->old_size = fields[1];
  info->cover_count = fields[2];
  for (size_t i = 0; i < info->streams.size(); ++i) {
    info->streams[i].size = fields[3 + 2 * i];
    info->streams[i].csize = fields[4 + 2 * i];
  }
  if (info->streams[kLiterals].size > info->new_size) {
    OTA_LOG_ERR("patch declares %llu literal bytes for a new image of %llu bytes\n",
                static_cast<ull>(info->streams[kLiterals].size), static_cast<ull>(info->new_size));
    return false;
  }
  return check_compression(*info, info->streams) &&
         place_streams(info->streams, cursor.pos(), patch_size);
}

bool read_single_stream(ByteCursor& cursor, uint64_t patch_size, PatchInfo* info) {
  uint64_t fields[6];
  if (!read_fields(cursor, fields)) {
    return false;
  }
  info->layout = Layout::kSingleStream;
  info->new_size = fields[0];
  info->old_size = fields[1];
  info->cover_count = fields[2];
  info->step_mem_size = fields[3];
  info->body.size = fields[4];
  info->body.csize = fields[5];
  if (info->body.csize > info->body.size || info->step_mem_size > info->body.size ||
      info->step_mem_size > std::max(info->new_size, kMinStepLimit)) {
    OTA_LOG_ERR("patch header is inconsistent: step %llu, body %llu, compressed %llu\n",
                static_cast<ull>(info->step_mem_size), static_cast<ull>(info->body.size),
                static_cast<ull>(info->body.csize));
    return false;
  }
  // Nothing follows the body in a well-formed patch; refusing extra bytes catches a patch
  // glued to something else.
  return check_compression(*info, std::span(&info->body, 1)) &&
         place_streams(std::span(&info->body, 1), cursor.pos(), patch_size);
}

}  // namespace

const char* compressor_name(Compressor compressor) {
  switch (compressor) {
    case Compressor::kNone:
      return "none";
    case Compressor::kZlib:
      return "zlib";
    case Compressor::kZstd:
      return "zstd";
  }
  return "unknown";
}

bool read_patch_info(std::span<const uint8_t> prefix, uint64_t patch_size, PatchInfo* info) {
  *info = PatchInfo{};
  size_t magic_size = 0;
  if (starts_with(prefix, kCompressedDiffMagic)) {
    magic_size = kCompressedDiffMagic.size();
    info->layout = Layout::kCompressedDiff;
  } else if (starts_with(prefix, kSingleStreamMagic)) {
    magic_size = kSingleStreamMagic.size();
    info->layout = Layout::kSingleStream;
  } else {
    if (!refuse_foreign_format(prefix)) {
      OTA_LOG_ERR("patch has no known format magic (%zu bytes)\n", prefix.size());
    }
    return false;
  }
  ByteCursor cursor(prefix);
  std::span<const uint8_t> magic;
  if (!cursor.take(magic_size, &magic) || !parse_compressor(cursor, &info->compressor)) {
    return false;
  }
  if (info->layout == Layout::kCompressedDiff) {
    return read_compressed_diff(cursor, patch_size, info);
  }
  return read_single_stream(cursor, patch_size, info);
}

}  // namespace ota::hpatch
