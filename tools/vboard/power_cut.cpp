#include "power_cut.h"
#include "hex_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <sstream>

#include "board_layout.h"
#include "md5.h"

namespace vboard {

namespace {

uint64_t first_sector(uint64_t off) { return off / kSectorSize; }
uint64_t sector_count(uint64_t off, uint64_t len) {
  return len == 0 ? 0 : (off + len - 1) / kSectorSize - first_sector(off) + 1;
}

std::string md5_hex(const char* buf, size_t len) {
  MD5_CTX ctx;
  MD5Init(&ctx);
  // MD5Update counts in unsigned int: feed large writes in pieces.
  for (size_t done = 0; done < len;) {
    const size_t n = std::min<size_t>(len - done, 1U << 30);
    MD5Update(&ctx, reinterpret_cast<const unsigned char*>(buf + done),
              static_cast<unsigned int>(n));
    done += n;
  }
  unsigned char digest[16];
  MD5Final(digest, &ctx);
  return ota::tool::hex_text(digest, sizeof(digest));
}

}  // namespace

// ---- the volatile cache -----------------------------------------------------------

bool SectorCache::load_sector(uint64_t index, Sector& out) const {
  if (auto it = pending_.find(index); it != pending_.end()) {
    out = it->second;
    return true;
  }
  out.fill(0);
  // Past the image's end reads as zeros; the server refuses such writes before us.
  return ota::pread_full(fd_, out.data(), out.size(), static_cast<off_t>(index * kSectorSize)) >= 0;
}

bool SectorCache::read(char* buf, size_t len, uint64_t off) const {
  const ssize_t n = ota::pread_full(fd_, buf, len, static_cast<off_t>(off));
  if (n < 0) {
    return false;
  }
  if (pending_.empty()) {
    return true;
  }
  const uint64_t first = first_sector(off);
  for (uint64_t s = first; s < first + sector_count(off, len); ++s) {
    auto it = pending_.find(s);
    if (it == pending_.end()) {
      continue;
    }
    const uint64_t from = std::max(off, s * kSectorSize);
    const uint64_t to = std::min(off + len, (s + 1) * kSectorSize);
    std::memcpy(buf + (from - off), it->second.data() + (from - s * kSectorSize), to - from);
  }
  return true;
}

bool SectorCache::write(const char* buf, size_t len, uint64_t off) {
  const uint64_t first = first_sector(off);
  for (uint64_t s = first; s < first + sector_count(off, len); ++s) {
    const uint64_t from = std::max(off, s * kSectorSize);
    const uint64_t to = std::min(off + len, (s + 1) * kSectorSize);
    Sector sector;
    if (to - from != kSectorSize && !load_sector(s, sector)) {
      return false;
    }
    std::memcpy(sector.data() + (from - s * kSectorSize), buf + (from - off), to - from);
    pending_[s] = sector;
  }
  return true;
}

bool SectorCache::flush() {
  std::vector<uint64_t> order;
  order.reserve(pending_.size());
  for (const auto& entry : pending_) {
    order.push_back(entry.first);
  }
  std::sort(order.begin(), order.end());
  std::vector<char> run;
  for (size_t i = 0; i < order.size();) {
    // Contiguous sectors go out in one write.
    size_t j = i;
    run.clear();
    while (j < order.size() && order[j] == order[i] + (j - i)) {
      const Sector& s = pending_[order[j]];
      run.insert(run.end(), s.begin(), s.end());
      ++j;
    }
    if (!ota::pwrite_full(fd_, run.data(), run.size(),
                          static_cast<off_t>(order[i] * kSectorSize))) {
      return false;
    }
    i = j;
  }
  pending_.clear();
  return true;
}

// ---- the record -------------------------------------------------------------------

Result<RecordWriter> RecordWriter::open(const std::string& log_path, const std::string& data_path) {
  RecordWriter w;
  auto log = open_file(log_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (!log) {
    return log.error();
  }
  auto data = open_file(data_path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (!data) {
    return data.error();
  }
  struct stat st {};
  if (::fstat(data->get(), &st) != 0) {
    return ota::tool::errno_error("stat " + data_path);
  }
  w.log_ = std::move(log.value());
  w.data_ = std::move(data.value());
  w.data_end_ = static_cast<uint64_t>(st.st_size);
  return w;
}

bool RecordWriter::line(const std::string& text) {
  return ota::write_full(log_.get(), text.data(), text.size());
}

bool RecordWriter::write(const std::string& file, const char* buf, size_t len, uint64_t off) {
  if (!ota::pwrite_full(data_.get(), buf, len, static_cast<off_t>(data_end_))) {
    return false;
  }
  std::ostringstream out;
  out << "W " << file << ' ' << off << ' ' << len << ' ' << md5_hex(buf, len) << ' ' << data_end_
      << '\n';
  data_end_ += len;
  return line(out.str());
}

bool RecordWriter::flush(const std::string& file) { return line("F " + file + "\n"); }

bool RecordWriter::cut() { return line("C\n"); }

Result<std::vector<RecordEvent>> load_record(const std::string& log_path) {
  auto text = read_text(log_path);
  if (!text) {
    return text.error();
  }
  std::vector<RecordEvent> out;
  std::istringstream in(*text);
  size_t number = 0;
  for (std::string ln; std::getline(in, ln);) {
    ++number;
    std::istringstream fields(ln);
    RecordEvent e;
    fields >> e.kind;
    bool ok = !fields.fail();
    if (ok && e.kind == 'W') {
      fields >> e.file >> e.offset >> e.length >> e.md5 >> e.data_offset;
      ok = !fields.fail() && e.md5.size() == 32;
    } else if (ok && e.kind == 'F') {
      fields >> e.file;
      ok = !fields.fail();
    } else {
      ok = ok && e.kind == 'C';
    }
    std::string extra;
    if (!ok || (fields >> extra)) {
      return Error(EINVAL, log_path + " line " + std::to_string(number) +
                               ": not a record line: \"" + ln + "\"");
    }
    out.push_back(std::move(e));
  }
  return out;
}

// ---- crash states -----------------------------------------------------------------

Result<Keep> parse_keep(const std::string& word) {
  if (word == "none") {
    return Keep::none;
  }
  if (word == "all") {
    return Keep::all;
  }
  if (word == "random") {
    return Keep::random;
  }
  if (word == "torn") {
    return Keep::torn;
  }
  return Error(EINVAL, "unknown --keep \"" + word + "\" (none, all, random or torn)");
}

namespace {

constexpr const char* kNorFile = "nor.img";

// The erase blocks a NOR write rewrites: [first, end) in bytes.
std::pair<uint64_t, uint64_t> erase_blocks(const RecordEvent& e) {
  const uint64_t block = ota::board::kNorEraseSize;
  return {e.offset / block * block, (e.offset + e.length + block - 1) / block * block};
}

// A NOR write cut in flight: its blocks were erased, and programming, which runs from
// the start of the first block, stopped somewhere before the end (half the time before
// it began).
Landed torn_nor_write(const RecordEvent& e, size_t index, std::mt19937_64& rng) {
  const auto [first, end] = erase_blocks(e);
  const uint64_t sectors = (end - first) / kSectorSize;
  Landed l{index, {}, true, 0};
  if (rng() % 2 == 1) {
    l.programmed = rng() % sectors;
  }
  return l;
}

// The pending writes of the cut, as the cache's write-back left them.
void land_pending(const std::vector<RecordEvent>& events, const std::vector<size_t>& pending,
                  const CutPoint& cut, std::vector<Landed>& out) {
  std::mt19937_64 rng(cut.seed);
  std::bernoulli_distribution coin(0.5);
  switch (cut.keep) {
    case Keep::none:
      return;
    case Keep::all:
      for (size_t i : pending) {
        out.push_back({i, {}});
      }
      return;
    case Keep::random:
      for (size_t i : pending) {
        if (coin(rng)) {
          out.push_back({i, {}});
        }
      }
      return;
    case Keep::torn:
      break;
  }
  if (pending.empty()) {
    return;
  }
  for (size_t k = 0; k + 1 < pending.size(); ++k) {
    out.push_back({pending[k], {}});
  }
  const RecordEvent& last = events[pending.back()];
  if (last.file == kNorFile) {
    out.push_back(torn_nor_write(last, pending.back(), rng));
    return;
  }
  // The write in flight keeps some of its sectors: never all of them, and at least one
  // when it has more than one.
  const uint64_t n = sector_count(last.offset, last.length);
  Landed torn{pending.back(), {}};
  for (uint64_t s = 0; s < n; ++s) {
    if (coin(rng)) {
      torn.sectors.push_back(s);
    }
  }
  if (n > 1 && torn.sectors.size() == n) {
    torn.sectors.erase(torn.sectors.begin() + static_cast<long>(rng() % n));
  } else if (n > 1 && torn.sectors.empty()) {
    torn.sectors.push_back(rng() % n);
  }
  if (!torn.sectors.empty()) {
    out.push_back(std::move(torn));
  }
}

}  // namespace

std::vector<Landed> plan_crash_state(const std::vector<RecordEvent>& events, const CutPoint& cut) {
  std::vector<Landed> out;
  std::map<std::string, std::vector<size_t>> pending;  // by file, in order
  const size_t end = std::min(cut.events, events.size());
  for (size_t i = 0; i < end; ++i) {
    const RecordEvent& e = events[i];
    if (e.kind == 'W') {
      pending[e.file].push_back(i);
    } else if (e.kind == 'F') {
      for (size_t w : pending[e.file]) {
        out.push_back({w, {}});
      }
      pending[e.file].clear();
    } else {
      pending.clear();
    }
  }
  std::vector<size_t> left;
  for (const auto& entry : pending) {
    left.insert(left.end(), entry.second.begin(), entry.second.end());
  }
  std::sort(left.begin(), left.end());
  land_pending(events, left, cut, out);
  return out;
}

namespace {

// The blocks of a torn NOR write: what they would have held (their old bytes with the
// write laid over them), all 0xFF, then the programmed sectors of the first.
Result<void> land_erased(const RecordEvent& e, const Landed& l, const std::vector<char>& data,
                         int fd) {
  const auto [first, end] = erase_blocks(e);
  std::vector<char> blocks(end - first);
  if (auto r = pread_exact(fd, blocks.data(), blocks.size(), first, e.file); !r) {
    return r;
  }
  std::copy(data.begin(), data.end(), blocks.begin() + static_cast<long>(e.offset - first));
  const std::vector<char> erased(blocks.size(), static_cast<char>(0xFF));
  if (auto r = pwrite_exact(fd, erased.data(), erased.size(), first, e.file); !r) {
    return r;
  }
  return pwrite_exact(fd, blocks.data(), l.programmed * kSectorSize, first, e.file);
}

}  // namespace

Result<void> apply_crash_state(const std::vector<RecordEvent>& events,
                               const std::vector<Landed>& plan, int data_fd,
                               const std::map<std::string, int>& images) {
  std::vector<char> buf;
  for (const Landed& l : plan) {
    const RecordEvent& e = events.at(l.event);
    auto image = images.find(e.file);
    if (image == images.end()) {
      return Error(EINVAL, "the record writes to " + e.file + ", which is not an image");
    }
    buf.resize(e.length);
    if (auto r = pread_exact(data_fd, buf.data(), buf.size(), e.data_offset, "record data"); !r) {
      return r;
    }
    if (md5_hex(buf.data(), buf.size()) != e.md5) {
      return Error(EIO, "record data of event " + std::to_string(l.event + 1) + " (" + e.file +
                            " at " + std::to_string(e.offset) + ") does not match its MD5");
    }
    if (l.erased) {
      if (auto r = land_erased(e, l, buf, image->second); !r) {
        return r;
      }
      continue;
    }
    if (l.sectors.empty()) {
      if (auto r = pwrite_exact(image->second, buf.data(), buf.size(), e.offset, e.file); !r) {
        return r;
      }
      continue;
    }
    for (uint64_t s : l.sectors) {
      const uint64_t abs = first_sector(e.offset) + s;
      const uint64_t from = std::max(e.offset, abs * kSectorSize);
      const uint64_t to = std::min(e.offset + e.length, (abs + 1) * kSectorSize);
      if (auto r =
              pwrite_exact(image->second, buf.data() + (from - e.offset), to - from, from, e.file);
          !r) {
        return r;
      }
    }
  }
  return {};
}

RecordSummary summarize(const std::vector<RecordEvent>& events) {
  RecordSummary s;
  s.events = events.size();
  for (size_t i = 0; i < events.size(); ++i) {
    switch (events[i].kind) {
      case 'W':
        ++s.writes;
        break;
      case 'F':
        ++s.flushes;
        s.boundaries.push_back(i + 1);
        break;
      default:
        ++s.cuts;
        break;
    }
  }
  return s;
}

}  // namespace vboard
