/* Built as C against the installed headers and library: the version the library reports
 * is the one its package description carries, the codes are the header's, and the
 * low-level header's reader works off the board. Prints the library file it runs with. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <mirvo_ota_hl.h>
#include <mirvo_ota_ll.h>

/* The library logs through the program's system log call. */
int __android_log_print(int prio, const char* tag, const char* fmt, ...) {
  (void)prio;
  (void)tag;
  va_list args;
  va_start(args, fmt);
  int n = vfprintf(stderr, fmt, args);
  va_end(args);
  return n;
}

static int fail(const char* what) {
  fprintf(stderr, "consumer (C): %s\n", what);
  return 1;
}

int main(int argc, char** argv) {
  char version[16];
  char system_version[128];
  Dl_info where;
  if (argc != 2) {
    return fail("usage: consumer_c VERSION_FILE");
  }
  if (otaGetLibVersion(version, 5) != -OTAERR_SHORTBUF) {
    return fail("otaGetLibVersion took a 5-byte buffer");
  }
  if (otaGetLibVersion(version, sizeof version) != 0 ||
      strcmp(version, OTA_EXPECTED_VERSION) != 0) {
    return fail("otaGetLibVersion differs from the installed package version");
  }
  if (get_system_version(argv[1], system_version) != 5 || strcmp(system_version, "4.0.1") != 0) {
    return fail("get_system_version did not read 4.0.1");
  }
  if (dladdr((void*)otaGetLibVersion, &where) == 0 || where.dli_fname == NULL) {
    return fail("dladdr found no library for otaGetLibVersion");
  }
  printf("C library %s version %s\n", where.dli_fname, version);
  return 0;
}
