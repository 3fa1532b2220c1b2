// The new image, produced strictly forward from offset 0 through one buffer. Old bytes
// are read straight into that buffer and the differences added in place, so a cover
// costs no copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "hpatch.h"
#include "stream.h"

namespace ota::hpatch {

// The first size bytes of an old image; fd is unused when size is 0.
struct OldImage {
  int fd = -1;
  uint64_t size = 0;
};

class NewWriter {
 public:
  // Writes to fd, or hands each full buffer to sink when there is one.
  NewWriter(int fd, uint64_t new_size, size_t buffer_size, const hpatch_out* sink = nullptr);

  // Bytes of new produced so far.
  [[nodiscard]] uint64_t position() const { return flushed_ + fill_; }
  // Appends n bytes taken from a stream.
  [[nodiscard]] bool copy_stream(Stream& from, uint64_t n);
  // Appends old[old_pos, old_pos+n) with add_diff(data, count) applied to each piece.
  template <typename AddDiff>
  [[nodiscard]] bool copy_old(const OldImage& old, uint64_t old_pos, uint64_t n,
                              AddDiff&& add_diff) {
    while (n > 0) {
      size_t room = 0;
      uint8_t* dst = reserve(n, &room);
      if (dst == nullptr || !read_old(old, old_pos, dst, room) || !add_diff(dst, room)) {
        return false;
      }
      fill_ += room;
      old_pos += room;
      n -= room;
    }
    return true;
  }
  // Writes what is buffered and checks that exactly new_size bytes were produced.
  [[nodiscard]] bool finish();

 private:
  // Room for up to n more bytes (flushing first when the buffer is full).
  [[nodiscard]] uint8_t* reserve(uint64_t n, size_t* room);
  [[nodiscard]] bool flush();
  [[nodiscard]] static bool read_old(const OldImage& old, uint64_t pos, uint8_t* dst, size_t n);

  int fd_;
  const hpatch_out* sink_;
  uint64_t new_size_;
  std::vector<uint8_t> buffer_;
  size_t fill_ = 0;
  uint64_t flushed_ = 0;
};

}  // namespace ota::hpatch
