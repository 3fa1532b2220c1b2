#include "loop.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/blkpg.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace vboard {

namespace {

using ota::board::kSectorSize;

bool is_attached(int number) {
  struct stat st {};
  const std::string f = "/sys/block/loop" + std::to_string(number) + "/loop/backing_file";
  return ::stat(f.c_str(), &st) == 0;
}

Result<void> blkpg(int fd, int op, int pno, uint64_t start, uint64_t length) {
  blkpg_partition part{};
  part.start = static_cast<long long>(start);
  part.length = static_cast<long long>(length);
  part.pno = pno;
  blkpg_ioctl_arg arg{};
  arg.op = op;
  arg.datalen = sizeof(part);
  arg.data = &part;
  if (::ioctl(fd, BLKPG, &arg) != 0) {
    return ota::tool::errno_error("partition " + std::to_string(pno));
  }
  return {};
}

}  // namespace

Result<LoopDevice> attach_loop(const std::string& image, uint64_t offset, uint64_t size,
                               bool partitions) {
  auto backing = open_file(image, O_RDWR);
  if (!backing) {
    return backing.error();
  }
  auto control = open_file("/dev/loop-control", O_RDWR);
  if (!control) {
    return control.error();
  }
  // Another board may take the free device between the query and the configure.
  for (int attempt = 0; attempt < 50; ++attempt) {
    const int number = ::ioctl(control->get(), LOOP_CTL_GET_FREE);
    if (number < 0) {
      return ota::tool::errno_error("find a free loop device");
    }
    LoopDevice dev;
    dev.number = number;
    dev.fd = ota::open_fd(dev.path().c_str(), O_RDWR);
    if (!dev.fd) {
      return ota::tool::errno_error("open " + dev.path());
    }
    loop_config cfg{};
    cfg.fd = static_cast<uint32_t>(backing->get());
    cfg.info.lo_offset = offset;
    cfg.info.lo_sizelimit = size;
    cfg.info.lo_flags = LO_FLAGS_AUTOCLEAR | (partitions ? LO_FLAGS_PARTSCAN : 0);
    std::memcpy(cfg.info.lo_file_name, image.data(),
                std::min<size_t>(image.size(), LO_NAME_SIZE - 1));
    if (::ioctl(dev.fd.get(), LOOP_CONFIGURE, &cfg) == 0) {
      return dev;
    }
    if (errno != EBUSY) {
      return ota::tool::errno_error("attach " + image + " to " + dev.path());
    }
  }
  return Error(EBUSY, "attach " + image + ": every free loop device was taken meanwhile");
}

Result<void> add_partitions(const LoopDevice& disk, const ota::board::Layout& layout) {
  // Whatever the kernel's own scan found (the protective MBR's one partition) goes.
  for (int pno = 1; pno <= static_cast<int>(ota::board::kMaxEmmcParts); ++pno) {
    (void)blkpg(disk.fd.get(), BLKPG_DEL_PARTITION, pno, 0, 0);
  }
  for (size_t i = 0; i < layout.emmc.size(); ++i) {
    const auto& p = layout.emmc[i];
    auto r = blkpg(disk.fd.get(), BLKPG_ADD_PARTITION, static_cast<int>(i + 1),
                   p.first_lba() * kSectorSize, p.size);
    if (!r) {
      return std::move(r.error().context("add " + p.name + " to " + disk.path()));
    }
  }
  return {};
}

void detach_loop(LoopDevice& dev) {
  if (dev.fd) {
    (void)::ioctl(dev.fd.get(), LOOP_CLR_FD, 0);
    dev.fd.reset();
  }
}

std::vector<std::string> devices_backed_by(const std::vector<std::string>& images) {
  std::vector<std::pair<dev_t, ino_t>> ids;
  for (const auto& img : images) {
    struct stat st {};
    if (::stat(img.c_str(), &st) == 0) {
      ids.emplace_back(st.st_dev, st.st_ino);
    }
  }
  std::vector<std::string> found;
  ota::UniqueDir dir(::opendir("/sys/block"));
  if (!dir) {
    return found;
  }
  while (const dirent* de = ::readdir(dir.get())) {
    const std::string name = de->d_name;
    if (name.rfind("loop", 0) != 0) {
      continue;
    }
    ota::UniqueFd fd = ota::open_fd(("/dev/" + name).c_str(), O_RDONLY);
    loop_info64 info{};
    if (!fd || ::ioctl(fd.get(), LOOP_GET_STATUS64, &info) != 0) {
      continue;
    }
    bool ours = false;
    for (const auto& [d, i] : ids) {
      ours = ours || (info.lo_device == d && info.lo_inode == i);
    }
    if (!ours) {
      continue;
    }
    found.push_back(name);
    ota::UniqueDir sub(::opendir(("/sys/block/" + name).c_str()));
    while (sub && (de = ::readdir(sub.get())) != nullptr) {
      const std::string part = de->d_name;
      if (part.rfind(name + "p", 0) == 0) {
        found.push_back(part);
      }
    }
  }
  return found;
}

Result<dev_t> block_dev_number(const std::string& kernel_name) {
  const std::string base = kernel_name.find('p', 4) == std::string::npos
                               ? kernel_name
                               : kernel_name.substr(0, kernel_name.find('p', 4));
  const std::string f = base == kernel_name ? "/sys/block/" + kernel_name + "/dev"
                                            : "/sys/block/" + base + "/" + kernel_name + "/dev";
  auto text = read_text(f);
  if (!text) {
    return text.error();
  }
  unsigned maj = 0;
  unsigned min = 0;
  if (std::sscanf(text->c_str(), "%u:%u", &maj, &min) != 2) {
    return Error(EINVAL, f + ": not a device number: " + *text);
  }
  return ::makedev(maj, min);
}

Result<void> flush_devices(const std::vector<std::string>& kernel_names) {
  for (const auto& name : kernel_names) {
    const std::string path = "/dev/" + name;
    ota::UniqueFd fd = ota::open_fd(path.c_str(), O_RDONLY);
    if (!fd) {
      return ota::tool::errno_error("open " + path);
    }
    if (::fsync(fd.get()) != 0 || ::ioctl(fd.get(), BLKFLSBUF, 0) != 0) {
      return ota::tool::errno_error("flush " + path);
    }
  }
  return {};
}

void wait_detached(const std::vector<int>& numbers, int timeout_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    bool any = false;
    for (int n : numbers) {
      any = any || is_attached(n);
    }
    if (!any || std::chrono::steady_clock::now() > end) {
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace vboard
