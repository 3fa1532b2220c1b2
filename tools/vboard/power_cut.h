// Power cuts on the virtual board (vboard create --power-cut). Three pieces that the
// FUSE server and the crash-state builder share:
// - SectorCache: the medium's volatile write cache. Writes land in memory at 512-byte
//   sector granularity and reads see them; flush() makes them durable in the image,
//   drop() is the power cut.
// - RecordWriter: the ordered log of every write and flush the server saw, with the
//   written bytes in a side file, so that any crash state can be rebuilt later.
// - The crash-state plan: from a record and the images it started from, which writes
//   (and which sectors of them) reached the medium when power was cut after K events.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "sys_util.h"

namespace vboard {

inline constexpr uint64_t kSectorSize = 512;

// The write cache in front of one image file (fd), which holds only durable data.
class SectorCache {
 public:
  explicit SectorCache(int fd) : fd_(fd) {}

  // What the medium shows: the image with the pending sectors laid over it.
  [[nodiscard]] bool read(char* buf, size_t len, uint64_t off) const;
  // Keeps the bytes in the cache; a sector only partly written is first filled from
  // what the medium shows.
  [[nodiscard]] bool write(const char* buf, size_t len, uint64_t off);
  // Writes every pending sector to the image, in sector order, and empties the cache.
  [[nodiscard]] bool flush();
  // The power cut: every pending sector is lost.
  void drop() { pending_.clear(); }
  [[nodiscard]] size_t pending_sectors() const { return pending_.size(); }

 private:
  using Sector = std::array<char, kSectorSize>;
  [[nodiscard]] bool load_sector(uint64_t index, Sector& out) const;

  int fd_;
  std::unordered_map<uint64_t, Sector> pending_;
};

// One line of a record (DIR/power-cut.log):
//   W FILE OFFSET LENGTH MD5 DATA_OFFSET   a write of LENGTH bytes, kept in the side
//                                          file (DIR/power-cut.dat) at DATA_OFFSET
//   F FILE                                 a flush of FILE completed: its writes durable
//   C                                      power cut: every write not flushed was lost
// FILE is the image's name (emmc.img, nor.img); numbers are decimal.
struct RecordEvent {
  char kind = 'W';
  std::string file;
  uint64_t offset = 0;
  uint64_t length = 0;
  std::string md5;  // hex, of the written bytes
  uint64_t data_offset = 0;
};

class RecordWriter {
 public:
  // Appends to the log and data files (created when missing).
  [[nodiscard]] static Result<RecordWriter> open(const std::string& log_path,
                                                 const std::string& data_path);
  [[nodiscard]] bool write(const std::string& file, const char* buf, size_t len, uint64_t off);
  [[nodiscard]] bool flush(const std::string& file);
  [[nodiscard]] bool cut();

 private:
  [[nodiscard]] bool line(const std::string& text);

  ota::UniqueFd log_;
  ota::UniqueFd data_;
  uint64_t data_end_ = 0;
};

[[nodiscard]] Result<std::vector<RecordEvent>> load_record(const std::string& log_path);

// Which of the writes not yet flushed at the cut reached the medium.
enum class Keep {
  none,    // the cache was lost whole
  all,     // the cache had been written back, only the flush was missing
  random,  // each write kept or lost by a coin seeded with `seed`
  torn,    // written back in order up to the last one, which lost some sectors (on
           // the NOR flash: its erase blocks were erased and only partly programmed)
};
[[nodiscard]] Result<Keep> parse_keep(const std::string& word);

struct CutPoint {
  size_t events = 0;  // the cut comes after this many events of the record
  Keep keep = Keep::none;
  uint64_t seed = 0;
};

// One write that lands on the medium; `sectors` empty means all of it, else the
// indexes (from 0, counted from the write's first sector) of the sectors kept. A torn
// write to the NOR flash (`erased`) leaves the erase blocks it rewrites all 0xFF but
// for their first `programmed` sectors, which hold the blocks' new content.
struct Landed {
  size_t event = 0;
  std::vector<uint64_t> sectors;
  bool erased = false;
  uint64_t programmed = 0;
};

// The writes that hold in the state after the cut, in the order they are applied.
[[nodiscard]] std::vector<Landed> plan_crash_state(const std::vector<RecordEvent>& events,
                                                   const CutPoint& cut);

// Applies the plan to the images (by record file name, each an fd open for writing
// holding the images the record started from), reading bytes from the data file.
[[nodiscard]] Result<void> apply_crash_state(const std::vector<RecordEvent>& events,
                                             const std::vector<Landed>& plan, int data_fd,
                                             const std::map<std::string, int>& images);

// Counts of a record, for listing: events, writes, flushes, cuts, and the event counts
// right after each flush (the flush boundaries).
struct RecordSummary {
  size_t events = 0;
  size_t writes = 0;
  size_t flushes = 0;
  size_t cuts = 0;
  std::vector<size_t> boundaries;
};
[[nodiscard]] RecordSummary summarize(const std::vector<RecordEvent>& events);

}  // namespace vboard
