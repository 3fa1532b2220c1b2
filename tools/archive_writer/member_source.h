// The data of one member being written: a file read in steps, or bytes in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tool_result.h"
#include "unique_fd.h"

namespace ota::archive {

inline constexpr size_t kCopyStep = 1 << 20;

class MemberSource {
 public:
  [[nodiscard]] static tool::Result<MemberSource> from_file(const std::string& path);
  [[nodiscard]] static MemberSource from_bytes(std::string_view data);

  [[nodiscard]] uint64_t size() const { return size_; }
  [[nodiscard]] const std::string& label() const { return label_; }
  // Up to cap bytes; 0 at the end. A file that ends before or grows past the size it
  // had when opened is an error, so a member's header never lies.
  [[nodiscard]] tool::Result<size_t> read(uint8_t* buf, size_t cap);

 private:
  MemberSource(UniqueFd fd, std::string_view bytes, uint64_t size, std::string label);

  UniqueFd fd_;
  std::string_view bytes_;
  uint64_t size_;
  uint64_t done_ = 0;
  std::string label_;
};

}  // namespace ota::archive
