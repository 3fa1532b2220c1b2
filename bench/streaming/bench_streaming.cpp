// Burn-and-prove of one image, side by side with what a user would script, on a loop
// block device: our zip and tar+zstd streaming paths plus MD5DevPart of the written
// range, against `unzip -p` / `tar | zstd` into the device followed by md5sum, and
// against bare inflate plus md5sum of the image. Every side starts from a cold page
// cache and flushes the device before it hashes. Also the peak memory of our paths for
// two image sizes.
//
//   bench_streaming [--size-mib N] [--small-mib M] [--dir DIR] [--reps R]
#include <minizip/unzip.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.h"
#include "device_io.h"
#include "kx_zip.h"
#include "md5.h"
#include "tar_zstd.h"

namespace {

using ota::bench::ChildRun;
using ota::bench::Error;
using ota::bench::Result;

constexpr const char* kMember = "system.img";
constexpr const char* kZstMember = "system.img.zst";

struct Options {
  uint64_t size_mib = 1024;
  uint64_t small_mib = 0;  // 0: a quarter of size_mib, at least 64
  std::string dir = "/var/tmp";
  int reps = 1;
};

Result<Options> parse_args(int argc, char** argv) {
  Options opt;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) {
      return Error(EINVAL, "missing value after " + arg);
    }
    const char* value = argv[++i];
    if (arg == "--size-mib") {
      opt.size_mib = std::strtoull(value, nullptr, 10);
    } else if (arg == "--small-mib") {
      opt.small_mib = std::strtoull(value, nullptr, 10);
    } else if (arg == "--dir") {
      opt.dir = value;
    } else if (arg == "--reps") {
      opt.reps = std::atoi(value);
    } else {
      return Error(EINVAL, "unknown option " + arg);
    }
  }
  if (opt.small_mib == 0) {
    opt.small_mib = std::max<uint64_t>(64, opt.size_mib / 4);
  }
  if (opt.size_mib == 0 || opt.reps <= 0) {
    return Error(EINVAL, "--size-mib and --reps must be positive");
  }
  return opt;
}

std::string hex(const unsigned char digest[16]) {
  char out[33];
  for (int k = 0; k < 16; ++k) {
    std::snprintf(out + 2 * k, 3, "%02x", digest[k]);
  }
  return out;
}

// One image with its zip and tar+zstd packages and the loop device it is burnt to.
struct Setup {
  std::string dir;
  std::string image;
  std::string zip;
  std::string tar;
  uint64_t size = 0;
  std::string md5;
};

Result<Setup> make_packages(const std::string& dir, uint64_t mib, unsigned seed) {
  Setup s{dir, dir + "/" + kMember, dir + "/pkg.zip", dir + "/pkg.tar", mib << 20, {}};
  if (auto made = ota::bench::write_image_file(s.image, s.size, seed); !made) {
    return made.error().context("making the image");
  }
  const std::string cmd = "cd '" + dir + "' && zip -q pkg.zip " + kMember + " && zstd -q -f " +
                          kMember + " -o " + kZstMember + " && tar -cf pkg.tar " + kZstMember;
  if (auto packed = ota::bench::time_shell(cmd); !packed) {
    return packed.error().context("making the packages");
  }
  auto md5 = ota::bench::md5sum_hex(s.image);
  if (!md5) {
    return md5.error();
  }
  s.md5 = *md5;
  return s;
}

// Our burn and its proof: stream the member to the device, then hash the written range.
Result<void> burn_and_prove(const Setup& s, const std::string& device, bool tar) {
  ota_file_info_t dest{};
  dest.medium = OTA_EMMC;
  std::snprintf(dest.path, sizeof(dest.path), "%s", device.c_str());
  const int32_t rc = tar ? ota_untar_unzst_to_file(s.tar.c_str(), kZstMember, dest.path, nullptr)
                         : kx_unzip_file_to(s.zip.c_str(), kMember, &dest, nullptr);
  if (rc != 0) {
    return Error(EIO, "streaming to " + device + " failed: " + std::to_string(rc));
  }
  unsigned char digest[16];
  if (MD5DevPart(device.c_str(), 0, static_cast<long>(s.size), digest) != 0) {
    return Error(EIO, "MD5DevPart of " + device + " failed");
  }
  if (hex(digest) != s.md5) {
    return Error(EIO, "device digest " + hex(digest) + " differs from the image's " + s.md5);
  }
  return {};
}

// Inflates the member into a buffer and drops it: the floor of any zip burn.
Result<void> bare_inflate(const Setup& s) {
  unzFile archive = unzOpen64(s.zip.c_str());
  if (archive == nullptr) {
    return Error(EIO, "cannot open " + s.zip);
  }
  std::vector<unsigned char> buf(1 << 20);
  int rc = unzLocateFile(archive, kMember, 0) == UNZ_OK ? unzOpenCurrentFile(archive) : -1;
  uint64_t total = 0;
  while (rc == UNZ_OK) {
    const int n = unzReadCurrentFile(archive, buf.data(), static_cast<unsigned>(buf.size()));
    if (n <= 0) {
      rc = n;
      break;
    }
    total += static_cast<uint64_t>(n);
  }
  unzClose(archive);
  if (rc != 0 || total != s.size) {
    return Error(EIO, "inflating " + s.zip + " failed");
  }
  return {};
}

