// Burn-and-prove of one image, side by side with what a user would script, on a loop
// block device: our zip and tar+zstd burns (inflate beside the write and its read-back
// proof, and the same stages on one thread) plus the comparison of the proven range,
// against `unzip -p` / `tar | zstd` into the device followed by md5sum, and
// against bare inflate plus md5sum of the image; and the bare inflate of the member by zlib
// and by ISA-L, alone, which chose the burn's inflate. Every side starts from a cold page
// cache and flushes the device before it hashes. Also the peak memory of our paths for
// two image sizes. Each side's figure is the median of the runs, with their spread.
//
//   bench_streaming [--size-mib N] [--small-mib M] [--dir DIR] [--reps R]
#if OTA_HAVE_ISAL
#include <isa-l/igzip_lib.h>
#endif
#include <minizip/unzip.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "device_io.h"
#include "kx_zip.h"
#include "md5.h"
#include "partition_md5.h"
#include "tar_zstd.h"

namespace {

using ota::bench::Error;
using ota::bench::Result;
using ota::bench::Timing;

constexpr const char* kMember = "system.img";
constexpr const char* kZstMember = "system.img.zst";

using Options = ota::bench::BenchOptions;

Result<Options> parse_args(int argc, char** argv) {
  auto opt = ota::bench::parse_bench_options(argc, argv, {.reps = 3});
  if (opt && opt->small_mib == 0) {
    opt->small_mib = std::max<uint64_t>(64, opt->size_mib / 4);
  }
  return opt;
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

// Our burn and its proof: the member streamed to the device while what is written is read
// back into the proof, then the proven range compared with the image's digest.
Result<void> burn_and_prove(const Setup& s, const std::string& device, bool tar, bool one_thread) {
  if (one_thread ? setenv("OTA_BURN_THREADS", "1", 1) != 0 : unsetenv("OTA_BURN_THREADS") != 0) {
    return ota::bench::errno_error("OTA_BURN_THREADS");
  }
  ota_file_info_t dest{};
  dest.medium = OTA_EMMC;
  std::snprintf(dest.path, sizeof(dest.path), "%s", device.c_str());
  ota::ReadBackProof proof;
  const int32_t rc =
      kx_uncompress_file_to(tar ? s.tar.c_str() : s.zip.c_str(), tar ? kZstMember : kMember, &dest,
                            nullptr, OTA_MEMBER_UNBOUNDED, &proof);
  if (rc != 0) {
    return Error(EIO, "streaming to " + device + " failed: " + std::to_string(rc));
  }
  if (verify_image_checksum_after_read_back(s.md5.c_str(), s.size, device.c_str(), 0, proof) != 0) {
    return Error(EIO, "the proof of " + device + " differs from the image's digest " + s.md5);
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

// The same with ISA-L over the member's raw deflate stream, its CRC computed by igzip.
Result<void> bare_isal_inflate(const Setup& s) {
#if !OTA_HAVE_ISAL
  return Error(ENOTSUP, "built without ISA-L: no inflate of " + s.zip + " by it");
#else
  unzFile archive = unzOpen64(s.zip.c_str());
  if (archive == nullptr) {
    return Error(EIO, "cannot open " + s.zip);
  }
  int method = 0;
  int level = 0;
  int rc = unzLocateFile(archive, kMember, 0) == UNZ_OK
               ? unzOpenCurrentFile2(archive, &method, &level, 1)
               : -1;
  std::vector<unsigned char> in(256 << 10);
  std::vector<unsigned char> out(1 << 20);
  auto state = std::make_unique<inflate_state>();
  isal_inflate_init(state.get());
  state->crc_flag = ISAL_GZIP_NO_HDR;
  uint64_t total = 0;
  while (rc == UNZ_OK && state->block_state != ISAL_BLOCK_FINISH) {
    if (state->avail_in == 0) {
      const int n = unzReadCurrentFile(archive, in.data(), static_cast<unsigned>(in.size()));
      if (n <= 0) {
        rc = -1;
        break;
      }
      state->next_in = in.data();
      state->avail_in = static_cast<uint32_t>(n);
    }
    state->next_out = out.data();
    state->avail_out = static_cast<uint32_t>(out.size());
    if (isal_inflate(state.get()) < 0) {
      rc = -1;
    }
    total += out.size() - state->avail_out;
  }
  unz_file_info64 info{};
  (void)unzGetCurrentFileInfo64(archive, &info, nullptr, 0, nullptr, 0, nullptr, 0);
  unzClose(archive);
  if (rc != 0 || total != s.size || state->crc != info.crc) {
    return Error(EIO, "inflating " + s.zip + " with ISA-L failed");
  }
  return {};
#endif
}

// Each measured side starts with an empty device and a cold page cache.
Result<void> prepare(const std::string& device, uint64_t size) {
  if (auto r = ota::bench::discard_device(device, size); !r) {
    return r;
  }
  return ota::bench::drop_caches();
}

Result<Timing> measure_ours(const Setup& s, const std::string& device, bool tar,
                            bool one_thread = false) {
  if (auto r = prepare(device, s.size); !r) {
    return r.error();
  }
  return ota::bench::run_in_child([&] { return burn_and_prove(s, device, tar, one_thread); });
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

using Side = ota::bench::Runs;

// The inflate alone, from a cold cache.
Result<Timing> measure_inflate(const Setup& s, bool isal) {
  if (auto r = ota::bench::drop_caches(); !r) {
    return r.error();
  }
  return ota::bench::run_in_child([&] { return isal ? bare_isal_inflate(s) : bare_inflate(s); });
}

Result<Timing> measure_bare(const Setup& s, Side& zlib_alone) {
  auto inflate = measure_inflate(s, false);
  if (!inflate) {
    return inflate.error();
  }
  zlib_alone.add(*inflate);
  auto sum = ota::bench::time_shell("md5sum '" + s.image + "' > /dev/null");
  if (!sum) {
    return sum.error();
  }
  return Timing{inflate->seconds + sum->seconds, inflate->cpu_seconds + sum->cpu_seconds, 0};
}

struct Figures {
  Side ours_zip;
  Side ours_zip_1t;
  Side script_zip;
  Side bare;
  Side zlib_alone;
  Side isal_alone;
  Side ours_tar;
  Side ours_tar_1t;
  Side script_tar;
};

Result<void> measure_into(Side& side, Result<Timing> run, const char* what) {
  if (!run) {
    return run.error().context(what);
  }
  side.add(*run);
  return {};
}

Result<Figures> measure_all(const Setup& s, const std::string& device, int reps) {
  Figures f;
  const std::function<Result<void>()> sides[] = {
      [&] { return measure_into(f.ours_zip, measure_ours(s, device, false), "our zip path"); },
      [&] {
        return measure_into(f.ours_zip_1t, measure_ours(s, device, false, true),
                            "our zip path, one thread");
      },
      [&] { return measure_into(f.script_zip, measure_script(s, device, false), "unzip script"); },
      [&] { return measure_into(f.bare, measure_bare(s, f.zlib_alone), "bare inflate + md5sum"); },
      [&] {
        return OTA_HAVE_ISAL ? measure_into(f.isal_alone, measure_inflate(s, true), "ISA-L inflate")
                             : Result<void>{};
      },
      [&] { return measure_into(f.ours_tar, measure_ours(s, device, true), "our tar+zstd path"); },
      [&] {
        return measure_into(f.ours_tar_1t, measure_ours(s, device, true, true),
                            "our tar+zstd path, one thread");
      },
      [&] {
        return measure_into(f.script_tar, measure_script(s, device, true), "tar | zstd script");
      },
  };
  for (int rep = 0; rep < reps; ++rep) {
    for (const auto& side : sides) {
      if (auto r = side(); !r) {
        return r.error();
      }
    }
  }
  return f;
}

// Peak memory of our two paths for one more image size, on its own device.
Result<Figures> measure_peaks(const Setup& s, const std::string& device) {
  Figures f;
  if (auto r = measure_into(f.ours_zip, measure_ours(s, device, false), "our zip path"); !r) {
    return r.error();
  }
  if (auto r = measure_into(f.ours_tar, measure_ours(s, device, true), "our tar+zstd path"); !r) {
    return r.error();
  }
  return f;
}

void side_line(const char* what, const Side& side, double mib) {
  const Timing t = side.median();
  std::printf("  %-52s %7.2f s (spread %5.2f s) %7.1f MiB/s  cpu/wall %4.2f\n", what, t.seconds,
              side.spread(), mib / t.seconds, t.cpu_seconds / t.seconds);
}

void ratio_line(const char* what, const Side& ours, const Side& other, double target) {
  const Timing a = ours.median();
  const Timing b = other.median();
  const double ratio = a.seconds / b.seconds;
  std::printf("%-40s %6.3fx (cpu %5.3fx)  target <= %.2fx: %s\n", what, ratio,
              a.cpu_seconds / b.cpu_seconds, target, ota::bench::verdict(ratio <= target));
}

void report(const Options& opt, const Figures& big, const Figures& small) {
  const double mib = static_cast<double>(opt.size_mib);
  std::printf("image %llu MiB, cold cache per side, median wall time of %d runs\n",
              static_cast<unsigned long long>(opt.size_mib), opt.reps);
  side_line("ours zip   (inflate | write + read-back proof)", big.ours_zip, mib);
  side_line("ours zip   (the same stages on one thread)", big.ours_zip_1t, mib);
  side_line("script zip (unzip -p > dev; sync dev; md5sum dev)", big.script_zip, mib);
  side_line("bare       (minizip inflate > null; md5sum image)", big.bare, mib);
  side_line("inflate alone, zlib (minizip)", big.zlib_alone, mib);
  side_line("inflate alone, ISA-L (raw member, igzip + CRC)", big.isal_alone, mib);
  side_line("ours tar   (zstd -d | write + read-back proof)", big.ours_tar, mib);
  side_line("ours tar   (the same stages on one thread)", big.ours_tar_1t, mib);
  side_line("script tar (tar -xO | zstd -dc > dev; sync; md5sum)", big.script_tar, mib);
  ratio_line("ours zip / unzip script", big.ours_zip, big.script_zip, 0.70);
  ratio_line("ours zip / bare inflate + md5sum", big.ours_zip, big.bare, 1.15);
  ratio_line("ours tar+zstd / tar|zstd script", big.ours_tar, big.script_tar, 0.60);
  ratio_line("ours zip, one thread / unzip script", big.ours_zip_1t, big.script_zip, 1.00);
  ratio_line("ours tar+zstd, one thread / script", big.ours_tar_1t, big.script_tar, 1.50);

  const long s_zip = small.ours_zip.median().peak_kib;
  const long s_tar = small.ours_tar.median().peak_kib;
  const long b_zip = big.ours_zip.median().peak_kib;
  const long b_tar = big.ours_tar.median().peak_kib;
  std::printf("peak memory (VmHWM) of our paths:\n");
  std::printf("  %6llu MiB image: zip %6.1f MiB, tar+zstd %6.1f MiB\n",
              static_cast<unsigned long long>(opt.small_mib), s_zip / 1024.0, s_tar / 1024.0);
  std::printf("  %6llu MiB image: zip %6.1f MiB, tar+zstd %6.1f MiB\n",
              static_cast<unsigned long long>(opt.size_mib), b_zip / 1024.0, b_tar / 1024.0);
  const long worst = std::max({b_zip, b_tar, s_zip, s_tar});
  // Independent of the image size: the larger image may not cost more than a few MiB.
  const bool flat = std::abs(b_zip - s_zip) < 4096 && std::abs(b_tar - s_tar) < 4096;
  std::printf("%-40s %6.1f MiB  target < 64 MiB and flat: %s\n", "peak memory", worst / 1024.0,
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
