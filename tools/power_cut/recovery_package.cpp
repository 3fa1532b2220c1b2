#include "recovery_package.h"

#include <cjson/cJSON.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "archive_writer.h"
#include "kx_zip.h"
#include "recovery_tables.h"

namespace ota_road {

namespace {

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  if (!in) {
    throw std::runtime_error("read " + path);
  }
  return out.str();
}

void write_all(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) || !out.flush()) {
    throw std::runtime_error("write " + path);
  }
}

}  // namespace

void make_recovery_package(const std::string& plain, const std::string& out,
                           const std::string& staging, const std::string& main_table,
                           const std::string& backup_table) {
  if (kx_uncompress(plain.c_str(), staging.c_str()) != 0) {
    throw std::runtime_error("unpack " + plain + " into " + staging);
  }
  write_all(staging + "/gpt.conf", gpt_conf_in_sectors(read_all(staging + "/gpt.conf")));
  std::unique_ptr<cJSON, void (*)(cJSON*)> root(
      cJSON_Parse(read_all(staging + "/data.json").c_str()), cJSON_Delete);
  if (!root) {
    throw std::runtime_error("data.json of " + plain + " is not JSON");
  }
  add_table_member(root.get(), staging, "gpt_main", main_table);
  add_table_member(root.get(), staging, "gpt_backup", backup_table);
  char* text = cJSON_Print(root.get());
  write_all(staging + "/data.json", text);
  cJSON_free(text);
  auto zip = ota::archive::ZipWriter::create(out);
  if (!zip) {
    throw std::runtime_error(zip.error().message());
  }
  for (const auto& e : std::filesystem::directory_iterator(staging)) {
    if (e.is_regular_file()) {
      if (auto r = zip->add_file({.name = e.path().filename().string()}, e.path().string()); !r) {
        throw std::runtime_error(r.error().message());
      }
    }
  }
  if (auto r = zip->finish(); !r) {
    throw std::runtime_error(r.error().message());
  }
}

}  // namespace ota_road
