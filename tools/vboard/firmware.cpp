// `vboard reboot`: the boot firmware. It writes back what the running system left in
// the block devices' caches, carries out and clears the pending flash command, picks
// the slot as an A/B boot loader does, drops the caches again and hands over the next
// kernel command line.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdarg>
#include <map>
#include <optional>
#include <vector>

#include "board_ops.h"
#include "boot_control.h"
#include "crc.h"
#include "flash_cmd.h"
#include "loop.h"
#include "power_cut.h"

namespace vboard {

namespace {

using ota::board::Layout;
using ota::board::Partition;

struct Board {
  BoardDir dir;
  Layout layout;
  ota::UniqueFd emmc;
  ota::UniqueFd nor;
  std::string log;  // lines for firmware.log
  unsigned boots = 0;
  unsigned bootcount = 0;
  // A power-cut board booted outside a live run: the firmware writes the images itself
  // and records its writes and flushes as the server would.
  std::optional<RecordWriter> record;
};

// Writes to one of the board's images (fd), recorded on a power-cut board.
Result<void> put(Board& b, int fd, const void* buf, size_t len, uint64_t off,
                 const std::string& what) {
  if (auto r = pwrite_exact(fd, buf, len, off, what); !r) {
    return r;
  }
  const char* image = fd == b.emmc.get() ? "emmc.img" : "nor.img";
  if (b.record && !b.record->write(image, static_cast<const char*>(buf), len, off)) {
    return ota::tool::errno_error("record the firmware's write to " + what);
  }
  return {};
}

// Makes what the firmware wrote durable (a flush of each image, recorded).
Result<void> sync_images(Board& b, const std::string& why) {
  if (::fsync(b.emmc.get()) != 0 || ::fsync(b.nor.get()) != 0) {
    return ota::tool::errno_error("sync the board's images " + why);
  }
  if (b.record && (!b.record->flush("emmc.img") || !b.record->flush("nor.img"))) {
    return ota::tool::errno_error("record the flush of the board's images " + why);
  }
  return {};
}

void note(Board& b, const std::string& text) {
  b.log += "boot " + std::to_string(b.boots) + ": " + text + "\n";
}

Result<void> copy_range(Board& b, int fd, uint64_t from, uint64_t to, uint64_t len,
                        const std::string& what) {
  std::vector<uint8_t> buf(1024 * 1024);
  for (uint64_t done = 0; done < len;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), len - done));
    if (auto r = pread_exact(fd, buf.data(), n, from + done, what); !r) {
      return r;
    }
    if (auto r = put(b, fd, buf.data(), n, to + done, what); !r) {
      return r;
    }
    done += n;
  }
  return {};
}

// ---- flash commands -------------------------------------------------------------

Result<void> do_misc_write(Board& b, const std::vector<uint8_t>& data) {
  constexpr size_t kEnd = BOOT_CTRL_OFFSET + sizeof(bootloader_control);
  if (data.size() < kEnd) {
    return Error(EINVAL, "misc write data area of " + std::to_string(data.size()) +
                             " bytes does not hold the boot control block at 2048");
  }
  // Only the boot control block is taken: the rest of misc (the bootloader message)
  // is not the engine's to overwrite.
  const Partition& misc = *b.layout.find("misc");
  note(b, "misc write of the boot control block");
  return put(b, b.emmc.get(), data.data() + BOOT_CTRL_OFFSET, sizeof(bootloader_control),
             misc.offset + BOOT_CTRL_OFFSET, "misc");
}

