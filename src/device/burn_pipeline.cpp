// Two stages of a burn side by side: the caller inflates into one chunk while the writer
// writes the one before and reads back, from the medium, the range written before that.
// The inflate is the only stage that must be sequential; the device's write and the
// read-back of the proof run on the second core beside it.
#include "burn_pipeline.h"

#include <fcntl.h>
#include <pthread.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "ota_log.h"
#include "unique_fd.h"

namespace ota {

namespace {

// Allocated on the first burn and kept for the process's life: every later burn reuses
// it, so a worker's memory does not grow with the number or size of its images.
uint8_t* ring_memory() {
  static uint8_t* const ring = [] {
    void* mem = nullptr;
    const size_t size = kBurnRingSlots * kBurnSlotSize + kReadBackSize;
    return ::posix_memalign(&mem, 4096, size) == 0 ? static_cast<uint8_t*>(mem) : nullptr;
  }();
  return ring;
}

}  // namespace

struct BurnPipeline::Impl {
  Impl(int fd, const char* path, ReadBackProof* proof);
  ~Impl();
  uint8_t* slot();
  bool push(size_t len);
  bool finish();
  uint64_t take_written();
  PipeFault fault() const;
  int error() const;
  void run(const std::stop_token& stop);
  bool write_chunk(const uint8_t* buf, size_t len);
  void prove_up_to(uint64_t end);
  void fail(PipeFault what);

  int fd_;
  ReadBackProof* proof_;
  UniqueFd read_fd_;
  uint8_t* slots_[kBurnRingSlots] = {};
  uint8_t* read_buf_ = nullptr;
  bool ready_ = false;
  bool threaded_ = false;

  // Touched only by whichever thread writes: the writer, or the caller in one-thread
  // mode and after the join.
  uint64_t offset_ = 0;
  uint64_t proven_ = 0;

