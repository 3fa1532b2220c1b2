// The end of a launch as the client library reports it, for the board suites that link it.
#pragma once

#include <chrono>
#include <thread>

#include "mirvo_ota_hl.h"

namespace ota_test {

// Polls otaGetResult until it is final (or -1 after timeout_s); returns it.
inline int wait_final(int timeout_s = 120) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  while (std::chrono::steady_clock::now() < end) {
    const int r = otaGetResult();
    if (r == UPGRADE_SUCCESS || r == UPGRADE_FAILED || r < 0) {
      return r;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

}  // namespace ota_test
