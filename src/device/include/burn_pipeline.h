// The overlapped write path of a full-image burn: the caller fills chunk buffers (by
// inflating or decompressing into them) while a second thread writes the filled ones to
// the device and proves, by reading back from the medium, each range already written.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "md5.h"

namespace ota {

// The digest state of the first `hashed` bytes of a device as they were read back from
// the medium once written, flushed and dropped from the page cache.
struct ReadBackProof {
  MD5_CTX ctx{};
  uint64_t hashed = 0;
  ReadBackProof() { MD5Init(&ctx); }
};

// Which stage failed first.
enum class PipeFault { none, write, sync };

// Chunks in flight: one being filled, one being written, one waiting. With the read-back
// buffer this bounds a burn's memory whatever the image's size.
inline constexpr size_t kBurnRingSlots = 3;
inline constexpr size_t kBurnSlotSize = 10485760;
inline constexpr size_t kReadBackSize = 1048576;
// The writer thread's name, as ps and /proc/PID/task/*/comm show it.
inline constexpr const char* kBurnThreadName = "ota_burn";

// "OTA_BURN_THREADS=1" runs every stage on the calling thread, one after another, for
// boards whose application must keep the second core.
[[nodiscard]] bool burn_single_threaded();

// Single producer (the caller) and single consumer (the writer). Writes start at offset 0
// of fd; with a proof, every byte written is read back through path and hashed in order.
// Only the caller's thread calls the members; no thread outlives the object. The ring is
// the process's one: one pipeline at a time, like the chunk buffers of device_io.
class BurnPipeline {
 public:
  BurnPipeline(int fd, const char* path, ReadBackProof* proof);
  ~BurnPipeline();
  BurnPipeline(const BurnPipeline&) = delete;
  BurnPipeline& operator=(const BurnPipeline&) = delete;

  // False when the ring or the read-back descriptor could not be had (logged).
  [[nodiscard]] bool ready() const;
  // The next buffer to fill (kBurnSlotSize bytes), once the writer has emptied it;
  // nullptr after a failure of the writer.
  [[nodiscard]] uint8_t* slot();
  // Hands over the first len bytes of the buffer slot() gave. False once the writer has
  // failed: fault() and error() say where and why.
  [[nodiscard]] bool push(size_t len);
  // Waits for every pushed chunk, makes the device durable and proves what is left.
  [[nodiscard]] bool finish();
  // Bytes the writer has written since the last call: progress counts written bytes.
  [[nodiscard]] uint64_t take_written();
  [[nodiscard]] PipeFault fault() const;
  [[nodiscard]] int error() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ota