Result<void> do_nor_sync(Board& b, bool a_to_b, const std::vector<uint8_t>& data) {
  absync_misc_data table{};
  if (data.size() >= sizeof(table)) {
    (void)decode(data, &table);
  }
  std::vector<std::array<uint64_t, 3>> copies;  // from, to, length
  if (table.valid_status == ABSYNC_VALID) {
    if (table.imagenum > FLASHCMD_AB_MAX) {
      return Error(EINVAL, "NOR sync table with " + std::to_string(table.imagenum) + " pairs");
    }
    for (uint32_t i = 0; i < table.imagenum; ++i) {
      const uint64_t a = table.offsetA[i];
      const uint64_t bb = table.offsetB[i];
      const uint64_t len = table.length[i];
      if (a + len > b.layout.nor_size || bb + len > b.layout.nor_size) {
        return Error(EINVAL, "NOR sync pair " + std::to_string(i) + " lies outside the flash");
      }
      copies.push_back(a_to_b ? std::array<uint64_t, 3>{a, bb, len}
                              : std::array<uint64_t, 3>{bb, a, len});
    }
  } else {
    for (const auto& [pa, pb] : b.layout.nor_ab_pairs()) {
      copies.push_back(a_to_b ? std::array<uint64_t, 3>{pa->offset, pb->offset, pa->size}
                              : std::array<uint64_t, 3>{pb->offset, pa->offset, pa->size});
    }
  }
  note(b, std::string("NOR copy ") + (a_to_b ? "A to B" : "B to A") + " of " +
              std::to_string(copies.size()) + " partitions" +
              (table.valid_status == ABSYNC_VALID ? " from the sync table" : ""));
  for (const auto& [from, to, len] : copies) {
    if (auto r = copy_range(b, b.nor.get(), from, to, len, "NOR flash"); !r) {
      return r;
    }
  }
  return {};
}

Result<void> do_backup_copy(Board& b, bool to_backup) {
  for (const auto& [main, bak] : b.layout.backup_pairs()) {
    const Partition* from = to_backup ? main : bak;
    const Partition* to = to_backup ? bak : main;
    note(b, "copy " + from->name + " to " + to->name);
    if (auto r = copy_range(b, b.emmc.get(), from->offset, to->offset, main->size, "eMMC"); !r) {
      return r;
    }
  }
  return {};
}

Result<void> execute(Board& b, CmdType type, const std::vector<uint8_t>& data) {
  switch (type) {
    case CmdType::misc_write:
      return do_misc_write(b, data);
    case CmdType::other_a2b:
    case CmdType::other_b2a:
      return do_nor_sync(b, type == CmdType::other_a2b, data);
    case CmdType::hsm_m2b:
    case CmdType::hsm_b2m:
      return do_backup_copy(b, type == CmdType::hsm_m2b);
    case CmdType::aonreg_write:
      b.bootcount = 0;
      note(b, "AONREG cleared");
      return {};
    default:
      note(b, std::string("MCU notice: ") + find_template(type)->name);
      return {};
  }
}

bool carries_data(CmdType t) {
  return t == CmdType::misc_write || t == CmdType::other_a2b || t == CmdType::other_b2a;
}

// Reads, checks and carries out the pending command; a refused one is logged. The
// command is cleared either way so that it is not carried out (or refused) twice.
Result<void> run_flash_command(Board& b) {
  const Partition& part = *b.layout.find("flashcmd");
  std::vector<uint8_t> head(FLASHCMD_TEMPLATE_SIZE);
  if (auto r = pread_exact(b.emmc.get(), head.data(), head.size(), part.offset, "flashcmd"); !r) {
    return r;
  }
  fimage_update_s rec{};
  (void)decode(head, &rec);
  if (rec.magic == 0 && rec.cmdtype == 0) {
    return {};  // nothing pending
  }
  const uint32_t area = rec.partinfo.misc.length;
  const auto type = static_cast<CmdType>(rec.cmdtype);
  uint64_t record_len = FLASHCMD_TEMPLATE_SIZE + FLASHCMD_TRAILER_SIZE;
  std::string refused;
  if (rec.magic != FLASHCMD_MAGIC) {
    char text[64];
    std::snprintf(text, sizeof(text), "bad magic 0x%08x", rec.magic);
    refused = text;
  } else if (find_template(type) == nullptr) {
    refused = "unknown command type " + std::to_string(rec.cmdtype);
  } else if (carries_data(type) && record_len + static_cast<uint64_t>(area) > part.size) {
    refused = "data area of " + std::to_string(area) + " bytes does not fit the partition";
  } else {
    std::vector<uint8_t> data;
    if (carries_data(type)) {
      record_len += area;
      data.resize(area);
      if (auto r = pread_exact(b.emmc.get(), data.data(), area,
                               part.offset + FLASHCMD_TEMPLATE_SIZE, "flashcmd");
          !r) {
        return r;
      }
    }
    note(b, std::string("flash command ") + find_template(type)->name);
    if (auto r = execute(b, type, data); !r) {
      refused = r.error().message();
    }
  }
  if (!refused.empty()) {
    note(b, "refused flash command: " + refused);
    std::fprintf(stderr, "vboard reboot: refused flash command: %s\n", refused.c_str());
  }
  // The command is cleared only once what it wrote is durable: a power cut in between
  // leaves it pending, to be carried out again.
  if (auto r = sync_images(b, "after the flash command"); !r) {
    return r;
  }
  const std::vector<uint8_t> zeros(std::min<uint64_t>(record_len, part.size), 0);
  return put(b, b.emmc.get(), zeros.data(), zeros.size(), part.offset, "flashcmd");
}

