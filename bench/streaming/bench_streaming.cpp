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

using ota::bench::Error;
using ota::bench::Result;
using ota::bench::Timing;

constexpr const char* kMember = "system.img";
constexpr const char* kZstMember = "system.img.zst";

using Options = ota::bench::BenchOptions;

Result<Options> parse_args(int argc, char** argv) {
  auto opt = ota::bench::parse_bench_options(argc, argv, {});
  if (opt && opt->small_mib == 0) {
    opt->small_mib = std::max<uint64_t>(64, opt->size_mib / 4);
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
  // Made in a child so that its buffers do not count in the measured children's memory.
  if (auto made = ota::bench::run_in_child(
          [&] { return ota::bench::write_image_file(s.image, s.size, seed); });
      !made) {
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

Result<Timing> measure_ours(const Setup& s, const std::string& device, bool tar) {
  if (auto r = prepare(device, s.size); !r) {
    return r.error();
  }
  return ota::bench::run_in_child([&] { return burn_and_prove(s, device, tar); });
}

Result<Timing> measure_script(const Setup& s, const std::string& device, bool tar) {
  if (auto r = prepare(device, s.size); !r) {
    return r.error();
  }
  const std::string feed = tar ? "tar -xOf '" + s.tar + "' " + kZstMember + " | zstd -dc"
                               : "unzip -p '" + s.zip + "' " + kMember;
  const std::string sum_file = s.dir + "/script.md5";
  const std::string cmd = feed + " > " + device + " && sync " + device + " && md5sum " + device +
                          " > '" + sum_file + "'";
  auto timing = ota::bench::time_shell(cmd);
  if (!timing) {
    return timing.error();
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
  return *timing;
}

Result<Timing> measure_bare(const Setup& s) {
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
  return Timing{inflate->seconds + sum->seconds, inflate->cpu_seconds + sum->cpu_seconds, 0};
}

// The run of each side with the shortest wall time.
struct Figures {
  Timing ours_zip;
  Timing script_zip;
  Timing bare;
  Timing ours_tar;
  Timing script_tar;
};

void keep_best(Timing& best, const Timing& run) {
  if (best.seconds == 0 || run.seconds < best.seconds) {
    const long peak = std::max(best.peak_kib, run.peak_kib);
    best = run;
    best.peak_kib = peak;
  } else {
    best.peak_kib = std::max(best.peak_kib, run.peak_kib);
  }
}

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
    keep_best(f.ours_zip, *ours_zip);
    keep_best(f.script_zip, *script_zip);
    keep_best(f.bare, *bare);
    keep_best(f.ours_tar, *ours_tar);
    keep_best(f.script_tar, *script_tar);
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
  f.ours_zip = *zip;
  f.ours_tar = *tar;
  return f;
}

void side_line(const char* what, const Timing& t, double mib) {
  std::printf("  %-52s %7.2f s %7.1f MiB/s  cpu %6.2f s\n", what, t.seconds, mib / t.seconds,
              t.cpu_seconds);
}

void ratio_line(const char* what, const Timing& ours, const Timing& other, double target) {
  const double ratio = ours.seconds / other.seconds;
  std::printf("%-36s %6.3fx (cpu %5.3fx)  target <= %.2fx: %s\n", what, ratio,
              ours.cpu_seconds / other.cpu_seconds, target, ota::bench::verdict(ratio <= target));
}

void report(const Options& opt, const Figures& big, const Figures& small) {
  const double mib = static_cast<double>(opt.size_mib);
  std::printf("image %llu MiB, cold cache per side, best wall time of %d\n",
              static_cast<unsigned long long>(opt.size_mib), opt.reps);
  side_line("ours zip   (kx_unzip_file_to + MD5DevPart)", big.ours_zip, mib);
  side_line("script zip (unzip -p > dev; sync dev; md5sum dev)", big.script_zip, mib);
  side_line("bare       (minizip inflate > null; md5sum image)", big.bare, mib);
  side_line("ours tar   (ota_untar_unzst_to_file + MD5DevPart)", big.ours_tar, mib);
  side_line("script tar (tar -xO | zstd -dc > dev; sync; md5sum)", big.script_tar, mib);
  ratio_line("ours zip / unzip script", big.ours_zip, big.script_zip, 0.70);
  ratio_line("ours zip / bare inflate + md5sum", big.ours_zip, big.bare, 1.15);
  ratio_line("ours tar+zstd / tar|zstd script", big.ours_tar, big.script_tar, 1.05);

  std::printf("peak memory (VmHWM) of our paths:\n");
  std::printf("  %6llu MiB image: zip %6.1f MiB, tar+zstd %6.1f MiB\n",
              static_cast<unsigned long long>(opt.small_mib), small.ours_zip.peak_kib / 1024.0,
              small.ours_tar.peak_kib / 1024.0);
  std::printf("  %6llu MiB image: zip %6.1f MiB, tar+zstd %6.1f MiB\n",
              static_cast<unsigned long long>(opt.size_mib), big.ours_zip.peak_kib / 1024.0,
              big.ours_tar.peak_kib / 1024.0);
  const long worst = std::max({big.ours_zip.peak_kib, big.ours_tar.peak_kib,
                               small.ours_zip.peak_kib, small.ours_tar.peak_kib});
  // Independent of the image size: the larger image may not cost more than a few MiB.
  const bool flat = std::abs(big.ours_zip.peak_kib - small.ours_zip.peak_kib) < 4096 &&
                    std::abs(big.ours_tar.peak_kib - small.ours_tar.peak_kib) < 4096;
  std::printf("%-36s %6.1f MiB  target < 64 MiB and flat: %s\n", "peak memory", worst / 1024.0,
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
