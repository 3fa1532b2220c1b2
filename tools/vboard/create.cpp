// `vboard create`: the images, files and boot state of a factory-fresh board.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "board_ops.h"
#include "boot_control.h"
#include "crc.h"
#include "flash_cmd.h"
#include "gpt_writer.h"

namespace vboard {

namespace {

using ota::board::Layout;
using ota::board::Partition;

Result<void> create_image(const std::string& path, uint64_t size, uint8_t fill) {
  auto fd = open_file(path, O_RDWR | O_CREAT | O_EXCL, 0644);
  if (!fd) {
    return fd.error();
  }
  if (::ftruncate(fd->get(), static_cast<off_t>(size)) != 0) {
    return ota::tool::errno_error("size " + path);
  }
  if (fill != 0) {
    const std::vector<uint8_t> buf(size, fill);
    if (!ota::pwrite_full(fd->get(), buf.data(), buf.size(), 0)) {
      return ota::tool::errno_error("fill " + path);
    }
  }
  if (::fsync(fd->get()) != 0 || fd->close() != 0) {
    return ota::tool::errno_error("sync " + path);
  }
  return {};
}

// The boot control block every board leaves the factory with: both slots priority 15,
// 7 tries, unconfirmed.
Result<void> write_default_boot_control(const std::string& image, const Partition& misc) {
  bootloader_control ctrl{};
  ctrl.slot_suffix[0] = 'a';
  ctrl.magic = BOOT_CTRL_MAGIC;
  ctrl.version = BOOT_CTRL_VERSION;
  ctrl.set_nb_slot(2);
  for (int s = 0; s < 2; ++s) {
    ctrl.slot_info[s].set_priority(SLOT_MAX_PRIORITY);
    ctrl.slot_info[s].set_tries_remaining(SLOT_MAX_TRIES);
  }
  uint8_t bytes[sizeof(ctrl)] = {};
  (void)encode(ctrl, bytes);
  ctrl.crc32_le = CRC32(bytes, BOOT_CTRL_CRC_LEN);
  (void)encode(ctrl, bytes);
  auto fd = open_file(image, O_RDWR);
  if (!fd) {
    return fd.error();
  }
  return pwrite_exact(fd->get(), bytes, sizeof(bytes), misc.offset + BOOT_CTRL_OFFSET,
                      "boot control block");
}

Result<void> format_ext4(const BoardDir& dir, const Partition& p) {
  const std::string staging = dir.path(".staging-" + p.name);
  if (auto r = make_dirs(p.name == "userdata" ? staging + "/ota" : staging); !r) {
    return r;
  }
  auto r = run_program({"mkfs.ext4", "-q", "-F", "-L", p.name, "-E",
                        "offset=" + std::to_string(p.offset) + ",nodiscard", "-d", staging,
                        dir.emmc_image(), std::to_string(p.size / 1024) + "k"});
  (void)remove_tree(staging);
  if (!r) {
    return std::move(r.error().context("format " + p.name));
  }
  return {};
}

Result<void> write_emmc(const BoardDir& dir, const Layout& layout) {
  if (auto r = create_image(dir.emmc_image(), layout.emmc_size, 0); !r) {
    return r;
  }
  auto fd = open_file(dir.emmc_image(), O_RDWR);
  if (!fd) {
    return fd.error();
  }
  if (auto r = write_gpt(fd->get(), layout); !r) {
    return r;
  }
  if (::fsync(fd->get()) != 0 || fd->close() != 0) {
    return ota::tool::errno_error("sync " + dir.emmc_image());
  }
  if (auto r = write_default_boot_control(dir.emmc_image(), *layout.find("misc")); !r) {
    return r;
  }
  for (const auto& p : layout.emmc) {
    if (p.ext4) {
      if (auto r = format_ext4(dir, p); !r) {
        return r;
      }
    }
  }
  return {};
}

// The MTD driver's view of the NOR flash: mtd0 the whole chip, mtdN the partitions.
Result<void> write_mtd_sysfs(const BoardDir& dir, const Layout& layout) {
  auto one = [&](unsigned n, const std::string& name, uint64_t offset,
                 uint64_t size) -> Result<void> {
    const std::string d = dir.sys_class("mtd") + "/mtd" + std::to_string(n);
    if (auto r = make_dirs(d); !r) {
      return r;
    }
    const std::pair<const char*, std::string> attrs[] = {
        {"name", name},
        {"offset", std::to_string(offset)},
        {"size", std::to_string(size)},
        {"type", "nor"},
        {"erasesize", std::to_string(ota::board::kNorEraseSize)},
        {"writesize", "1"},
        {"flags", "0x800"}};
    for (const auto& [attr, value] : attrs) {
      if (auto r = write_text(d + "/" + attr, value + "\n", 0444); !r) {
        return r;
      }
    }
    return {};
  };
  if (auto r = one(0, "nor_flash", 0, layout.nor_size); !r) {
    return r;
  }
  for (const auto& p : layout.nor) {
    if (auto r = one(p.mtd, p.name, p.offset, p.mtd_size()); !r) {
      return r;
    }
  }
  return {};
}

Result<void> write_templates(const BoardDir& dir) {
  const std::string tdir = dir.overlay("usr/mirvo/share/ota");
  if (auto r = make_dirs(tdir); !r) {
    return r;
  }
  for (const auto& t : kCmdTemplates) {
    fimage_update_s rec{};
    rec.magic = FLASHCMD_MAGIC;
    rec.cmdtype = static_cast<uint32_t>(t.type);
    rec.partinfo.misc.offset = 0;
    rec.partinfo.misc.length = t.data_size;
    rec.signlen = 256;
    // A stand-in signature: the firmware of this board does not check it.
    for (size_t i = 0; i < rec.signlen; ++i) {
      rec.signdata[i] = static_cast<uint8_t>((i * 131 + static_cast<uint32_t>(t.type)) & 0xFF);
    }
    std::string bytes(sizeof(rec), '\0');
    (void)encode(rec, std::span<uint8_t>(reinterpret_cast<uint8_t*>(bytes.data()), bytes.size()));
    if (auto r = write_text(tdir + "/" + t.name, bytes); !r) {
      return r;
    }
  }
  return {};
}

constexpr const char* kProvisionTool = R"SH(#!/bin/sh
# The board's provisioning tool, as far as the update engine asks it.
case "$1" in
  --get-lifecycle) echo "lifecycle: $(cat /usr/mirvo/etc/lifecycle)" ;;
  *) echo "usage: provision_tool --get-lifecycle" >&2; exit 2 ;;