// ---- slot choice ----------------------------------------------------------------

// Priority first, then a confirmed slot before an unconfirmed one; remaining ties go to
// the lower slot. Tries left do not rank slots, so that a board whose slots are both
// unconfirmed does not alternate between them as each boot uses up a try.
bool better(const slot_metadata& a, const slot_metadata& bb) {
  if (a.priority() != bb.priority()) {
    return a.priority() > bb.priority();
  }
  return a.successful_boot() > bb.successful_boot();
}

Result<BootResult> choose_slot(Board& b) {
  const Partition& misc = *b.layout.find("misc");
  uint8_t bytes[sizeof(bootloader_control)];
  if (auto r =
          pread_exact(b.emmc.get(), bytes, sizeof(bytes), misc.offset + BOOT_CTRL_OFFSET, "misc");
      !r) {
    return r.error();
  }
  bootloader_control ctrl{};
  (void)decode(bytes, &ctrl);
  BootResult boot;
  const bool valid = ctrl.magic == BOOT_CTRL_MAGIC && ctrl.nb_slot() >= 1 &&
                     ctrl.nb_slot() <= BOOT_CTRL_MAX_SLOTS &&
                     CRC32(bytes, BOOT_CTRL_CRC_LEN) == ctrl.crc32_le;
  if (!valid) {
    note(b, "boot control block invalid: booting slot a");
    return boot;
  }
  int best = -1;
  for (int s = 0; s < std::min<int>(ctrl.nb_slot(), 2); ++s) {
    const slot_metadata& m = ctrl.slot_info[s];
    if (m.tries_remaining() == 0 || m.verity_corrupted() != 0 || m.priority() == 0) {
      continue;
    }
    if (best < 0 || better(m, ctrl.slot_info[best])) {
      best = s;
    }
  }
  if (best < 0) {
    boot.recovery = true;
    note(b, "no bootable slot: recovery mode");
    return boot;
  }
  boot.slot = best;
  slot_metadata& m = ctrl.slot_info[best];
  if (m.successful_boot() == 0) {
    m.set_tries_remaining(static_cast<uint8_t>(m.tries_remaining() - 1));
    ctrl.crc32_le = 0;
    (void)encode(ctrl, bytes);
    ctrl.crc32_le = CRC32(bytes, BOOT_CTRL_CRC_LEN);
    (void)encode(ctrl, bytes);
    if (auto r = put(b, b.emmc.get(), bytes, sizeof(bytes), misc.offset + BOOT_CTRL_OFFSET, "misc");
        !r) {
      return r.error();
    }
  }
  note(b, std::string("booting slot ") + (best == 0 ? "a" : "b") +
              (m.successful_boot() != 0
                   ? ""
                   : " (unconfirmed, " + std::to_string(m.tries_remaining()) + " tries left)"));
  boot.bootcount = m.successful_boot() != 0 ? 0 : 1;
  return boot;
}

// ---- firmware state -------------------------------------------------------------

void load_state(Board& b) {
  auto text = read_text(b.dir.firmware_state());
  if (!text) {
    return;
  }
  unsigned boots = 0;
  unsigned count = 0;
  if (std::sscanf(text->c_str(), "bootcount=%u\nboots=%u", &count, &boots) == 2) {
    b.bootcount = count;
    b.boots = boots;
  }
}

