// ota_pack [--sign KEY] DESCRIPTION OUTPUT: makes an update package (see README.md,
// "Making a package" and "Signed packages").
#include <cstdio>
#include <cstring>
#include <string>

#include "pack_description.h"
#include "packager.h"

namespace {

constexpr const char* kUsage =
    "usage: %s [--sign KEY.pem] DESCRIPTION OUTPUT.zip|OUTPUT.tar\n"
    "  --sign KEY.pem  sign the package with this Ed25519 private key (PEM); the board\n"
    "                  checks it against the public keys of /etc/mirvo/ota-keys.\n"
    "                  Raw Ed25519 keys, no certificates: --cert is not taken.\n";

}  // namespace

int main(int argc, char** argv) {
  std::string sign_key;
  int first = 1;
  if (argc > 1 && std::strcmp(argv[1], "--sign") == 0) {
    if (argc < 3) {
      std::fprintf(stderr, "ota_pack: --sign needs a key file\n");
      return 2;
    }
    sign_key = argv[2];
    first = 3;
  }
  if (argc > first && std::strcmp(argv[first], "--cert") == 0) {
    std::fprintf(stderr,
                 "ota_pack: --cert: packages are signed with raw Ed25519 keys, "
                 "no certificate is used\n");
    return 2;
  }
  if (argc - first != 2 || std::strcmp(argv[first], "-h") == 0 ||
      std::strcmp(argv[first], "--help") == 0) {
    std::fprintf(stderr, kUsage, argv[0]);
    return argc == 2 ? 0 : 2;
  }
  auto description = ota::pack::load_description(argv[first]);
  if (!description) {
    std::fprintf(stderr, "ota_pack: %s\n", description.error().message().c_str());
    return 1;
  }
  description.value().sign_key = sign_key;
  if (auto r = ota::pack::make_package(description.value(), argv[first + 1]); !r) {
    std::fprintf(stderr, "ota_pack: %s\n", r.error().message().c_str());
    return 1;
  }
  return 0;
}
