// Laying out an HDIFF13 patch: header, then covers, RLE ctrl, RLE code and the literal
// bytes of the gaps, each stream compressed only where that saves at least a byte.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <string_view>

#include "compress.h"
#include "cover_search.h"
#include "hdiff.h"
#include "rle_writer.h"
#include "unique_fd.h"
#include "varint_writer.h"

namespace ota::hdiff {
namespace {

struct Streams {
  std::vector<uint8_t> covers;
  std::vector<uint8_t> ctrl;
  std::vector<uint8_t> code;
  std::vector<uint8_t> literals;
};

Streams encode(std::span<const uint8_t> old_data, std::span<const uint8_t> new_data,
               const std::vector<Cover>& covers) {
  Streams out;
  RleWriter rle;
  uint64_t last_old_end = 0;
  uint64_t last_new_end = 0;
  for (const Cover& cover : covers) {
    const bool backwards = cover.old_pos < last_old_end;
    pack_varint(out.covers, backwards ? last_old_end - cover.old_pos : cover.old_pos - last_old_end,
                backwards ? 1 : 0, 1);
    pack_varint(out.covers, cover.new_pos - last_new_end);
    pack_varint(out.covers, cover.length);
    out.literals.insert(out.literals.end(), new_data.begin() + static_cast<ptrdiff_t>(last_new_end),
                        new_data.begin() + static_cast<ptrdiff_t>(cover.new_pos));
    rle.push_zeros(cover.new_pos - last_new_end);
    rle.push_diff(new_data.data() + cover.new_pos, old_data.data() + cover.old_pos, cover.length);
    last_old_end = cover.old_end();
    last_new_end = cover.new_end();
  }
  out.literals.insert(out.literals.end(), new_data.begin() + static_cast<ptrdiff_t>(last_new_end),
                      new_data.end());
  rle.push_zeros(new_data.size() - last_new_end);
  rle.finish();
  out.ctrl = rle.ctrl();
  out.code = rle.code();
  return out;
}

const char* compressor_name(Compression compression) {
  switch (compression) {
    case Compression::kZlib:
      return "zlib";
    case Compression::kZstd:
      return "zstd";
    case Compression::kNone:
      break;
  }
  return "";
}

}  // namespace

tool::Result<PatchPlan> PatchPlan::create(std::span<const uint8_t> old_data,
                                          std::span<const uint8_t> new_data) {
  auto index = SuffixArray::build(old_data);
  if (!index) {
    return std::move(index.error());
  }
  const std::vector<Cover> covers = find_covers(old_data, new_data, index.value());
  Streams streams = encode(old_data, new_data, covers);
  PatchPlan plan;
  plan.new_size_ = new_data.size();
  plan.old_size_ = old_data.size();
  plan.cover_count_ = covers.size();
  plan.streams_[0] = std::move(streams.covers);
  plan.streams_[1] = std::move(streams.ctrl);
  plan.streams_[2] = std::move(streams.code);
  plan.streams_[3] = std::move(streams.literals);
  return plan;
}

tool::Result<std::vector<uint8_t>> PatchPlan::serialize(Compression compression) const {
  std::array<std::vector<uint8_t>, 4> packed;
  std::array<uint64_t, 4> csize{};
  for (size_t i = 0; i < packed.size(); ++i) {
    if (compression != Compression::kNone && !streams_[i].empty()) {
      auto compressed = compress_stream(streams_[i], compression);
      if (!compressed) {
        return std::move(compressed.error().context("compressing a patch stream"));
      }
      // Stored raw unless compression saves at least a byte, as the format expects.
      if (compressed->size() < streams_[i].size()) {
        packed[i] = std::move(compressed.value());
        csize[i] = packed[i].size();
        continue;
      }
    }
    packed[i] = streams_[i];
  }

  std::vector<uint8_t> patch;
  const std::string_view magic = "HDIFF13&";
  patch.insert(patch.end(), magic.begin(), magic.end());
  const std::string_view name = compressor_name(compression);
  patch.insert(patch.end(), name.begin(), name.end());
  patch.push_back(0);
  pack_varint(patch, new_size_);
  pack_varint(patch, old_size_);
  pack_varint(patch, cover_count_);
  for (size_t i = 0; i < packed.size(); ++i) {
    pack_varint(patch, streams_[i].size());
    pack_varint(patch, csize[i]);
  }
  for (const auto& stream : packed) {
    patch.insert(patch.end(), stream.begin(), stream.end());
  }
  return patch;
}

tool::Result<std::vector<uint8_t>> make_patch(std::span<const uint8_t> old_data,
                                              std::span<const uint8_t> new_data,
                                              const DiffOptions& options) {
  auto plan = PatchPlan::create(old_data, new_data);
  if (!plan) {
    return std::move(plan.error());
  }
  return plan->serialize(options.compression);
}

namespace {

tool::Result<std::vector<uint8_t>> read_whole(const std::string& path) {
  std::vector<uint8_t> data;
  if (path.empty()) {
    return data;
  }
  UniqueFd fd = open_fd(path.c_str(), O_RDONLY);
  struct stat st {};
  if (!fd || fstat(fd.get(), &st) != 0) {
    return tool::errno_error("open " + path);
  }
  if (!S_ISREG(st.st_mode)) {
    return tool::Error(EINVAL, path + " is not a regular file");
  }
  data.resize(static_cast<size_t>(st.st_size));
  const ssize_t got = read_full(fd.get(), data.data(), data.size());
  if (got < 0) {
    return tool::errno_error("read " + path);
  }
  if (static_cast<size_t>(got) != data.size()) {
    return tool::Error(EIO, "read " + path + ": file shrank while reading");
  }
  return data;
}

// Written beside the target and renamed over it, so a failure never leaves half a patch
// under the final name.
tool::Result<void> write_durably(const std::string& path, std::span<const uint8_t> bytes) {
  const std::string temp = path + ".tmp";
  UniqueFd fd = open_fd(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (!fd) {
    return tool::errno_error("create " + temp);
  }
  if (!write_full(fd.get(), bytes.data(), bytes.size()) || fsync(fd.get()) != 0 ||
      fd.close() != 0) {
    tool::Error error = tool::errno_error("write " + temp);
    unlink(temp.c_str());
    return error;
  }
  if (rename(temp.c_str(), path.c_str()) != 0) {
    tool::Error error = tool::errno_error("rename " + temp + " to " + path);
    unlink(temp.c_str());
    return error;
  }
  return {};
}

}  // namespace

tool::Result<void> diff_files(const std::string& old_path, const std::string& new_path,
                              const std::string& patch_path, const DiffOptions& options) {
  auto old_data = read_whole(old_path);
  if (!old_data) {
    return std::move(old_data.error());
  }
  auto new_data = read_whole(new_path);
  if (!new_data) {
    return std::move(new_data.error());
  }
  auto patch = make_patch(old_data.value(), new_data.value(), options);
  if (!patch) {
    return std::move(patch.error().context("diffing " + old_path + " and " + new_path));
  }
  return write_durably(patch_path, patch.value());
}

}  // namespace ota::hdiff
