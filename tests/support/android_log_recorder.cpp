// The tests' __android_log_print: keeps every line so that tests can check what reached
// the system log.
#include <cstdarg>
#include <cstdio>

#include "test_support.h"

namespace {
std::mutex g_mutex;
std::vector<ota_test::LogRecord> g_records;
}  // namespace

extern "C" int __android_log_print(int prio, const char* tag, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  char text[4096];
  std::vsnprintf(text, sizeof(text), fmt, args);
  va_end(args);
  std::lock_guard lock(g_mutex);
  g_records.push_back({prio, tag == nullptr, text});
  return 1;
}

namespace ota_test {

std::vector<LogRecord> log_records() {
  std::lock_guard lock(g_mutex);
  return g_records;
}

void clear_log_records() {
  std::lock_guard lock(g_mutex);
  g_records.clear();
}

bool log_contains(const std::string& needle) {
  std::lock_guard lock(g_mutex);
  for (const auto& record : g_records) {
    if (record.text.find(needle) != std::string::npos) {
      return true;
    }
  }
  return false;
}

}  // namespace ota_test
