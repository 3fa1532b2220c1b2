// A program that starts only when the board shows the folder of its library.
#include <cstdio>

extern "C" int vboard_probe_answer();

int main() {
  std::printf("probe %d\n", vboard_probe_answer());
  return 0;
}
