// Writers of zip archives and of ustar archives whose members may be zstd-compressed.
//
// Names are written exactly as given, never cleaned: the package builder passes sound
// names, and tests need hostile ones (absolute, "..", links) to prove the readers refuse
// them. Members are streamed from files in 1 MiB steps, so images of any size pass
// through a small buffer. Nothing is complete until finish() has succeeded.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "tool_result.h"

namespace ota::archive {

using tool::Error;
using tool::Result;

// A fixed default time keeps archives reproducible byte for byte.
inline constexpr int64_t kDefaultMtime = 1700000000;

enum class ZipMethod { kStore, kDeflate };

struct ZipEntry {
  std::string name;
  ZipMethod method = ZipMethod::kDeflate;
  int level = 6;         // deflate level 1..9
  uint32_t mode = 0644;  // permission bits recorded as the entry's Unix mode
  int64_t mtime = kDefaultMtime;
};

class ZipWriter {
 public:
  [[nodiscard]] static Result<ZipWriter> create(const std::string& path);
  ZipWriter(ZipWriter&& other) noexcept;
  ZipWriter& operator=(ZipWriter&& other) noexcept;
  ~ZipWriter();

  [[nodiscard]] Result<void> add_file(const ZipEntry& entry, const std::string& source_path);
  [[nodiscard]] Result<void> add_bytes(const ZipEntry& entry, std::string_view data);
  // A directory entry: the name gains a trailing '/' when it lacks one.
  [[nodiscard]] Result<void> add_directory(std::string name, uint32_t mode = 0755);
  // A symbolic-link entry (Unix type 0xA000) whose data is the target.
  [[nodiscard]] Result<void> add_symlink(const std::string& name, std::string_view target);
  // Writes the central directory and closes the archive.
  [[nodiscard]] Result<void> finish();

 private:
  struct State;
  explicit ZipWriter(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

struct TarEntry {
  std::string name;  // at most 100 bytes; readers match the name field alone
  uint32_t mode = 0644;
  int64_t mtime = kDefaultMtime;
  bool zstd = false;  // store the data zstd-compressed (with content checksum)
  int zstd_level = 3;
  uint64_t zstd_frame_bytes = 0;  // nonzero: end a frame after each this many input bytes
  std::string magic = "ustar";    // another value makes a header readers must reject
};

class TarWriter {
 public:
  [[nodiscard]] static Result<TarWriter> create(const std::string& path);
  TarWriter(TarWriter&& other) noexcept;
  TarWriter& operator=(TarWriter&& other) noexcept;
  ~TarWriter();

  [[nodiscard]] Result<void> add_file(const TarEntry& entry, const std::string& source_path);
  [[nodiscard]] Result<void> add_bytes(const TarEntry& entry, std::string_view data);
  [[nodiscard]] Result<void> add_directory(const std::string& name, uint32_t mode = 0755);
  [[nodiscard]] Result<void> add_symlink(const std::string& name, const std::string& target);
  // Writes the two zero blocks that end the archive, syncs and closes it.
  [[nodiscard]] Result<void> finish();

 private:
  struct State;
  explicit TarWriter(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace ota::archive
