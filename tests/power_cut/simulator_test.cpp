// The power-cut simulator on the host, without a board: the volatile cache against a
// model of what the medium shows and holds, and crash states rebuilt from a record
// against a re-run of the same writes cut at the same point.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <random>
#include <string>

#include "power_cut.h"
#include "test_support.h"
#include "unique_fd.h"

namespace {

using vboard::CutPoint;
using vboard::Keep;
using vboard::kSectorSize;
using vboard::RecordEvent;
using vboard::SectorCache;

constexpr size_t kImageSize = 64 * 1024;

ota::UniqueFd open_image(const std::string& path, const std::string& bytes) {
  ota_test::write_file(path, bytes);
  ota::UniqueFd fd = ota::open_fd(path.c_str(), O_RDWR);
  EXPECT_TRUE(fd) << path;
  return fd;
}

std::string read_all(int fd, size_t size) {
  std::string out(size, '\0');
  EXPECT_EQ(ota::pread_full(fd, out.data(), size, 0), static_cast<ssize_t>(size));
  return out;
}

std::string view(const SectorCache& cache, size_t off, size_t len) {
  std::string out(len, '\0');
  EXPECT_TRUE(cache.read(out.data(), len, off));
  return out;
}

// One step of a scenario: a write of `len` bytes at `off` of `file` (filled from
// `fill`), or a flush of `file` (len 0).
struct Op {
  std::string file;
  size_t off = 0;
  size_t len = 0;
  char fill = 0;
};

std::vector<Op> random_ops(unsigned seed, size_t count) {
  std::mt19937 rng(seed);
  std::vector<Op> ops;
  for (size_t i = 0; i < count; ++i) {
    Op op;
    op.file = rng() % 3 == 0 ? "nor.img" : "emmc.img";
    if (rng() % 5 != 0) {
      // Unaligned starts and lengths, from one byte to several sectors.
      op.off = rng() % (kImageSize - 4096);
      op.len = 1 + rng() % 3000;
      op.fill = static_cast<char>('a' + rng() % 26);
    }
    ops.push_back(op);
  }
  return ops;
}

// A board of two images with caches and a record, driven by ops.
struct Rig {
  ota_test::TempDir tmp;
  std::map<std::string, ota::UniqueFd> fds;
  std::map<std::string, std::unique_ptr<SectorCache>> caches;
  vboard::RecordWriter record;

  explicit Rig(const std::map<std::string, std::string>& base)
      : record(vboard::RecordWriter::open(tmp.file("rec.log"), tmp.file("rec.dat")).value()) {
    for (const auto& [name, bytes] : base) {
      fds[name] = open_image(tmp.file(name), bytes);
      caches[name] = std::make_unique<SectorCache>(fds[name].get());
    }
  }

