// `vboard power-cut` and `vboard crash-state`: the power cut of a running board, and
// the boards a record says a cut at any other moment would have left.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "board_ops.h"
#include "power_cut.h"

namespace vboard {

namespace {

Result<BoardDir> power_cut_board_dir(const std::string& path) {
  auto root = real_path(path);
  if (!root) {
    return root.error();
  }
  BoardDir dir(*root);
  if (auto layout = load_board(dir); !layout) {
    return layout.error();
  }
  auto layers = load_layers(dir);
  if (!layers) {
    return layers.error();
  }
  if (!layers->power_cut) {
    return Error(EINVAL, "board " + dir.root() + " was not made with --power-cut");
  }
  return dir;
}

}  // namespace

Result<bool> power_cut(const std::string& path) {
  auto dir = power_cut_board_dir(path);
  if (!dir) {
    return dir.error();
  }
  // Only the server of a live run shows the cut file.
  ota::UniqueFd cut = ota::open_fd(dir->cut_file().c_str(), O_WRONLY | O_CLOEXEC);
  if (!cut) {
    return false;
  }
  if (!ota::write_full(cut.get(), "1", 1)) {
    return ota::tool::errno_error("cut the power through " + dir->cut_file());
  }
  // The run ends at once; once its lock is free its devices are gone too.
  auto lock = open_file(dir->run_lock(), O_RDWR | O_CLOEXEC);
  if (!lock) {
    return lock.error();
  }
  if (ota::retry_eintr([&] { return ::flock(lock->get(), LOCK_EX); }) != 0) {
    return ota::tool::errno_error("wait for the run of " + dir->root() + " to end");
  }
  return true;
}

Result<std::string> list_record(const std::string& path) {
  auto dir = power_cut_board_dir(path);
  if (!dir) {
    return dir.error();
  }
  auto events = load_record(dir->record_log());
  if (!events) {
    return events.error();
  }
  const RecordSummary sum = summarize(*events);
  std::ostringstream out;
  out << "events " << sum.events << " writes " << sum.writes << " flushes " << sum.flushes
      << " cuts " << sum.cuts << "\n";
  for (size_t k : sum.boundaries) {
    out << "flush " << k << " " << (*events)[k - 1].file << "\n";
  }
  return out.str();
}

namespace {

// Lays the cut's writes over OUT, a fresh copy of the base.
Result<void> fill_crash_state(const BoardDir& dir, const std::vector<RecordEvent>& events,
                              const std::string& out, const CutPoint& cut) {
  const BoardDir out_dir(out);
  (void)::unlink(out_dir.record_log().c_str());
  (void)::unlink(out_dir.record_data().c_str());
  auto emmc = open_file(out_dir.emmc_image(), O_RDWR | O_CLOEXEC);
  auto nor = open_file(out_dir.nor_image(), O_RDWR | O_CLOEXEC);
  auto data = open_file(dir.record_data(), O_RDONLY | O_CLOEXEC);
  for (auto* fd : {&emmc, &nor, &data}) {
    if (!*fd) {
      return fd->error();
    }
  }
  const std::map<std::string, int> images{{"emmc.img", emmc->get()}, {"nor.img", nor->get()}};
  auto r = apply_crash_state(events, plan_crash_state(events, cut), data->get(), images);
  if (!r) {
    return std::move(r.error().context("build crash state " + out));
  }
  if (::fsync(emmc->get()) != 0 || ::fsync(nor->get()) != 0) {
    return ota::tool::errno_error("sync the images of " + out);
  }
  return {};
}

}  // namespace

Result<void> build_crash_state(const std::string& path, const std::string& base,
                               const std::string& out, const CutPoint& cut) {
  auto dir = power_cut_board_dir(path);
  if (!dir) {
    return dir.error();
  }
  auto events = load_record(dir->record_log());
  if (!events) {
    return events.error();
  }
  if (cut.events > events->size()) {
    return Error(EINVAL, "cut after " + std::to_string(cut.events) + " events, but the record of " +
                             dir->root() + " holds " + std::to_string(events->size()));
  }
  const BoardDir base_dir(base);
  if (auto layout = load_board(base_dir); !layout) {
    return layout.error();
  }
  struct stat st {};
  if (::lstat(out.c_str(), &st) == 0) {
    return Error(EEXIST, "crash state " + out + " exists already");
  }
  // A copy of the whole board as it was before the record (reflinked or sparse where
  // the file system can), without a record of its own.
  // A state half built is no state: OUT goes again when anything fails.
  auto r = run_program({"cp", "-a", "--reflink=auto", "--sparse=always", base, out});
  if (!r) {
    r = std::move(r.error().context("copy " + base + " to " + out));
  } else {
    r = fill_crash_state(*dir, *events, out, cut);
  }
  if (!r) {
    (void)run_program({"rm", "-rf", "--one-file-system", out});
    return r;
  }
  return {};
}

}  // namespace vboard
