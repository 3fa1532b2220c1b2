// Built as C++ against the installed headers and library: the headers declare C
// functions (a missing extern "C" would leave the mangled names unresolved here), and the
// version and codes agree with the package. Prints the library file it runs with.
#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>
#include <string_view>

#include <mirvo_ota_hl.h>
#include <mirvo_ota_ll.h>

// The library logs through the program's system log call.
extern "C" int __android_log_print(int, const char*, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  int n = std::vfprintf(stderr, fmt, args);
  va_end(args);
  return n;
}

namespace {
int fail(const char* what) {
  std::fprintf(stderr, "consumer (C++): %s\n", what);
  return 1;
}
}  // namespace

int main(int argc, char** argv) {
  char version[16] = {};
  char system_version[128] = {};
  if (argc != 2) {
    return fail("usage: consumer_cpp VERSION_FILE");
  }
  if (otaGetLibVersion(version, 5) != -OTAERR_SHORTBUF) {
    return fail("otaGetLibVersion took a 5-byte buffer");
  }
  if (otaGetLibVersion(version, sizeof version) != 0 ||
      std::string_view(version) != OTA_EXPECTED_VERSION) {
    return fail("otaGetLibVersion differs from the installed package version");
  }
  if (get_system_version(argv[1], system_version) != 5 ||
      std::string_view(system_version) != "4.0.1") {
    return fail("get_system_version did not read 4.0.1");
  }
  Dl_info where{};
  if (dladdr(reinterpret_cast<void*>(&otaGetLibVersion), &where) == 0 ||
      where.dli_fname == nullptr) {
    return fail("dladdr found no library for otaGetLibVersion");
  }
  std::printf("C++ library %s version %s\n", where.dli_fname, version);
  return 0;
}
