// ota_pack DESCRIPTION OUTPUT: makes an update package (see README.md, "Making a package").
#include <cstdio>
#include <cstring>

#include "pack_description.h"
#include "packager.h"

int main(int argc, char** argv) {
  if (argc != 3 || std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0) {
    std::fprintf(stderr, "usage: %s DESCRIPTION OUTPUT.zip|OUTPUT.tar\n", argv[0]);
    return argc == 2 ? 0 : 2;
  }
  auto description = ota::pack::load_description(argv[1]);
  if (!description) {
    std::fprintf(stderr, "ota_pack: %s\n", description.error().message().c_str());
    return 1;
  }
  if (auto r = ota::pack::make_package(description.value(), argv[2]); !r) {
    std::fprintf(stderr, "ota_pack: %s\n", r.error().message().c_str());
    return 1;
  }
  return 0;
}
