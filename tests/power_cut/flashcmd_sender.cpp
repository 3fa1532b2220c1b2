// Sends one data flash command through the engine, as the worker does before a reboot:
// `flashcmd_sender CMD` with 200 bytes of data 0x5A. Exit 0 when the engine reports it sent.
#include <cstdio>
#include <vector>

#include "flash_cmd.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: flashcmd_sender CMD\n");
    return 2;
  }
  std::vector<unsigned char> data(200, 0x5A);
  const int32_t r = ota_write_flashcmd(argv[1], data.data(), 200, 0);
  if (r != 0) {
    std::fprintf(stderr, "ota_write_flashcmd %s: %d\n", argv[1], static_cast<int>(r));
    return 1;
  }
  return 0;
}
