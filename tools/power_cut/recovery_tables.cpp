#include "recovery_tables.h"

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "hex_text.h"
#include "md5.h"

namespace ota_road {

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

// The table as a PERMANENT eMMC member the rewrite writes and proves.
void add_table_member(cJSON* root, const std::string& dir, const std::string& name,
                      const std::string& bytes) {
  const std::string file = dir + "/" + name + ".img";
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) || !out.flush()) {
    throw std::runtime_error("write " + file);
  }
  MD5_CTX ctx;
  MD5Init(&ctx);
  MD5Update(&ctx, reinterpret_cast<const unsigned char*>(bytes.data()),
            static_cast<unsigned int>(bytes.size()));
  unsigned char hash[16];
  MD5Final(hash, &ctx);
  const std::string md5 = ota::tool::hex_text(hash, sizeof(hash));
  cJSON_AddItemToArray(cJSON_GetObjectItem(root, "update_partition"),
                       cJSON_CreateString(name.c_str()));
  cJSON* part = cJSON_CreateObject();
  cJSON_AddStringToObject(part, "medium", "emmc");
  cJSON_AddStringToObject(part, "part_type", "PERMANENT");
  cJSON_AddStringToObject(part, "upgrade_method", "image");
  cJSON_AddStringToObject(part, "imgname", (name + ".img").c_str());
  cJSON* sums = cJSON_CreateArray();
  cJSON_AddItemToArray(sums, cJSON_CreateString(md5.c_str()));
  cJSON_AddItemToObject(part, "md5sum", sums);
  cJSON* scope = cJSON_CreateArray();
  cJSON_AddItemToArray(scope, cJSON_CreateNumber(static_cast<double>(bytes.size())));
  cJSON_AddItemToObject(part, "md5_scope", scope);
  cJSON_AddItemToObject(cJSON_GetObjectItem(root, "partition_info"), name.c_str(), part);
}

}  // namespace ota_road
