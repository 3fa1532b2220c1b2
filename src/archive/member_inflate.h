// One zip member's data read raw through minizip and inflated by ISA-L's igzip, about four
// times faster than zlib's inflate: the member's CRC-32 and declared size are ours to check.
#pragma once

#include <minizip/unzip.h>

#include <cstddef>
#include <cstdint>
#include <memory>

struct inflate_state;

namespace ota {

// The archive's current member, opened raw. Its results are those of minizip's own
// reading, so that callers report the same codes and messages: a corrupt deflate stream
// fails the read with Z_DATA_ERROR and one cut short with Z_BUF_ERROR; closing reports
// UNZ_BADZIPFILE for a member that ends before its declared size and UNZ_CRCERROR for one
// whose bytes do not match the entry's CRC. No more than the declared size is delivered.
class MemberInflate {
 public:
  MemberInflate();
  MemberInflate(const MemberInflate&) = delete;
  MemberInflate& operator=(const MemberInflate&) = delete;
  ~MemberInflate();

  // Opens the current entry, described by info; UNZ_OK or the failure, logged.
  [[nodiscard]] int open(unzFile archive, const unz_file_info64& info);
  // Up to len bytes into out: their count, 0 at the member's end, or a negative code.
  [[nodiscard]] int read(uint8_t* out, size_t len);
  // The member's verdict once read; the member is closed either way.
  [[nodiscard]] int close();

 private:
  int read_stored(uint8_t* out, size_t len);
  int read_deflated(uint8_t* out, size_t len);
  int refill();

  unzFile archive_ = nullptr;
  bool deflated_ = false;
  bool input_done_ = false;
  bool stream_done_ = false;
  uint64_t declared_ = 0;
  uint64_t delivered_ = 0;
  uint32_t expected_crc_ = 0;
  uint32_t crc_ = 0;
  std::unique_ptr<inflate_state> state_;
  std::unique_ptr<uint8_t[]> input_;
};

}  // namespace ota
