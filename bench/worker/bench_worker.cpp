// The whole worker on the virtual board: ota_process updating slot b from a zip package
// with one large system image (inflate, write, flush, MD5 proof read back from the
// medium), side by side with what a user would script for the same work (`unzip -p`
// into the partition, sync, `md5sum` of it), and with a bare inflate of the member plus
// `md5sum` of the image. Every side starts from a discarded partition and a cold page
// cache, and writes through a board whose eMMC does direct I/O to its image file, as
// bench_streaming's device does. Also the worker's peak memory for a smaller image, and
// the cost of the signature check: the package is signed, and the worker runs on it once
// without a keyring on the board (no check) and once with one (every member hashed first).
//
//   bench_worker [--size-mib N] [--small-mib M] [--dir DIR] [--reps R]
#include <minizip/unzip.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.h"
#include "board_layout.h"
#include "boot_control.h"

namespace {

using ota::bench::Error;
using ota::bench::Result;
using ota::bench::Timing;

constexpr const char* kMember = "system.img";
constexpr const char* kTarget = "/dev/block/platform/by-name/system_b";

using Options = ota::bench::BenchOptions;

Result<Options> parse_args(int argc, char** argv) {
  auto opt = ota::bench::parse_bench_options(
      argc, argv, {.size_mib = 1024, .small_mib = 256, .dir = "/var/tmp", .reps = 3});
  if (opt && opt->small_mib == 0) {
    return Error(EINVAL, "--small-mib must be positive");
  }
  return opt;
}

std::string quoted(const std::string& s) { return "'" + s + "'"; }

// One board whose system partitions hold exactly the large image.
struct Bench {
  Options opt;
  std::string dir;
  std::string board;
  std::string layout;
  std::string key;      // the owner's private key the packages are signed with
  std::string keyring;  // a folder holding its public key
};

Result<Timing> on_board(const Bench& b, const std::string& cmd) {
  return ota::bench::time_shell(std::string(VBOARD_EXE) + " run " + quoted(b.board) + " -- sh -c " +
                                quoted(cmd));
}

// The board attaches its eMMC image through a buffered loop device: every block written
// is copied into the image file's page cache by the kernel's loop workers, whose time
// no side is charged with, and written back whenever the kernel chooses. A real eMMC
// has no second cache; with direct I/O the partition behaves like bench_streaming's
// device, and the sides' CPU time covers the copies they cause.
std::string on_direct_io_emmc(const std::string& cmd) {
  return std::string("disk=$(readlink -f ") + kTarget +
         ") && losetup --direct-io=on ${disk%p*} && " + cmd;
}

Result<void> make_board(Bench& b) {
  std::string text(ota::board::default_layout_text());
  const std::string from = "emmc system    48M  ab";
  const size_t at = text.find(from);
  if (at == std::string::npos) {
    return Error(EINVAL, "the default layout has no line '" + from + "'");
  }
  text.replace(at, from.size(), "emmc system " + std::to_string(b.opt.size_mib) + "M ab");
  b.layout = b.dir + "/board.layout";
  b.board = b.dir + "/board";
  std::FILE* f = std::fopen(b.layout.c_str(), "we");
  const bool written = f != nullptr && std::fputs(text.c_str(), f) >= 0;
  if (f == nullptr || std::fclose(f) != 0 || !written) {
    return ota::bench::errno_error("writing " + b.layout);
  }
  const std::string create = std::string(VBOARD_EXE) + " create " + quoted(b.board) + " --layout " +
                             quoted(b.layout) + " > /dev/null";
  if (auto r = ota::bench::time_shell(create); !r) {
    return r.error().context("creating the board");
  }
  return {};
}

// The package: one system image, built for the board; no A/B copies after it.
Result<std::string> make_package(const Bench& b, uint64_t mib, unsigned seed, std::string* md5) {
  const std::string sub = b.dir + "/img" + std::to_string(mib);
  if (::mkdir(sub.c_str(), 0755) != 0) {
    return ota::bench::errno_error("mkdir " + sub);
  }
  const std::string image = sub + "/" + kMember;
  if (auto made = ota::bench::run_in_child(
          [&] { return ota::bench::write_image_file(image, mib << 20, seed); });
      !made) {
    return made.error().context("making the image");
  }
  const std::string desc = sub + "/package.desc";
  std::FILE* f = std::fopen(desc.c_str(), "we");
  const std::string text = "format zip\nlayout " + b.layout +
                           "\nkey non_pcv 1\nkey sys_version 1.0.0\npart system " + kMember + "\n";
  const bool written = f != nullptr && std::fputs(text.c_str(), f) >= 0;
  if (f == nullptr || std::fclose(f) != 0 || !written) {
    return ota::bench::errno_error("writing " + desc);
  }
  const std::string pkg = sub + "/all_in_one_bench.zip";
  if (auto r = ota::bench::time_shell(std::string(OTA_PACK_EXE) + " --sign " + quoted(b.key) +
                                      " " + quoted(desc) + " " + quoted(pkg));
      !r) {
    return r.error().context("packing");
  }
  auto sum = ota::bench::md5sum_hex(image);
  if (!sum) {
    return sum.error();
  }
  *md5 = *sum;
  return pkg;
}

// Each side starts from a discarded target and a cold cache.
Result<void> prepare(const Bench& b) {
  if (auto r = on_board(b, std::string("blkdiscard -f ") + kTarget); !r) {
    return r.error().context("discarding " + std::string(kTarget));
  }
  return ota::bench::drop_caches();
}

// The owner's key pair: the private key signs the packages, the public one is the
// keyring laid on the board for the signature-checked side only.
Result<void> make_keys(Bench& b) {
  b.key = b.dir + "/owner.pem";
  b.keyring = b.dir + "/keyring";
  const std::string cmd = "mkdir " + quoted(b.keyring) +
                          " && openssl genpkey -algorithm ed25519 -out " + quoted(b.key) +
                          " && openssl pkey -in " + quoted(b.key) + " -pubout -out " +
                          quoted(b.keyring + "/owner.pub.pem");
  if (auto r = ota::bench::time_shell(cmd); !r) {
    return r.error().context("making the signing keys");
  }
  return {};
}

enum class Mode { two_threads, one_thread, signature_checked };

// The worker as the client starts it, with a reader on its FIFO; its peak from time(1).
// Only the signature-checked side finds a keyring on the board.
Result<Timing> measure_worker(const Bench& b, const std::string& pkg,
                              Mode mode = Mode::two_threads) {
  if (auto r = prepare(b); !r) {
    return r.error();
  }
  const std::string peak = b.dir + "/worker.peak";
  // The environment variable reaches the worker through time(1).
  const std::string env = mode == Mode::one_thread ? "OTA_BURN_THREADS=1 " : "";
  const std::string keys = mode == Mode::signature_checked
                               ? "mkdir -p /etc/mirvo/ota-keys && cp " +
                                     quoted(b.keyring + "/owner.pub.pem") + " /etc/mirvo/ota-keys && "
                               : "rm -rf /etc/mirvo/ota-keys && ";
  const std::string cmd = keys +
                          "mkfifo -m 600 /tmp/ota_pipe && (cat /tmp/ota_pipe > /dev/null &) && " +
                          env + "/usr/bin/time -f %M -o " + quoted(peak) + " " + OTA_PROCESS_EXE +
                          " -p /tmp/ota_pipe -z " + quoted(pkg) + " > " +
                          quoted(b.dir + "/worker.log") + " 2>&1";
  auto t = on_board(b, on_direct_io_emmc(cmd));
  if (!t) {
    return t.error().context("the worker (log in " + b.dir + "/worker.log)");
  }
  std::FILE* f = std::fopen(peak.c_str(), "re");
  long kib = -1;
  if (f == nullptr || std::fscanf(f, "%ld", &kib) != 1) {
    kib = -1;
  }
  if (f != nullptr) {
    std::fclose(f);
  }
  t->peak_kib = kib;
  return t;
}

Result<Timing> measure_script(const Bench& b, const std::string& pkg, const std::string& md5) {
  if (auto r = prepare(b); !r) {
    return r.error();
  }
  const std::string sum = b.dir + "/script.md5";
  const std::string cmd = "unzip -p " + quoted(pkg) + " " + kMember + " > " + kTarget +
                          " && sync " + kTarget + " && md5sum " + kTarget + " > " + quoted(sum);
  auto t = on_board(b, on_direct_io_emmc(cmd));
  if (!t) {
    return t.error().context("unzip script");
  }
  std::FILE* f = std::fopen(sum.c_str(), "re");
  char got[33] = {};
  const bool ok = f != nullptr && std::fread(got, 1, 32, f) == 32;
  if (f != nullptr) {
    std::fclose(f);
  }
  if (!ok || md5 != got) {
    return Error(EIO, "the script's partition digest differs from the image's");
  }
  return t;
}

// Inflates the member into a buffer and drops it: the floor of any zip burn.
Result<void> bare_inflate(const std::string& pkg, uint64_t size) {
  unzFile archive = unzOpen64(pkg.c_str());
  if (archive == nullptr) {
    return Error(EIO, "cannot open " + pkg);
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
  if (rc != 0 || total != size) {
    return Error(EIO, "inflating " + pkg + " failed");
  }
  return {};
}

Result<Timing> measure_bare(const std::string& pkg, const std::string& image, uint64_t size) {
  if (auto r = ota::bench::drop_caches(); !r) {
    return r.error();
  }
  auto inflate = ota::bench::run_in_child([&] { return bare_inflate(pkg, size); });
  if (!inflate) {
    return inflate.error();
  }
  auto sum = ota::bench::time_shell("md5sum " + quoted(image) + " > /dev/null");
  if (!sum) {
    return sum.error();
  }
  return Timing{inflate->seconds + sum->seconds, inflate->cpu_seconds + sum->cpu_seconds, 0};
}

void side_line(const char* what, const ota::bench::Runs& side, double mib) {
  const Timing t = side.median();
  std::printf("  %-52s %7.2f s (spread %5.2f s) %7.1f MiB/s  cpu/wall %4.2f\n", what, t.seconds,
              side.spread(), mib / t.seconds, t.cpu_seconds / t.seconds);
}

void ratio_line(const char* what, const ota::bench::Runs& ours, const ota::bench::Runs& other,
                double target) {
  const Timing a = ours.median();
  const Timing b = other.median();
  const double ratio = a.seconds / b.seconds;
  std::printf("%-40s %6.3fx (cpu %5.3fx)  target <= %.2fx: %s\n", what, ratio,
              a.cpu_seconds / b.cpu_seconds, target, ota::bench::verdict(ratio <= target));
}

// This program's own path, for running it on the board.
std::string self_exe() {
  char path[4096] = {};
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
  return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

Result<void> run(const Options& opt) {
  auto work = ota::bench::WorkDir::create(opt.dir);
  if (!work) {
    return work.error();
  }
  Bench b{opt, work->path(), {}, {}, {}, {}};
  if (auto r = make_keys(b); !r) {
    return r;
  }
  if (auto r = make_board(b); !r) {
    return r;
  }
  // A board in service: slot a confirmed, so the worker accepts to update slot b.
  if (auto r = ota::bench::time_shell(std::string(VBOARD_EXE) + " run " + quoted(b.board) + " -- " +
                                      quoted(self_exe()) + " --confirm-slot-a");
      !r) {
    return r.error().context("confirming slot a");
  }
  if (auto r = ota::bench::time_shell(std::string(VBOARD_EXE) + " reboot " + quoted(b.board) +
                                      " > /dev/null");
      !r) {
    return r.error().context("rebooting the board");
  }
  std::string small_md5;
  std::string big_md5;
  auto small_pkg = make_package(b, opt.small_mib, 2, &small_md5);
  auto big_pkg = small_pkg ? make_package(b, opt.size_mib, 1, &big_md5) : small_pkg;
  if (!big_pkg) {
    return big_pkg.error();
  }
  auto small = measure_worker(b, *small_pkg);
  if (!small) {
    return small.error().context(std::to_string(opt.small_mib) + " MiB image");
  }
  const std::string big_image = b.dir + "/img" + std::to_string(opt.size_mib) + "/" + kMember;
  ota::bench::Runs ours;
  ota::bench::Runs ours_1t;
  ota::bench::Runs script;
  ota::bench::Runs bare;
  ota::bench::Runs signed_;
  for (int rep = 0; rep < opt.reps; ++rep) {
    auto o = measure_worker(b, *big_pkg);
    auto o1 = o ? measure_worker(b, *big_pkg, Mode::one_thread) : o;
    auto os = o1 ? measure_worker(b, *big_pkg, Mode::signature_checked) : o1;
    auto s = os ? measure_script(b, *big_pkg, big_md5) : Result<Timing>(os.error());
    auto n = s ? measure_bare(*big_pkg, big_image, opt.size_mib << 20) : s;
    if (!n) {
      return n.error().context(std::to_string(opt.size_mib) + " MiB image");
    }
    ours.add(*o);
    ours_1t.add(*o1);
    signed_.add(*os);
    script.add(*s);
    bare.add(*n);
  }
  const double mib = static_cast<double>(opt.size_mib);
  std::printf("image %llu MiB on the virtual board, cold cache per side, median wall time of %d\n",
              static_cast<unsigned long long>(opt.size_mib), opt.reps);
  side_line("worker (ota_process -p fifo -z package)", ours, mib);
  side_line("worker, OTA_BURN_THREADS=1", ours_1t, mib);
  side_line("worker, signature checked (board keyring)", signed_, mib);
  side_line("script (unzip -p > part; sync part; md5sum part)", script, mib);
  side_line("bare   (minizip inflate > null; md5sum image)", bare, mib);
  ratio_line("worker / unzip script", ours, script, 0.25);
  ratio_line("worker / bare inflate + md5sum", ours, bare, 0.40);
  ratio_line("worker, one thread / unzip script", ours_1t, script, 0.75);
  const double check = signed_.median().seconds / ours.median().seconds;
  std::printf("%-40s %6.3fx (the signature check's cost)\n", "signature checked / not checked",
              check);
  const long big_peak = ours.median().peak_kib;
  const bool flat =
      big_peak > 0 && small->peak_kib > 0 && std::abs(big_peak - small->peak_kib) < 4096;
  std::printf(
      "peak memory (maxrss) of the worker: %llu MiB image %.1f MiB, %llu MiB image %.1f "
      "MiB; independent of the size: %s\n",
      static_cast<unsigned long long>(opt.small_mib), small->peak_kib / 1024.0,
      static_cast<unsigned long long>(opt.size_mib), big_peak / 1024.0, ota::bench::verdict(flat));
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  // On the board: confirm slot a, as a board in service has it.
  if (argc == 2 && std::strcmp(argv[1], "--confirm-slot-a") == 0) {
    return ota_mark_slot_boot_successful(0) == 0 ? 0 : 1;
  }
  auto opt = parse_args(argc, argv);
  if (!opt) {
    std::fprintf(stderr,
                 "bench_worker: %s\nusage: bench_worker [--size-mib N] [--small-mib M] "
                 "[--dir DIR] [--reps R]\n",
                 opt.error().message().c_str());
    return 2;
  }
  if (auto done = run(*opt); !done) {
    std::fprintf(stderr, "bench_worker: %s\n", done.error().message().c_str());
    return 1;
  }
  return 0;
}