esac
)SH";

Result<void> write_board_files(const BoardDir& dir, const Layout& layout) {
  for (const auto& d : {dir.overlay("usr/mirvo/bin"), dir.overlay("usr/mirvo/etc"),
                        dir.overlay("etc"), dir.overlay_work("usr"), dir.overlay_work("etc"),
                        dir.sys_class("boardinfo"), dir.mount_root()}) {
    if (auto r = make_dirs(d); !r) {
      return r;
    }
  }
  std::vector<std::pair<std::string, std::string>> files = {
      {dir.overlay("usr/mirvo/etc/lifecycle"), layout.lifecycle + "\n"},
      {dir.overlay("etc/runtime_config"), std::string("OTA_DEPLOY_DIR=") + kDeployDir + "\n"},
      {dir.console(), ""},
      {dir.run_lock(), ""},
      {dir.firmware_lock(), ""},
      {dir.firmware_log(), "created\n"},
      {dir.firmware_state(), "bootcount=0\nboots=0\n"},
      {dir.cmdline(), cmdline_text(BootResult{})}};
  for (const auto& [key, value] : layout.boardinfo) {
    files.emplace_back(dir.sys_class("boardinfo") + "/" + key, value + "\n");
  }
  for (const auto& [path, text] : files) {
    if (auto r = write_text(path, text); !r) {
      return r;
    }
  }
  if (auto r = write_text(dir.overlay("usr/mirvo/bin/provision_tool"), kProvisionTool, 0755); !r) {
    return r;
  }
  return write_templates(dir);
}

// The board's keyring: the regular files of the host folder, laid over its /etc.
Result<void> provision_keyring(const BoardDir& dir, const std::string& keyring) {
  const std::string target = dir.overlay("etc/mirvo/ota-keys");
  if (auto r = make_dirs(target); !r) {
    return r;
  }
  ota::UniqueDir d(::opendir(keyring.c_str()));
  if (!d) {
    return ota::tool::errno_error("open keyring folder " + keyring);
  }
  while (const dirent* de = ::readdir(d.get())) {
    const std::string from = keyring + "/" + de->d_name;
    struct stat st {};
    if (::lstat(from.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      continue;  // ".", "..", folders and links are no keys
    }
    auto text = read_text(from);
    if (!text) {
      return text.error();
    }
    if (auto r = write_text(target + "/" + de->d_name, *text, 0644); !r) {
      return r;
    }
  }
  return {};
}

Result<void> prepare_dir(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) == 0) {
    return {};
  }
  if (errno != EEXIST) {
    return ota::tool::errno_error("create " + path);
  }
  ota::UniqueDir d(::opendir(path.c_str()));
  if (!d) {
    return ota::tool::errno_error("open " + path);
  }
  while (const dirent* de = ::readdir(d.get())) {
    if (std::string_view(de->d_name) != "." && std::string_view(de->d_name) != "..") {
      return Error(EEXIST, path + " is not empty");
    }
  }
  return {};
}

Result<void> populate(const BoardDir& dir, const Layout& layout, const std::string& text) {
  if (auto r = write_text(dir.layout_file(), text); !r) {
    return r;
  }
  if (auto r = write_emmc(dir, layout); !r) {
    return r;
  }
  if (auto r = create_image(dir.nor_image(), layout.nor_size, 0xFF); !r) {
    return r;
  }
  if (auto r = write_mtd_sysfs(dir, layout); !r) {
    return r;
  }
  return write_board_files(dir, layout);
}

}  // namespace

Result<void> create_board(const std::string& path, const std::optional<std::string>& layout_file,
                          const Layers& layers, const std::optional<std::string>& keyring) {
  std::string text(ota::board::default_layout_text());
  if (layout_file) {
    auto t = read_text(*layout_file);
    if (!t) {
      return t.error();
    }
    text = *t;
  }
  auto layout = ota::board::parse_layout(text);
  if (!layout) {
    return std::move(layout.error().context(layout_file.value_or("default layout")));
  }
  if (auto r = prepare_dir(path); !r) {
    return r;
  }
  auto root = real_path(path);
  if (!root) {
    return root.error();
  }
  const BoardDir dir(*root);
  auto r = populate(dir, *layout, text);
  if (r && keyring) {
    r = provision_keyring(dir, *keyring);
  }
  if (r && (layers.fuse || layers.mtd_chardev || layers.power_cut)) {
    r = save_layers(dir, layers);
  }
  if (!r) {
    // A half-made board would only mislead: nothing of it stays.
    ota::UniqueDir d(::opendir(dir.root().c_str()));
    while (d) {
      const dirent* de = ::readdir(d.get());
      if (de == nullptr) {
        break;
      }
      const std::string n = de->d_name;
      if (n != "." && n != "..") {
        (void)remove_tree(dir.path(n));
      }
    }
    return std::move(r.error().context("create board " + dir.root()));
  }
  return {};
}

}  // namespace vboard
