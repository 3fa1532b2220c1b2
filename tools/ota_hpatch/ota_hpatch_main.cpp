// ota_hpatch OLD DIFF NEW [cache]: applies a patch by hand, exactly as the worker does.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "hpatch.h"
#include "tool_result.h"

namespace {

constexpr size_t kDefaultCache = 8u << 20;

void usage() {
  std::fprintf(stderr,
               "usage: ota_hpatch OLD DIFF NEW [cache]\n"
               "  rebuilds NEW from OLD and the patch DIFF (HDIFF13 or HDIFFSF20).\n"
               "  OLD may be \"\" for a patch made from nothing; NEW may be a block device,\n"
               "  which is written from offset 0 and not truncated.\n"
               "  cache: buffer budget in bytes, suffix k, m or g allowed (default 8m,\n"
               "  at least 64k is used).\n");
}

ota::tool::Result<size_t> parse_size(std::string_view text) {
  if (text.empty()) {
    return ota::tool::Error(EINVAL, "empty cache size");
  }
  std::string digits(text);
  char* end = nullptr;
  errno = 0;
  unsigned long long value = std::strtoull(digits.c_str(), &end, 10);
  if (errno != 0 || end == digits.c_str()) {
    return ota::tool::Error(EINVAL, "cache size \"" + digits + "\" is not a number");
  }
  const std::string_view suffix(end);
  unsigned shift = 0;
  if (suffix == "k" || suffix == "K") {
    shift = 10;
  } else if (suffix == "m" || suffix == "M") {
    shift = 20;
  } else if (suffix == "g" || suffix == "G") {
    shift = 30;
  } else if (!suffix.empty()) {
    return ota::tool::Error(EINVAL, "cache size \"" + digits + "\" has an unknown suffix");
  }
  if (value > (~0ull >> shift)) {
    return ota::tool::Error(ERANGE, "cache size \"" + digits + "\" is too large");
  }
  return static_cast<size_t>(value << shift);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || argc > 5) {
    usage();
    return 2;
  }
  size_t cache = kDefaultCache;
  if (argc == 5) {
    auto parsed = parse_size(argv[4]);
    if (!parsed) {
      std::fprintf(stderr, "ota_hpatch: %s\n", parsed.error().message().c_str());
      usage();
      return 2;
    }
    cache = parsed.value();
  }
  if (hpatchz(argv[1], argv[2], argv[3], cache) != 0) {
    std::fprintf(stderr, "ota_hpatch: patching failed (reason logged above)\n");
    return 1;
  }
  return 0;
}
