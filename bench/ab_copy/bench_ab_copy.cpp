// The copy of an untouched A/B partition plus the proof of both sides, side by side with
// what a user would script: our overlapped copy (A read from the medium and hashed on one
// thread, B written and read back on the other; then the same stages on one thread)
// against `dd if=A of=B bs=10M conv=fsync && md5sum A B`. Both partitions are loop block
// devices. Every side runs once unmeasured, and each run starts after a sync and a cache
// drop with B discarded. Each side's figure is the median of the runs, with their spread.
//
//   bench_ab_copy [--size-mib N] [--dir DIR] [--reps R]
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "bench_support.h"
#include "partition_md5.h"
#include "slot_copy.h"

namespace {

using ota::bench::Error;
using ota::bench::Result;
using ota::bench::Timing;
using Side = ota::bench::Runs;

constexpr double kTarget = 0.40;

struct Slots {
  std::string a;
  std::string b;
  uint64_t size = 0;
  std::string dir;
};

// Our copy and its proof, as the worker runs them for an untouched partition.
Result<void> copy_and_prove(const Slots& s, bool one_thread) {
  if (one_thread ? setenv("OTA_BURN_THREADS", "1", 1) != 0 : unsetenv("OTA_BURN_THREADS") != 0) {
    return ota::bench::errno_error("OTA_BURN_THREADS");
  }
  ota::CopyProof proof;
  if (copy_part_proven(s.a.c_str(), s.b.c_str(), &proof) != 0) {
    return Error(EIO, "copying " + s.a + " to " + s.b + " failed");
  }
  if (ota_check_copied_partition_md5(s.a.c_str(), s.b.c_str(), proof) != 0) {
    return Error(EIO, "the digests of " + s.a + " and " + s.b + " differ");
  }
  return {};
}

Result<void> prepare(const Slots& s) {
  if (auto r = ota::bench::discard_device(s.b, s.size); !r) {
    return r;
  }
  return ota::bench::drop_caches();
}

Result<Timing> measure_ours(const Slots& s, bool one_thread) {
  if (auto r = prepare(s); !r) {
    return r.error();
  }
  return ota::bench::run_in_child([&] { return copy_and_prove(s, one_thread); });
}

// The user's copy: both digests printed by md5sum must be the same.
Result<Timing> measure_script(const Slots& s) {
  if (auto r = prepare(s); !r) {
    return r.error();
  }
  const std::string sums = s.dir + "/script.md5";
  auto timing = ota::bench::time_shell("dd if=" + s.a + " of=" + s.b +
                                       " bs=10M conv=fsync status=none && md5sum " + s.a + " " +
                                       s.b + " > '" + sums + "'");
  if (!timing) {
    return timing.error();
  }
  auto same = ota::bench::time_shell("test \"$(cut -d' ' -f1 '" + sums + "' | uniq | wc -l)\" = 1");
  if (!same) {
    return Error(EIO, "the script's digests of " + s.a + " and " + s.b + " differ");
  }
  return *timing;
}

struct Figures {
  Side ours;
  Side ours_1t;
  Side script;
};

Result<Figures> measure_all(const Slots& s, int reps) {
  Figures f;
  struct Entry {
    Side* side;
    std::function<Result<Timing>()> run;
    const char* what;
  };
  const Entry entries[] = {
      {&f.ours, [&] { return measure_ours(s, false); }, "our copy"},
      {&f.ours_1t, [&] { return measure_ours(s, true); }, "our copy, one thread"},
      {&f.script, [&] { return measure_script(s); }, "dd + md5sum script"},
  };
  // One unmeasured run per side: the first touch of the backing files and the binaries.
  for (const Entry& e : entries) {
    if (auto r = e.run(); !r) {
      return r.error().context(e.what);
    }
  }
  for (int rep = 0; rep < reps; ++rep) {
    for (const Entry& e : entries) {
      auto r = e.run();
      if (!r) {
        return r.error().context(e.what);
      }
      e.side->add(*r);
    }
  }
  return f;
}

void side_line(const char* what, const Side& side, double mib) {
  const Timing t = side.median();
  std::printf("  %-52s %7.2f s (spread %5.2f s) %7.1f MiB/s  cpu/wall %4.2f\n", what, t.seconds,
              side.spread(), mib / t.seconds, t.cpu_seconds / t.seconds);
}

void ratio_line(const char* what, const Side& ours, const Side& other, const char* target) {
  const Timing a = ours.median();
  const Timing b = other.median();
  std::printf("%-40s %6.3fx (cpu %5.3fx)  %s\n", what, a.seconds / b.seconds,
              a.cpu_seconds / b.cpu_seconds, target);
}

void report(const ota::bench::BenchOptions& opt, const Figures& f) {
  const double mib = static_cast<double>(opt.size_mib);
  std::printf("partition %llu MiB, cold cache per run, one warm-up per side, median of %d\n",
              static_cast<unsigned long long>(opt.size_mib), opt.reps);
  side_line("ours   (read A + md5 | write B + read-back md5)", f.ours, mib);
  side_line("ours   (the same stages on one thread)", f.ours_1t, mib);
  side_line("script (dd bs=10M conv=fsync; md5sum A B)", f.script, mib);
  const double ratio = f.ours.median().seconds / f.script.median().seconds;
  char target[64];
  std::snprintf(target, sizeof(target), "target <= %.2fx: %s", kTarget,
                ota::bench::verdict(ratio <= kTarget));
  ratio_line("ours / dd + md5sum script", f.ours, f.script, target);
  ratio_line("ours, one thread / dd + md5sum script", f.ours_1t, f.script, "(no target)");
}

Result<void> run(const ota::bench::BenchOptions& opt) {
  auto work = ota::bench::WorkDir::create(opt.dir);
  if (!work) {
    return work.error();
  }
  const uint64_t size = opt.size_mib << 20;
  const std::string a_file = work->file("a.img");
  const std::string b_file = work->file("b.img");
  if (auto made =
          ota::bench::run_in_child([&] { return ota::bench::write_image_file(a_file, size, 7); });
      !made) {
    return made.error().context("making partition A");
  }
  if (auto made = ota::bench::make_sparse_file(b_file, size); !made) {
    return made;
  }
  auto a = ota::bench::LoopDevice::attach(a_file);
  auto b = ota::bench::LoopDevice::attach(b_file);
  if (!a || !b) {
    return (!a ? a.error() : b.error()).context("attaching the partitions");
  }
  std::printf("A %s over %s, B %s over %s\n", a->path().c_str(), a_file.c_str(), b->path().c_str(),
              b_file.c_str());
  auto figures = measure_all({a->path(), b->path(), size, work->path()}, opt.reps);
  if (!figures) {
    return figures.error();
  }
  report(opt, *figures);
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  auto opt = ota::bench::parse_bench_options(argc, argv, {.reps = 3});
  if (!opt) {
    std::fprintf(stderr,
                 "bench_ab_copy: %s\nusage: bench_ab_copy [--size-mib N] [--dir DIR] "
                 "[--reps R]\n",
                 opt.error().message().c_str());
    return 2;
  }
  if (auto done = run(*opt); !done) {
    std::fprintf(stderr, "bench_ab_copy: %s\n", done.error().message().c_str());
    return 1;
  }
  return 0;
}
