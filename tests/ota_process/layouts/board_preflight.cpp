// Test helper, run inside a virtual board: takes data.json and gpt.conf out of a package
// and runs the worker's pre-flight checks on them. Exit status: 0 all passed, 2 usage,
// 3 extraction, 4 manifest, 5 image list, 6 partition layout, 7 anti-rollback.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "antirollback.h"
#include "gpt_verify.h"
#include "kx_zip.h"
#include "manifest.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s PACKAGE\n", argv[0]);
    return 2;
  }
  char dir[] = "/tmp/preflight.XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    std::perror("mkdtemp");
    return 3;
  }
  for (const char* member : {"data.json", "gpt.conf"}) {
    if (kx_uncompress_one(argv[1], dir, member) != 0) {
      return 3;
    }
  }
  std::string json = std::string(dir) + "/data.json";
  if (ota_parse_config_file(json.data()) != 0) {
    return 4;
  }
  if (ota_verify_system_image(dir) != 0) {
    return 5;
  }
  if (verify_gpt_config(dir) != 0) {
    return 6;
  }
  return verify_antirollback_version(dir) == 0 ? 0 : 7;
}