Result<void> save_state(Board& b, const BootResult& boot) {
  auto log = open_file(b.dir.firmware_log(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (!log) {
    return log.error();
  }
  if (!ota::write_full(log->get(), b.log.data(), b.log.size()) || log->close() != 0) {
    return ota::tool::errno_error("write " + b.dir.firmware_log());
  }
  if (auto r = write_text(b.dir.firmware_state(), "bootcount=" + std::to_string(b.bootcount) +
                                                      "\nboots=" + std::to_string(b.boots) + "\n");
      !r) {
    return r;
  }
  return write_text(b.dir.cmdline(), cmdline_text(boot));
}

Result<BootResult> boot(Board& b, const RebootOptions& opts) {
  if (auto r = run_flash_command(b); !r) {
    return r.error();
  }
  auto chosen = choose_slot(b);
  if (!chosen) {
    return chosen;
  }
  BootResult result = *chosen;
  // Boots of an unconfirmed slot accumulate; five or more mean the firmware has
  // fallen back to the backup security partitions.
  b.bootcount = result.bootcount == 0 ? 0 : b.bootcount + 1;
  result.bootcount = b.bootcount;
  if (opts.force_recovery && !result.recovery) {
    result.recovery = true;
    note(b, "recovery mode requested");
  }
  if (auto r = sync_images(b, "after the boot"); !r) {
    return r.error();
  }
  return result;
}

}  // namespace

std::string cmdline_text(const BootResult& boot) {
  return std::string("console=ttyS0,115200 mirvoboot.slot_suffix=_") +
         (boot.slot == 0 ? "a" : "b") +
         " mirvoboot.mode=" + (boot.recovery ? "recovery" : "normal") +
         " mirvoboot.bootcount=" + std::to_string(boot.bootcount) + "\n";
}

Result<BootResult> reboot_board(const std::string& path, const RebootOptions& opts) {
  auto root = real_path(path);
  if (!root) {
    return root.error();
  }
  Board b{BoardDir(*root), {}, {}, {}, {}, 0, 0, std::nullopt};
  auto layout = load_board(b.dir);
  if (!layout) {
    return layout.error();
  }
  b.layout = std::move(layout.value());
  auto lock = open_file(b.dir.firmware_lock(), O_RDWR | O_CREAT, 0644);
  if (!lock) {
    return lock.error();
  }
  if (ota::retry_eintr([&] { return ::flock(lock->get(), LOCK_EX); }) != 0) {
    return ota::tool::errno_error("lock " + b.dir.firmware_lock());
  }
  // What the running system wrote may still sit in the devices' caches.
  const auto devices = devices_backed_by(b.dir.image_paths());
  if (auto r = flush_devices(devices); !r) {
    return r.error();
  }
  // On a power-cut board whose run is live, the firmware writes through the server like
  // everything else, so that its writes are cached, recorded and cut too.
  auto layers = load_layers(b.dir);
  if (!layers) {
    return layers.error();
  }
  const bool served = layers->power_cut && ::access(b.dir.cut_file().c_str(), F_OK) == 0;
  auto emmc = open_file(served ? b.dir.fuse_mount() + "/emmc.img" : b.dir.emmc_image(), O_RDWR);
  auto nor = open_file(served ? b.dir.fuse_mount() + "/nor.img" : b.dir.nor_image(), O_RDWR);
  if (!emmc || !nor) {
    return !emmc ? emmc.error() : nor.error();
  }
  b.emmc = std::move(emmc.value());
  b.nor = std::move(nor.value());
  if (layers->power_cut && !served) {
    auto record = RecordWriter::open(b.dir.record_log(), b.dir.record_data());
    if (!record) {
      return record.error();
    }
    b.record = std::move(record.value());
  }
  load_state(b);
  ++b.boots;
  auto result = boot(b, opts);
  if (!result) {
    return result;
  }
  // The booted system must read what the firmware wrote, not stale cached pages.
  if (auto r = flush_devices(devices); !r) {
    return r.error();
  }
  if (auto r = save_state(b, *result); !r) {
    return r.error();
  }
  return result;
}

}  // namespace vboard