  void apply(const Op& op) {
    SectorCache& cache = *caches.at(op.file);
    if (op.len == 0) {
      ASSERT_TRUE(cache.flush());
      ASSERT_TRUE(record.flush(op.file));
      return;
    }
    const std::string bytes(op.len, op.fill);
    ASSERT_TRUE(cache.write(bytes.data(), bytes.size(), op.off));
    ASSERT_TRUE(record.write(op.file, bytes.data(), bytes.size(), op.off));
  }
};

std::map<std::string, std::string> base_images() {
  return {{"emmc.img", ota_test::make_image_bytes(kImageSize, 1)},
          {"nor.img", std::string(kImageSize, '\xff')}};
}

// The images the record rebuilds for cut, on copies of base.
std::map<std::string, std::string> rebuild(const Rig& rig,
                                           const std::map<std::string, std::string>& base,
                                           const CutPoint& cut) {
  ota_test::TempDir out;
  auto events = vboard::load_record(rig.tmp.file("rec.log"));
  EXPECT_TRUE(events) << events.error().message();
  std::map<std::string, ota::UniqueFd> fds;
  std::map<std::string, int> images;
  for (const auto& [name, bytes] : base) {
    fds[name] = open_image(out.file(name), bytes);
    images[name] = fds[name].get();
  }
  const ota::UniqueFd data = ota::open_fd(rig.tmp.file("rec.dat").c_str(), O_RDONLY);
  auto r = vboard::apply_crash_state(*events, vboard::plan_crash_state(*events, cut), data.get(),
                                     images);
  EXPECT_TRUE(r) << r.error().message();
  std::map<std::string, std::string> result;
  for (const auto& [name, fd] : fds) {
    result[name] = read_all(fd.get(), kImageSize);
  }
  return result;
}

TEST(SectorCache, WritesWaitForTheFlushAndReadsSeeThem) {
  ota_test::TempDir tmp;
  const std::string base = ota_test::make_image_bytes(kImageSize, 7);
  ota::UniqueFd fd = open_image(tmp.file("img"), base);
  SectorCache cache(fd.get());
  std::string model = base;  // what the medium shows
  std::mt19937 rng(11);
  for (int round = 0; round < 200; ++round) {
    const size_t off = rng() % (kImageSize - 2000);
    const std::string bytes(1 + rng() % 1999, static_cast<char>(rng()));
    ASSERT_TRUE(cache.write(bytes.data(), bytes.size(), off));
    model.replace(off, bytes.size(), bytes);
    const size_t at = rng() % (kImageSize - 3000);
    ASSERT_EQ(view(cache, at, 3000), model.substr(at, 3000)) << "round " << round;
    if (round == 99) {
      ASSERT_EQ(read_all(fd.get(), kImageSize), base) << "a write reached the image unflushed";
      ASSERT_TRUE(cache.flush());
      ASSERT_EQ(cache.pending_sectors(), 0U);
      ASSERT_EQ(read_all(fd.get(), kImageSize), model);
    }
  }
  const std::string flushed = read_all(fd.get(), kImageSize);
  cache.drop();
  EXPECT_EQ(view(cache, 0, kImageSize), flushed) << "the cut kept cached writes";
  EXPECT_NE(flushed, model);
}

TEST(CrashState, RebuiltStatesEqualARerunCutAtTheSamePoint) {
  const auto base = base_images();
  const std::vector<Op> ops = random_ops(5, 300);
  Rig recorded(base);
  for (const Op& op : ops) {
    recorded.apply(op);
  }
  for (size_t k : {size_t{0}, size_t{1}, size_t{37}, size_t{150}, size_t{299}, size_t{300}}) {
    Rig rerun(base);
    for (size_t i = 0; i < k; ++i) {
      rerun.apply(ops[i]);
    }
    std::map<std::string, std::string> cut;   // the re-run with its caches lost
    std::map<std::string, std::string> kept;  // the re-run as its medium showed it
    for (auto& [name, cache] : rerun.caches) {
      kept[name] = view(*cache, 0, kImageSize);
      cache->drop();
      cut[name] = read_all(rerun.fds[name].get(), kImageSize);
    }
    EXPECT_EQ(rebuild(recorded, base, {k, Keep::none, 0}), cut) << "cut after " << k;
    EXPECT_EQ(rebuild(recorded, base, {k, Keep::all, 0}), kept) << "cut after " << k;
  }
}

TEST(CrashState, AFlushMakesOnlyItsOwnImageDurable) {
  const auto base = base_images();
  Rig rig(base);
  rig.apply({"emmc.img", 0, 600, 'e'});
  rig.apply({"nor.img", 4096, 100, 'n'});
  rig.apply({"emmc.img"});  // flush of emmc only
  rig.apply({"emmc.img", 8192, 10, 'x'});
  const auto state = rebuild(rig, base, {4, Keep::none, 0});
  EXPECT_EQ(state.at("emmc.img").substr(0, 600), std::string(600, 'e'));
  EXPECT_EQ(state.at("emmc.img").substr(8192, 10), base.at("emmc.img").substr(8192, 10));
  EXPECT_EQ(state.at("nor.img"), base.at("nor.img")) << "a flush of emmc.img made nor.img durable";
}

// A torn write keeps whole sectors only: each of its sectors holds wholly the old or
// wholly the new bytes; one of several sectors has some of each.
TEST(CrashState, ATornWriteKeepsWholeSectorsOnly) {
  struct Shape {
    const char* name;
    size_t off;
    size_t len;
  };
  const Shape shapes[] = {{"aligned, 8 sectors", 4096, 4096},
                          {"unaligned ends, 5 sectors", 1000, 2000},
                          {"within one sector", 520, 100}};
  const auto base = base_images();
  for (const Shape& s : shapes) {
    for (uint64_t seed = 0; seed < 8; ++seed) {
      Rig rig(base);
      rig.apply({"emmc.img", 20000, 700, 'p'});  // pending before it, kept whole
      rig.apply({"emmc.img", s.off, s.len, 'T'});
      const std::string img = rebuild(rig, base, {2, Keep::torn, seed}).at("emmc.img");
      EXPECT_EQ(img.substr(20000, 700), std::string(700, 'p')) << s.name;
      size_t kept = 0;
      size_t lost = 0;
      for (size_t sec = s.off / kSectorSize; sec <= (s.off + s.len - 1) / kSectorSize; ++sec) {
        const size_t from = std::max(s.off, sec * kSectorSize);
        const size_t to = std::min(s.off + s.len, (sec + 1) * kSectorSize);
        const std::string got = img.substr(from, to - from);
        const bool is_new = got == std::string(to - from, 'T');
        EXPECT_TRUE(is_new || got == base.at("emmc.img").substr(from, to - from))
            << s.name << ", seed " << seed << ": sector " << sec << " mixes old and new";
        (is_new ? kept : lost) += 1;
      }
      EXPECT_EQ(img.substr(0, s.off), base.at("emmc.img").substr(0, s.off)) << s.name;
      // A single sector is atomic: kept or lost. More are torn: some of each.
      if (kept + lost > 1) {
        EXPECT_GT(kept, 0U) << s.name << ", seed " << seed << ": the torn write was lost whole";
        EXPECT_GT(lost, 0U) << s.name << ", seed " << seed << ": the torn write landed whole";
      }
    }
  }
}

// A NOR write cut in flight tears at erase-block granularity: the block it rewrites is
// erased, then programmed from its start with its old bytes and the write laid over
// them, and the programming stopped before the end, often before it began.
TEST(CrashState, ATornNorWriteLeavesItsBlockErasedOrPartlyProgrammed) {
  auto base = base_images();
  base["nor.img"] = ota_test::make_image_bytes(kImageSize, 3);  // one erase block
  std::string merged = base.at("nor.img");
  merged.replace(4096, 100, std::string(100, 'T'));
  size_t all_erased = 0;
  size_t partly = 0;
  for (uint64_t seed = 0; seed < 16; ++seed) {
    Rig rig(base);
    rig.apply({"nor.img", 4096, 100, 'T'});
    const std::string img = rebuild(rig, base, {1, Keep::torn, seed}).at("nor.img");
    size_t programmed = 0;
    while (programmed < kImageSize / kSectorSize &&
           img.compare(programmed * kSectorSize, kSectorSize, merged, programmed * kSectorSize,
                       kSectorSize) == 0) {
      ++programmed;
    }
    ASSERT_LT(programmed, kImageSize / kSectorSize) << "seed " << seed << ": programmed whole";
    EXPECT_EQ(img.substr(programmed * kSectorSize),
              std::string(kImageSize - programmed * kSectorSize, '\xff'))
        << "seed " << seed << ": after " << programmed << " programmed sectors";
    (programmed == 0 ? all_erased : partly) += 1;
  }
  EXPECT_GT(all_erased, 0U);
  EXPECT_GT(partly, 0U);
}

TEST(CrashState, RandomSubsetsDependOnTheSeedOnly) {
  const auto base = base_images();
  Rig rig(base);
  for (int i = 0; i < 40; ++i) {
    rig.apply({"emmc.img", static_cast<size_t>(i) * 1024, 1024, static_cast<char>('A' + i % 26)});
  }
  auto events = vboard::load_record(rig.tmp.file("rec.log"));
  ASSERT_TRUE(events);
  const auto plan = vboard::plan_crash_state(*events, {40, Keep::random, 3});
  EXPECT_GT(plan.size(), 0U);
  EXPECT_LT(plan.size(), 40U);
  EXPECT_EQ(plan.size(), vboard::plan_crash_state(*events, {40, Keep::random, 3}).size());
  EXPECT_EQ(rebuild(rig, base, {40, Keep::random, 3}), rebuild(rig, base, {40, Keep::random, 3}));
  EXPECT_NE(rebuild(rig, base, {40, Keep::random, 3}), rebuild(rig, base, {40, Keep::random, 4}));
}

TEST(Record, DamageIsRefusedNotReplayed) {
  const auto base = base_images();
  Rig rig(base);
  rig.apply({"emmc.img", 0, 512, 'q'});
  rig.apply({"emmc.img"});
  auto events = vboard::load_record(rig.tmp.file("rec.log"));
  ASSERT_TRUE(events);
  ASSERT_EQ(events->size(), 2U);
  EXPECT_EQ((*events)[0].kind, 'W');
  EXPECT_EQ((*events)[1].kind, 'F');
  const auto sum = vboard::summarize(*events);
  EXPECT_EQ(sum.boundaries, std::vector<size_t>{2});

  // Bytes of the side file changed: the MD5 of the write no longer matches.
  {
    ota::UniqueFd dat = ota::open_fd(rig.tmp.file("rec.dat").c_str(), O_WRONLY);
    ASSERT_TRUE(ota::pwrite_full(dat.get(), "Z", 1, 100));
  }
  ota_test::TempDir out;
  ota::UniqueFd img = open_image(out.file("emmc.img"), base.at("emmc.img"));
  const ota::UniqueFd data = ota::open_fd(rig.tmp.file("rec.dat").c_str(), O_RDONLY);
  auto applied = vboard::apply_crash_state(*events, vboard::plan_crash_state(*events, {2}),
                                           data.get(), {{"emmc.img", img.get()}});
  ASSERT_FALSE(applied);
  EXPECT_NE(applied.error().message().find("MD5"), std::string::npos) << applied.error().message();

  const char* const damaged[] = {"W emmc.img 0 512\n", "F\n", "X emmc.img\n", "C extra\n",
                                 "W emmc.img 0 512 abc 0\n"};
  for (const char* line : damaged) {
    ota_test::write_file(out.file("bad.log"), line);
    EXPECT_FALSE(vboard::load_record(out.file("bad.log"))) << line;
  }
}

}  // namespace