// Each measured side starts with an empty device and a cold page cache.
Result<void> prepare(const std::string& device, uint64_t size) {
  if (auto r = ota::bench::discard_device(device, size); !r) {
    return r;
  }
  return ota::bench::drop_caches();
}

Result<ChildRun> measure_ours(const Setup& s, const std::string& device, bool tar) {
  if (auto r = prepare(device, s.size); !r) {
    return r.error();
  }
  return ota::bench::run_in_child([&] { return burn_and_prove(s, device, tar); });
}

Result<double> measure_script(const Setup& s, const std::string& device, bool tar) {
  if (auto r = prepare(device, s.size); !r) {
    return r.error();
  }
  const std::string feed = tar ? "tar -xOf '" + s.tar + "' " + kZstMember + " | zstd -dc"
                               : "unzip -p '" + s.zip + "' " + kMember;
  const std::string sum_file = s.dir + "/script.md5";
  const std::string cmd = feed + " > " + device + " && sync " + device + " && md5sum " + device +
                          " > '" + sum_file + "'";
  auto seconds = ota::bench::time_shell(cmd);
  if (!seconds) {
    return seconds.error();
  }
  std::FILE* f = std::fopen(sum_file.c_str(), "re");
  char got[33] = {};
  const bool read_ok = f != nullptr && std::fread(got, 1, 32, f) == 32;
  if (f != nullptr) {
    std::fclose(f);
  }
  if (!read_ok || s.md5 != got) {
    return Error(EIO, "the script's device digest differs from the image's");
  }
  return *seconds;
}

Result<double> measure_bare(const Setup& s) {
  if (auto r = ota::bench::drop_caches(); !r) {
    return r.error();
  }
  auto inflate = ota::bench::run_in_child([&] { return bare_inflate(s); });
  if (!inflate) {
    return inflate.error();
  }
  auto sum = ota::bench::time_shell("md5sum '" + s.image + "' > /dev/null");
  if (!sum) {
    return sum.error();
  }
  return inflate->seconds + *sum;
}

struct Figures {
  double ours_zip = 1e9;
  double script_zip = 1e9;
  double bare = 1e9;
  double ours_tar = 1e9;
  double script_tar = 1e9;
  long peak_zip_kib = 0;
  long peak_tar_kib = 0;
};

Result<Figures> measure_all(const Setup& s, const std::string& device, int reps) {
  Figures f;
  for (int rep = 0; rep < reps; ++rep) {
    auto ours_zip = measure_ours(s, device, false);
    if (!ours_zip) {
      return ours_zip.error().context("our zip path");
    }
    auto script_zip = measure_script(s, device, false);
    if (!script_zip) {
      return script_zip.error().context("unzip script");
    }
    auto bare = measure_bare(s);
    if (!bare) {
      return bare.error().context("bare inflate + md5sum");
    }
    auto ours_tar = measure_ours(s, device, true);
    if (!ours_tar) {
      return ours_tar.error().context("our tar+zstd path");
    }
    auto script_tar = measure_script(s, device, true);
    if (!script_tar) {
      return script_tar.error().context("tar | zstd script");
    }
    f.ours_zip = std::min(f.ours_zip, ours_zip->seconds);
    f.script_zip = std::min(f.script_zip, *script_zip);
    f.bare = std::min(f.bare, *bare);
    f.ours_tar = std::min(f.ours_tar, ours_tar->seconds);
    f.script_tar = std::min(f.script_tar, *script_tar);
    f.peak_zip_kib = std::max(f.peak_zip_kib, ours_zip->peak_kib);
    f.peak_tar_kib = std::max(f.peak_tar_kib, ours_tar->peak_kib);
  }
  return f;
}

// Peak memory of our two paths for one more image size, on its own device.
Result<Figures> measure_peaks(const Setup& s, const std::string& device) {
  Figures f;
  auto zip = measure_ours(s, device, false);
  if (!zip) {
    return zip.error().context("our zip path");
  }
  auto tar = measure_ours(s, device, true);
  if (!tar) {
    return tar.error().context("our tar+zstd path");
  }
  f.peak_zip_kib = zip->peak_kib;
  f.peak_tar_kib = tar->peak_kib;
  return f;
}

void ratio_line(const char* what, double ratio, double target) {
  std::printf("%-44s %6.3fx  target <= %.2fx: %s\n", what, ratio, target,
              ota::bench::verdict(ratio <= target));
}

