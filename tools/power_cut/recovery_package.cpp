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

std::string md5_of(const std::string& path) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(("md5sum '" + path + "'").c_str(), "r"),
                                             ::pclose);
  char hex[33] = {};
  if (pipe == nullptr || std::fread(hex, 1, 32, pipe.get()) != 32) {
    throw std::runtime_error("md5sum of " + path + " failed");
  }
  return hex;
}

// The table as a PERMANENT eMMC member the rewrite writes and proves.
void add_table(cJSON* root, const std::string& dir, const std::string& name,
               const std::string& bytes) {
  const std::string file = dir + "/" + name + ".img";
  write_all(file, bytes);
  cJSON_AddItemToArray(cJSON_GetObjectItem(root, "update_partition"),
                       cJSON_CreateString(name.c_str()));
  cJSON* part = cJSON_CreateObject();
  cJSON_AddStringToObject(part, "medium", "emmc");
  cJSON_AddStringToObject(part, "part_type", "PERMANENT");
  cJSON_AddStringToObject(part, "upgrade_method", "image");
  cJSON_AddStringToObject(part, "imgname", (name + ".img").c_str());
  cJSON* sums = cJSON_CreateArray();
  cJSON_AddItemToArray(sums, cJSON_CreateString(md5_of(file).c_str()));
  cJSON_AddItemToObject(part, "md5sum", sums);
  cJSON* scope = cJSON_CreateArray();
  cJSON_AddItemToArray(scope, cJSON_CreateNumber(static_cast<double>(bytes.size())));
  cJSON_AddItemToObject(part, "md5_scope", scope);
  cJSON_AddItemToObject(cJSON_GetObjectItem(root, "partition_info"), name.c_str(), part);
}

}  // namespace

std::string gpt_conf_in_sectors(const std::string& conf) {
  std::istringstream in(conf);
  std::string out;
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string x; std::getline(fields, x, ':');) {
      f.push_back(x);
    }
    if (f.size() < 4) {
      throw std::runtime_error("gpt.conf line \"" + line + "\" is not NAME:FIRST:LAST:TYPE");
    }
    out += f[0] + ":" + std::to_string(std::stoull(f[1]) / kTableSector) + ":" +
           std::to_string(std::stoull(f[2]) / kTableSector) + ":" + f[3] + "\n";
  }
  return out;
}

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
  add_table(root.get(), staging, "gpt_main", main_table);
  add_table(root.get(), staging, "gpt_backup", backup_table);
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
