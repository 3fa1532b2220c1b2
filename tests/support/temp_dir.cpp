#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string_view>

#include "test_support.h"

namespace ota_test {

TempDir::TempDir() {
  char tmpl[] = "/tmp/ota_test.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void write_file(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  if (!out) {
    throw std::runtime_error("cannot write " + path);
  }
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error("cannot read " + path);
  }
  std::ostringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

std::string avb_image(uint64_t index, size_t size) {
  std::string img(size, '\0');
  img.replace(0, 4, "AVB0");
  for (int i = 0; i < 8; ++i) {
    img[112 + i] = static_cast<char>(index >> (8 * (7 - i)));
  }
  return img;
}

std::string make_image_bytes(size_t size, unsigned seed) {
  using namespace std::string_view_literals;
  static constexpr std::string_view words[] = {"usr/lib/"sv,
                                               "libc.so.6"sv,
                                               "\x7f"
                                               "ELF"sv,
                                               "config="sv,
                                               "        "sv,
                                               "#include"sv,
                                               "\0\0\0\0\0\0\0\0"sv,
                                               "return 0;"sv};
  std::mt19937 rng(seed);
  std::string out;
  out.reserve(size);
  while (out.size() < size) {
    if (rng() % 3 == 0) {
      for (int i = 0; i < 24 && out.size() < size; ++i) {
        out.push_back(static_cast<char>(rng() & 0xFF));
      }
    } else {
      const std::string_view word = words[rng() % 8];
      out.append(word.substr(0, size - out.size()));
    }
  }
  return out;
}

std::string md5sum_of(const std::string& path) {
  const std::string cmd = "md5sum '" + path + "'";
  FILE* pipe = popen(cmd.c_str(), "r");
  if (pipe == nullptr) {
    throw std::runtime_error("popen md5sum failed");
  }
  char hex[33] = {};
  const size_t n = std::fread(hex, 1, 32, pipe);
  pclose(pipe);
  if (n != 32) {
    throw std::runtime_error("md5sum gave no digest for " + path);
  }
  return hex;
}

std::string shell_output(const std::string& cmd, int* status) {
  std::string out;
  FILE* pipe = popen(cmd.c_str(), "r");
  char buf[4096];
  for (size_t n = 0; pipe != nullptr && (n = std::fread(buf, 1, sizeof(buf), pipe)) > 0;) {
    out.append(buf, n);
  }
  const int raw = pipe != nullptr ? pclose(pipe) : -1;
  if (status != nullptr) {
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  }
  return out;
}

}  // namespace ota_test
