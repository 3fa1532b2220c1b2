#include "road_board.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <stdexcept>

#include "crc.h"
#include "flash_cmd.h"
#include "le_bytes.h"
#include "unique_fd.h"

namespace ota_road {

namespace {

using ota::board::Medium;
using ota::board::Partition;

constexpr size_t kCompareChunk = 1 << 20;

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

ota::UniqueFd open_or_fail(const std::string& path, int flags, mode_t mode = 0) {
  ota::UniqueFd fd = ota::open_fd(path.c_str(), flags, mode);
  if (!fd) {
    fail("open " + path);
  }
  return fd;
}

std::string pread_or_fail(int fd, uint64_t offset, size_t len, const std::string& what) {
  std::string buf(len, '\0');
  if (ota::pread_full(fd, buf.data(), len, static_cast<off_t>(offset)) !=
      static_cast<ssize_t>(len)) {
    fail("read " + what);
  }
  return buf;
}

// Makes `to` a copy of `from` writing only what differs: data ranges chunk by chunk,
// holes of `from` punched into `to`. A snapshot stays sparse, and restoring it after a
// phase rewrites only what the phase changed.
void mirror_file(const std::string& from, const std::string& to) {
  const ota::UniqueFd in = open_or_fail(from, O_RDONLY);
  const ota::UniqueFd out = open_or_fail(to, O_RDWR | O_CREAT, 0644);
  struct stat st {};
  if (::fstat(in.get(), &st) != 0 || ::ftruncate(out.get(), st.st_size) != 0) {
    fail("size " + to);
  }
  off_t at = 0;
  while (at < st.st_size) {
    off_t data = ::lseek(in.get(), at, SEEK_DATA);
    data = data < 0 ? st.st_size : data;
    if (data > at &&
        ::fallocate(out.get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, at, data - at) != 0) {
      fail("punch a hole in " + to);
    }
    if (data >= st.st_size) {
      break;
    }
    off_t hole = ::lseek(in.get(), data, SEEK_HOLE);
    hole = hole < 0 ? st.st_size : hole;
    for (off_t c = data; c < hole; c += kCompareChunk) {
      const size_t len = static_cast<size_t>(std::min<off_t>(kCompareChunk, hole - c));
      const std::string want = pread_or_fail(in.get(), static_cast<uint64_t>(c), len, from);
      std::string have(len, '\0');
      if (ota::pread_full(out.get(), have.data(), len, c) != static_cast<ssize_t>(len) ||
          have != want) {
        if (!ota::pwrite_full(out.get(), want.data(), len, c)) {
          fail("write " + to);
        }
      }
    }
    at = hole;
  }
}

constexpr const char* kSavedFiles[] = {"emmc.img", "nor.img", "cmdline", "firmware.state"};

bool seq_newer(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) > 0; }

}  // namespace

std::string tail(const std::string& output, size_t lines) {
  // The engine's error lines and the tools' own say what failed; its information lines
  // (and the terminal codes before them) only bury that.
  std::vector<std::string> said;
  std::vector<std::string> all;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line); all.push_back(line)) {
    while (line.rfind('\r', 0) == 0 || line.rfind("\x1b[K", 0) == 0) {
      line.erase(0, line[0] == '\r' ? 1 : 3);
    }
    if (line.rfind("[OTA_INFO]", 0) != 0 && line.rfind("[OTA_DEBUG]", 0) != 0) {
      said.push_back(line);
    }
  }
  const std::vector<std::string>& pick = said.empty() ? all : said;
  std::string out;
  for (size_t i = pick.size() > lines ? pick.size() - lines : 0; i < pick.size(); ++i) {
    out += "      " + pick[i] + "\n";
  }
  return out;
}

bool bootable(const slot_metadata& slot) {
  return slot.priority() > 0 && slot.tries_remaining() > 0 && slot.verity_corrupted() == 0;
}

std::string Records::describe() const {
  const slot_metadata& a = misc.slot_info[0];
  const slot_metadata& b = misc.slot_info[1];
  char text[400];
  std::snprintf(text, sizeof(text),
                "booted %c%s; misc%s a[prio %d tries %d ok %d] b[prio %d tries %d ok %d]; status%s "
                "up %u next %u backup %u; road%s phase %u from %d target %d sync %d queue %u; "
                "pending command %u",
                booted == 0 ? 'a' : 'b', recovery ? " (recovery)" : "",
                misc_valid ? "" : " invalid", a.priority(), a.tries_remaining(),
                a.successful_boot(), b.priority(), b.tries_remaining(), b.successful_boot(),
                status_valid ? "" : " invalid", status.up, status.next_slot, status.up_backup,
                road_valid ? "" : " none", road.phase, static_cast<int32_t>(road.from_slot),
                static_cast<int32_t>(road.target_slot), static_cast<int32_t>(road.sync_slot),
                road.queue_len, pending_command);
  return text;
}

namespace {

ota::board::Layout layout_or_throw(const std::string& layout_file) {
  auto layout = ota::board::load_layout(layout_file);
  if (!layout) {
    throw std::runtime_error(layout.error().message());
  }
  return std::move(layout.value());
}

}  // namespace

RoadBoard::RoadBoard(std::string vboard, std::string dir, const std::string& layout_file,
                     const std::vector<std::string>& create_args)
    : RoadBoard(std::move(vboard), std::move(dir), layout_or_throw(layout_file)) {
  std::vector<std::string> argv = {vboard_, "create", dir_, "--layout", layout_file};
  argv.insert(argv.end(), create_args.begin(), create_args.end());
  const Outcome made = run_process(argv);
  if (made.status != 0) {
    throw std::runtime_error("vboard create " + dir_ + " failed: " + made.output);
  }
}

