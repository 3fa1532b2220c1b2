// ota_hdiff OLD NEW DIFF [-c zlib|zstd]: makes the patch that turns OLD into NEW.
#include <cstdio>
#include <string>
#include <string_view>

#include "hdiff.h"

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: ota_hdiff OLD NEW DIFF [-c zlib|zstd]\n"
               "  writes DIFF, an HDIFF13 patch that rebuilds NEW from OLD (OLD may be \"\"\n"
               "  for a patch that carries all of NEW). -c compresses the patch streams.\n");
}

}  // namespace

int main(int argc, char** argv) {
  ota::hdiff::DiffOptions options;
  if (argc == 6 && std::string_view(argv[4]) == "-c") {
    const std::string_view name = argv[5];
    if (name == "zlib") {
      options.compression = ota::hdiff::Compression::kZlib;
    } else if (name == "zstd") {
      options.compression = ota::hdiff::Compression::kZstd;
    } else {
      std::fprintf(stderr, "ota_hdiff: unknown compressor \"%s\" (zlib or zstd)\n", argv[5]);
      usage();
      return 2;
    }
  } else if (argc != 4) {
    usage();
    return 2;
  }
  const auto result = ota::hdiff::diff_files(argv[1], argv[2], argv[3], options);
  if (!result) {
    std::fprintf(stderr, "ota_hdiff: %s\n", result.error().message().c_str());
    return 1;
  }
  return 0;
}