  mutable std::mutex mu_;
  std::condition_variable_any cv_;
  size_t lens_[kBurnRingSlots] = {};
  uint64_t produced_ = 0;  // chunks pushed
  uint64_t consumed_ = 0;  // chunks written
  uint64_t written_ = 0;   // bytes written
  uint64_t reported_ = 0;  // bytes given to take_written
  bool closing_ = false;
  PipeFault fault_ = PipeFault::none;
  int errno_ = 0;
  std::jthread writer_;  // last: joined before the members above go away
};

bool burn_single_threaded() {
  const char* value = std::getenv("OTA_BURN_THREADS");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

BurnPipeline::Impl::Impl(int fd, const char* path, ReadBackProof* proof) : fd_(fd), proof_(proof) {
  uint8_t* ring = ring_memory();
  if (ring == nullptr) {
    OTA_LOG_ERR("no memory for the %zu chunk buffers of a burn\n", kBurnRingSlots);
    return;
  }
  for (size_t i = 0; i < kBurnRingSlots; ++i) {
    slots_[i] = ring + i * kBurnSlotSize;
  }
  read_buf_ = ring + kBurnRingSlots * kBurnSlotSize;
  if (proof_ != nullptr) {
    read_fd_ = open_fd(path, O_RDONLY);
    if (!read_fd_) {
      OTA_LOG_ERR("open %s for its read-back failed: %s\n", path, std::strerror(errno));
      return;
    }
  }
  ready_ = true;
  threaded_ = !burn_single_threaded();
  if (threaded_) {
    try {
      writer_ = std::jthread([this](const std::stop_token& stop) { run(stop); });
      // Named before the constructor returns: whoever looks finds it under that name.
      (void)::pthread_setname_np(writer_.native_handle(), kBurnThreadName);
    } catch (const std::system_error& e) {
      // Without a second thread the same stages run one after another: slower, not wrong.
      OTA_LOG_WARN("no writer thread for the burn (%s): one thread does it all\n", e.what());
      threaded_ = false;
    }
  }
}

BurnPipeline::Impl::~Impl() {
  // An abandoned burn (the caller failed) drops the chunks still queued.
  if (writer_.joinable()) {
    writer_.request_stop();
    writer_.join();
  }
}

uint8_t* BurnPipeline::Impl::slot() {
  std::unique_lock lock(mu_);
  cv_.wait(lock,
           [this] { return produced_ - consumed_ < kBurnRingSlots || fault_ != PipeFault::none; });
  return fault_ == PipeFault::none ? slots_[produced_ % kBurnRingSlots] : nullptr;
}

bool BurnPipeline::Impl::push(size_t len) {
  const size_t index = produced_ % kBurnRingSlots;
  {
    std::lock_guard lock(mu_);
    if (fault_ != PipeFault::none) {
      return false;
    }
    lens_[index] = len;
    ++produced_;
  }
  if (!threaded_) {
    // The same stages, one after another on this thread.
    if (!write_chunk(slots_[index], len)) {
      return false;
    }
    prove_up_to(offset_ - len);
    return true;
  }
  cv_.notify_all();
  return true;
}

bool BurnPipeline::Impl::finish() {
  if (writer_.joinable()) {
    {
      std::lock_guard lock(mu_);
      closing_ = true;
    }
    cv_.notify_all();
    writer_.join();
  }
  if (fault() != PipeFault::none) {
    return false;
  }
  if (!sync_fd(fd_)) {
    fail(PipeFault::sync);
    return false;
  }
  prove_up_to(offset_);
  return true;
}

uint64_t BurnPipeline::Impl::take_written() {
  std::lock_guard lock(mu_);
  const uint64_t delta = written_ - reported_;
  reported_ = written_;
  return delta;
}

PipeFault BurnPipeline::Impl::fault() const {
  std::lock_guard lock(mu_);
  return fault_;
}

int BurnPipeline::Impl::error() const {
  std::lock_guard lock(mu_);
  return errno_;
}

void BurnPipeline::Impl::run(const std::stop_token& stop) {
  for (;;) {
    size_t index = 0;
    size_t len = 0;
    {
      std::unique_lock lock(mu_);
      cv_.wait(lock, stop, [this] { return consumed_ < produced_ || closing_; });
      if (stop.stop_requested() || consumed_ == produced_) {
        return;
      }
      index = consumed_ % kBurnRingSlots;
      len = lens_[index];
    }
    if (!write_chunk(slots_[index], len)) {
      return;
    }
    // The chunk's bytes are in the page cache: its buffer may be refilled while the
    // range before it is read back.
    prove_up_to(offset_ - len);
  }
}

bool BurnPipeline::Impl::write_chunk(const uint8_t* buf, size_t len) {
  if (!pwrite_full(fd_, buf, len, static_cast<off_t>(offset_))) {
    fail(PipeFault::write);
    return false;
  }
  // Only a head start: the range's writeback is waited for before its read-back, and the
  // closing sync reports any error.
  (void)::sync_file_range(fd_, static_cast<off_t>(offset_), static_cast<off_t>(len),
                          SYNC_FILE_RANGE_WRITE);
  offset_ += len;
  {
    std::lock_guard lock(mu_);
    ++consumed_;
    written_ += len;
  }
  cv_.notify_all();
  return true;
}

// Reads [proven_, end) back from the medium into the digest. The range is written out and
// its cached pages dropped first, so the read comes from the device, not from the pages
// the write left behind. A range that cannot be dropped or read stays unproven: the final
// comparison reads it again, and fails as it always has when the device cannot be read.
void BurnPipeline::Impl::prove_up_to(uint64_t end) {
  if (proof_ == nullptr || end <= proven_) {
    return;
  }
  const auto from = static_cast<off_t>(proven_);
  const auto len = static_cast<off_t>(end - proven_);
  constexpr unsigned kWaitWritten =
      SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
  if ((::sync_file_range(fd_, from, len, kWaitWritten) != 0 && !sync_fd(fd_)) ||
      ::posix_fadvise(read_fd_.get(), from, len, POSIX_FADV_DONTNEED) != 0) {
    proof_ = nullptr;
    return;
  }
  while (proven_ < end) {
    const uint64_t rest = end - proven_;
    const size_t want = rest < kReadBackSize ? static_cast<size_t>(rest) : kReadBackSize;
    const ssize_t n = pread_full(read_fd_.get(), read_buf_, want, static_cast<off_t>(proven_));
    if (n != static_cast<ssize_t>(want)) {
      proof_ = nullptr;
      return;
    }
    MD5Update(&proof_->ctx, read_buf_, static_cast<unsigned int>(n));
    proven_ += want;
    proof_->hashed = proven_;
  }
}

void BurnPipeline::Impl::fail(PipeFault what) {
  const int err = errno;
  {
    std::lock_guard lock(mu_);
    if (fault_ == PipeFault::none) {
      fault_ = what;
      errno_ = err;
    }
  }
  cv_.notify_all();
}

BurnPipeline::BurnPipeline(int fd, const char* path, ReadBackProof* proof)
    : impl_(std::make_unique<Impl>(fd, path, proof)) {}
BurnPipeline::~BurnPipeline() = default;
bool BurnPipeline::ready() const { return impl_->ready_; }
uint8_t* BurnPipeline::slot() { return impl_->slot(); }
bool BurnPipeline::push(size_t len) { return impl_->push(len); }
bool BurnPipeline::finish() { return impl_->finish(); }
uint64_t BurnPipeline::take_written() { return impl_->take_written(); }
PipeFault BurnPipeline::fault() const { return impl_->fault(); }
int BurnPipeline::error() const { return impl_->error(); }

}  // namespace ota