RoadBoard RoadBoard::open(std::string vboard, std::string dir, const std::string& layout_file) {
  return RoadBoard(std::move(vboard), std::move(dir), layout_or_throw(layout_file));
}

Outcome RoadBoard::run(const std::vector<std::string>& argv) const {
  std::vector<std::string> full = {vboard_, "run", dir_, "--"};
  full.insert(full.end(), argv.begin(), argv.end());
  return run_process(full);
}

Outcome RoadBoard::reboot() const { return run_process({vboard_, "reboot", dir_}); }

int slot_generation(const std::vector<Generation>& gens, const std::vector<std::string>& bytes,
                    std::string* parts) {
  std::vector<bool> whole(gens.size(), true);
  size_t i = 0;
  parts->clear();
  for (const auto& [name, first] : gens.front()) {
    std::string held;
    for (size_t g = 0; g < gens.size(); ++g) {
      const bool same = bytes[i] == gens[g].at(name);
      whole[g] = whole[g] && same;
      if (same && held.empty()) {
        held = std::to_string(g);
      }
    }
    *parts += " " + name + " " + (held.empty() ? "other" : held);
    ++i;
  }
  for (size_t g = 0; g < gens.size(); ++g) {
    if (whole[g]) {
      return static_cast<int>(g);
    }
  }
  return -1;
}

int RoadBoard::generation(int slot, const std::vector<Generation>& gens, std::string* parts) const {
  std::vector<std::string> bytes;
  for (const auto& [name, first] : gens.front()) {
    bytes.push_back(read_part(name + (slot == 0 ? "_a" : "_b"), first.size()));
  }
  return slot_generation(gens, bytes, parts);
}

void RoadBoard::save(const std::string& folder) const {
  for (const char* f : kSavedFiles) {
    mirror_file(dir_ + "/" + f, folder + "/" + f);
  }
}

void RoadBoard::restore(const std::string& folder) const {
  for (const char* f : kSavedFiles) {
    mirror_file(folder + "/" + f, dir_ + "/" + f);
  }
}

std::string RoadBoard::image_of(const Partition& p) const {
  return dir_ + (p.medium == Medium::emmc ? "/emmc.img" : "/nor.img");
}

std::string RoadBoard::read_part(const std::string& name, size_t len) const {
  const Partition* p = layout_.find(name);
  if (p == nullptr) {
    throw std::runtime_error("no partition " + name + " in the layout");
  }
  const ota::UniqueFd fd = open_or_fail(image_of(*p), O_RDONLY);
  return pread_or_fail(fd.get(), p->offset, len, name);
}

void RoadBoard::write_part(const std::string& name, const std::string& bytes) const {
  const Partition* p = layout_.find(name);
  if (p == nullptr || bytes.size() > p->size) {
    throw std::runtime_error("no partition " + name + " that holds " +
                             std::to_string(bytes.size()) + " bytes");
  }
  const ota::UniqueFd fd = open_or_fail(image_of(*p), O_WRONLY);
  if (!ota::pwrite_full(fd.get(), bytes.data(), bytes.size(), static_cast<off_t>(p->offset)) ||
      ::fsync(fd.get()) != 0) {
    fail("write " + name);
  }
}

std::string RoadBoard::part_at(const std::string& image, uint64_t offset) const {
  const bool emmc = image == "emmc.img";
  for (const auto& p : emmc ? layout_.emmc : layout_.nor) {
    if (offset >= p.offset && offset < p.offset + p.device_size()) {
      return p.name;
    }
  }
  return image + "@" + std::to_string(offset);
}

Records RoadBoard::records() const {
  Records r;
  const ota::UniqueFd cmdline = open_or_fail(dir_ + "/cmdline", O_RDONLY);
  char text[512] = {};
  (void)ota::read_full(cmdline.get(), text, sizeof(text) - 1);
  r.booted = std::strstr(text, "slot_suffix=_b") != nullptr ? 1 : 0;
  r.recovery = std::strstr(text, "mode=recovery") != nullptr;

  const std::string misc = read_part("misc", BOOT_CTRL_OFFSET + sizeof(bootloader_control));
  const auto* raw = reinterpret_cast<const uint8_t*>(misc.data()) + BOOT_CTRL_OFFSET;
  (void)decode(std::span<const uint8_t>(raw, sizeof(bootloader_control)), &r.misc);
  r.misc_valid =
      r.misc.magic == BOOT_CTRL_MAGIC && CRC32(raw, BOOT_CTRL_CRC_LEN) == r.misc.crc32_le;

  const std::string veeprom = read_part("veeprom", OTA_ROAD_OFFSETS[1] + sizeof(ota_road_record_t));
  const auto* vb = reinterpret_cast<const uint8_t*>(veeprom.data());
  (void)decode(std::span<const uint8_t>(vb + OTA_STATUS_OFFSET, sizeof(ota_status_t)), &r.status);
  r.status_valid =
      r.status.magic == OTA_STATUS_MAGIC && ota_status_crc(r.status) == r.status.crc32_le;
  for (uint32_t off : OTA_ROAD_OFFSETS) {
    ota_road_record_t copy{};
    (void)decode(std::span<const uint8_t>(vb + off, sizeof(copy)), &copy);
    if (copy.magic == OTA_ROAD_MAGIC && ota_road_crc(copy) == copy.crc32_le &&
        (!r.road_valid || seq_newer(copy.seq, r.road.seq))) {
      r.road = copy;
      r.road_valid = true;
    }
  }
  const std::string head = read_part("flashcmd", 8);
  const auto* hb = reinterpret_cast<const uint8_t*>(head.data());
  if (ota::load_le32(hb) == FLASHCMD_MAGIC) {
    r.pending_command = ota::load_le32(hb + 4);
  }
  return r;
}

}  // namespace ota_road