void report(const Options& opt, const Figures& big, const Figures& small) {
  const double mib = static_cast<double>(opt.size_mib);
  std::printf("image %llu MiB, cold cache per side, best of %d\n",
              static_cast<unsigned long long>(opt.size_mib), opt.reps);
  std::printf("  ours zip   (kx_unzip_file_to + MD5DevPart)        %7.2f s  %7.1f MiB/s\n",
              big.ours_zip, mib / big.ours_zip);
  std::printf("  script zip (unzip -p > dev; sync; md5sum dev)      %7.2f s  %7.1f MiB/s\n",
              big.script_zip, mib / big.script_zip);
  std::printf("  bare       (minizip inflate > null + md5sum image) %7.2f s  %7.1f MiB/s\n",
              big.bare, mib / big.bare);
  std::printf("  ours tar   (ota_untar_unzst_to_file + MD5DevPart)  %7.2f s  %7.1f MiB/s\n",
              big.ours_tar, mib / big.ours_tar);
  std::printf("  script tar (tar -xO | zstd -dc > dev; sync; md5sum) %6.2f s  %7.1f MiB/s\n",
              big.script_tar, mib / big.script_tar);
  ratio_line("ours zip / unzip script", big.ours_zip / big.script_zip, 0.70);
  ratio_line("ours zip / bare inflate + md5sum", big.ours_zip / big.bare, 1.15);
  ratio_line("ours tar+zstd / tar|zstd script", big.ours_tar / big.script_tar, 1.05);

  std::printf("peak memory (VmHWM) of our paths:\n");
  std::printf("  %6llu MiB image: zip %6.1f MiB, tar+zstd %6.1f MiB\n",
              static_cast<unsigned long long>(opt.small_mib), small.peak_zip_kib / 1024.0,
              small.peak_tar_kib / 1024.0);
  std::printf("  %6llu MiB image: zip %6.1f MiB, tar+zstd %6.1f MiB\n",
              static_cast<unsigned long long>(opt.size_mib), big.peak_zip_kib / 1024.0,
              big.peak_tar_kib / 1024.0);
  const long worst =
      std::max({big.peak_zip_kib, big.peak_tar_kib, small.peak_zip_kib, small.peak_tar_kib});
  // Independent of the image size: the larger image may not cost more than a few pages.
  const bool flat = std::abs(big.peak_zip_kib - small.peak_zip_kib) < 4096 &&
                    std::abs(big.peak_tar_kib - small.peak_tar_kib) < 4096;
  std::printf("%-44s %6.1f MiB target < 64 MiB and flat: %s\n", "peak memory", worst / 1024.0,
              ota::bench::verdict(worst < 64 * 1024 && flat));
}

Result<void> run(const Options& opt) {
  auto work = ota::bench::WorkDir::create(opt.dir);
  if (!work) {
    return work.error();
  }
  Figures small;
  {
    const std::string dir = work->file("small");
    if (::mkdir(dir.c_str(), 0755) != 0) {
      return ota::bench::errno_error("mkdir " + dir);
    }
    auto s = make_packages(dir, opt.small_mib, 2);
    if (!s) {
      return s.error();
    }
    const std::string backing = dir + "/device.img";
    if (auto made = ota::bench::make_sparse_file(backing, s->size); !made) {
      return made;
    }
    auto loop = ota::bench::LoopDevice::attach(backing);
    if (!loop) {
      return loop.error();
    }
    auto peaks = measure_peaks(*s, loop->path());
    if (!peaks) {
      return peaks.error().context(std::to_string(opt.small_mib) + " MiB image");
    }
    small = *peaks;
  }
  const std::string dir = work->file("big");
  if (::mkdir(dir.c_str(), 0755) != 0) {
    return ota::bench::errno_error("mkdir " + dir);
  }
  auto s = make_packages(dir, opt.size_mib, 1);
  if (!s) {
    return s.error();
  }
  const std::string backing = dir + "/device.img";
  if (auto made = ota::bench::make_sparse_file(backing, s->size); !made) {
    return made;
  }
  auto loop = ota::bench::LoopDevice::attach(backing);
  if (!loop) {
    return loop.error();
  }
  std::printf("device %s over %s\n", loop->path().c_str(), backing.c_str());
  auto big = measure_all(*s, loop->path(), opt.reps);
  if (!big) {
    return big.error().context(std::to_string(opt.size_mib) + " MiB image");
  }
  report(opt, *big, small);
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  auto opt = parse_args(argc, argv);
  if (!opt) {
    std::fprintf(stderr,
                 "bench_streaming: %s\nusage: bench_streaming [--size-mib N] [--small-mib M] "
                 "[--dir DIR] [--reps R]\n",
                 opt.error().message().c_str());
    return 2;
  }
  if (auto done = run(*opt); !done) {
    std::fprintf(stderr, "bench_streaming: %s\n", done.error().message().c_str());
    return 1;
  }
  return 0;
}
