// ota_killpoint: runs a command and stops it at its Nth durable write. See README.md,
// "Kill points".
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "tracer.h"

namespace {

using killpoint::Error;
using killpoint::Result;

// Exit statuses of the tracer itself; otherwise the command's own status is passed on.
constexpr int kStopped = 100;      // every traced process was killed at event N
constexpr int kTraceFailed = 101;  // the tracer could not start or follow the command
constexpr int kUsage = 2;

constexpr const char* kUsageText =
    "usage: ota_killpoint [--record FILE] [--stop-at N] [--watch FILE]... -- CMD [ARG...]\n"
    "Runs CMD and every process it starts under ptrace. A durable write is a write, flush,\n"
    "discard or copy into a block device (or the NOR device /dev/mtd0, or a --watch file).\n"
    "  --record FILE  one line per durable write: index, pid, comm, call, target, offset,\n"
    "                 length (tab-separated, '-' when unknown); 'stopped' ends the line of\n"
    "                 the write the run was stopped at\n"
    "  --stop-at N    kill every traced process with SIGKILL at the entry of write N\n"
    "                 (1-based), before it runs\n"
    "  --watch FILE   also count writes to this regular file (by device and inode)\n"
    "Exit status: CMD's own (128 + signal when a signal ended it); 100 when stopped at N;\n"
    "101 when the tracer failed; 2 for a usage error.\n";

struct Options {
  std::string record;
  uint64_t stop_at = 0;
  std::vector<std::string> watch;
  std::vector<std::string> command;
};

Result<Options> parse(int argc, char** argv) {
  Options o;
  int i = 1;
  for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) {
      return Error(EINVAL, arg + " needs a value");
    }
    const std::string value = argv[++i];
    if (arg == "--record") {
      o.record = value;
    } else if (arg == "--watch") {
      o.watch.push_back(value);
    } else if (arg == "--stop-at") {
      char* end = nullptr;
      o.stop_at = std::strtoull(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || o.stop_at == 0) {
        return Error(EINVAL, "--stop-at takes a number from 1: " + value);
      }
    } else {
      return Error(EINVAL, "unknown option " + arg);
    }
  }
  if (i + 1 >= argc) {
    return Error(EINVAL, "no command after --");
  }
  o.command.assign(argv + i + 1, argv + argc);
  return o;
}

std::string field(const std::optional<uint64_t>& v) { return v ? std::to_string(*v) : "-"; }

std::string line_of(const killpoint::Event& e, bool stopping) {
  return std::to_string(e.index) + "\t" + std::to_string(e.pid) + "\t" + e.comm + "\t" +
         e.write.call + "\t" + e.write.target + "\t" + field(e.write.offset) + "\t" +
         field(e.write.length) + (stopping ? "\tstopped" : "") + "\n";
}

// LeakSanitizer stops the world with ptrace at exit, which fails in a process this
// tracer already holds: a sanitizer build's commands run without the leak check here.
void without_leak_check() {
  const char* old = std::getenv("ASAN_OPTIONS");
  const std::string value =
      (old != nullptr && *old != '\0' ? std::string(old) + ":" : "") + "detect_leaks=0";
  ::setenv("ASAN_OPTIONS", value.c_str(), 1);
}

int run(const Options& o) {
  auto targets = killpoint::Targets::scan(o.watch);
  if (!targets) {
    std::fprintf(stderr, "ota_killpoint: %s\n", targets.error().message().c_str());
    return kTraceFailed;
  }
  std::FILE* record = nullptr;
  if (!o.record.empty() && (record = std::fopen(o.record.c_str(), "we")) == nullptr) {
    std::fprintf(stderr, "ota_killpoint: open %s: %s\n", o.record.c_str(), std::strerror(errno));
    return kTraceFailed;
  }
  without_leak_check();
  killpoint::TraceOptions options{o.command, o.stop_at, [&](const auto& e, bool stopping) {
                                    const std::string line = line_of(e, stopping);
                                    if (record != nullptr) {
                                      std::fputs(line.c_str(), record);
                                      std::fflush(record);
                                    }
                                    if (stopping) {
                                      std::fprintf(stderr, "ota_killpoint: stopped at %s",
                                                   line.c_str());
                                    }
                                  }};
  auto result = killpoint::trace(options, *targets);
  if (record != nullptr && std::fclose(record) != 0) {
    std::fprintf(stderr, "ota_killpoint: write %s: %s\n", o.record.c_str(), std::strerror(errno));
    return kTraceFailed;
  }
  if (!result) {
    std::fprintf(stderr, "ota_killpoint: %s\n", result.error().message().c_str());
    return kTraceFailed;
  }
  return result->stopped ? kStopped : result->status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsageText, stdout);
    return 0;
  }
  auto options = parse(argc, argv);
  if (!options) {
    std::fprintf(stderr, "ota_killpoint: %s\n%s", options.error().message().c_str(), kUsageText);
    return kUsage;
  }
  return run(*options);
}
