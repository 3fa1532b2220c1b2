// `vboard status`: the board's records decoded, for a person (text) or a script (JSON).
#include <fcntl.h>

#include <vector>

#include "board_ops.h"
#include "boot_control.h"
#include "crc.h"
#include "flash_cmd.h"
#include "hex_text.h"
#include "loop.h"
#include "md5.h"
#include "veeprom_flag.h"

namespace vboard {

namespace {

using ota::board::Layout;
using ota::board::Partition;

// One "key": value item; values are already JSON (numbers, strings, objects).
class Json {
 public:
  void add(const std::string& key, const std::string& json_value) {
    body_ += (body_.empty() ? "" : ", ") + quote(key) + ": " + json_value;
  }
  void add_num(const std::string& key, uint64_t v) { add(key, std::to_string(v)); }
  void add_str(const std::string& key, const std::string& v) { add(key, quote(v)); }
  [[nodiscard]] std::string str() const { return "{" + body_ + "}"; }

  static std::string quote(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
      if (c == '"' || c == '\\') {
        out += '\\';
        out += static_cast<char>(c);
      } else if (c < 0x20 || c > 0x7E) {
        char buf[8];
        std::snprintf(buf, sizeof(buf), "\\u%04x", c);
        out += buf;
      } else {
        out += static_cast<char>(c);
      }
    }
    return out + "\"";
  }

 private:
  std::string body_;
};

struct Report {
  Json json;
  std::string text;
};

Result<std::vector<uint8_t>> read_at(int fd, uint64_t offset, size_t len) {
  std::vector<uint8_t> buf(len);
  if (auto r = pread_exact(fd, buf.data(), len, offset, "board image"); !r) {
    return r.error();
  }
  return buf;
}

Result<void> report_boot_control(Report& rep, int emmc, const Partition& misc) {
  auto bytes = read_at(emmc, misc.offset + BOOT_CTRL_OFFSET, sizeof(bootloader_control));
  if (!bytes) {
    return bytes.error();
  }
  bootloader_control c{};
  (void)decode(*bytes, &c);
  const bool crc_ok = CRC32(bytes->data(), BOOT_CTRL_CRC_LEN) == c.crc32_le;
  Json j;
  j.add("magic_ok", c.magic == BOOT_CTRL_MAGIC ? "true" : "false");
  j.add("crc_ok", crc_ok ? "true" : "false");
  j.add_num("crc32", c.crc32_le);
  j.add_num("nb_slot", c.nb_slot());
  char line[160];
  std::snprintf(line, sizeof(line), "boot control: magic %s, crc 0x%08X %s, %u slots\n",
                c.magic == BOOT_CTRL_MAGIC ? "ok" : "WRONG", c.crc32_le, crc_ok ? "ok" : "WRONG",
                c.nb_slot());
  rep.text += line;
  std::string slots;
  for (int s = 0; s < 2; ++s) {
    const slot_metadata& m = c.slot_info[s];
    Json js;
    js.add_num("priority", m.priority());
    js.add_num("tries_remaining", m.tries_remaining());
    js.add_num("successful_boot", m.successful_boot());
    js.add_num("verity_corrupted", m.verity_corrupted());
    slots += (slots.empty() ? "" : ", ") + js.str();
    std::snprintf(line, sizeof(line),
                  "  slot %c: priority %u, tries %u, successful %u, corrupted %u\n", 'a' + s,
                  m.priority(), m.tries_remaining(), m.successful_boot(), m.verity_corrupted());
    rep.text += line;
  }
  j.add("slots", "[" + slots + "]");
  rep.json.add("boot_control", j.str());
  return {};
}

Result<void> report_veeprom(Report& rep, int emmc, const Partition& vee) {
  auto bytes = read_at(emmc, vee.offset + OTA_STATUS_OFFSET, sizeof(ota_status_t));
  auto anti = read_at(emmc, vee.offset + OTA_ANTI_VER_OFFSET, sizeof(antirollback_ver_t));
  if (!bytes || !anti) {
    return !bytes ? bytes.error() : anti.error();
  }
  ota_status_t st{};
  (void)decode(*bytes, &st);
  const bool valid =
      st.magic == OTA_STATUS_MAGIC && CRC32(bytes->data(), OTA_STATUS_CRC_LEN) == st.crc32_le;
  Json j;
  j.add("valid", valid ? "true" : "false");
  const std::pair<const char*, uint32_t> fields[] = {
      {"up", st.up},         {"up_system", st.up_system},         {"up_backup", st.up_backup},
      {"up_app", st.up_app}, {"up_middleware", st.up_middleware}, {"up_param", st.up_param},
      {"owner", st.owner},   {"next_slot", st.next_slot}};
  rep.text += std::string("ota status: ") + (valid ? "valid" : "INVALID (blank or damaged)");
  for (const auto& [k, v] : fields) {
    j.add_num(k, v);
    rep.text += std::string(" ") + k + "=" + std::to_string(v);
  }
  std::string parts;
  const uint32_t num = std::min<uint32_t>(st.update_part.num, OTA_UPDATE_PART_MAX);
  rep.text += "\n  updated partitions:";
  for (uint32_t i = 0; i < num; ++i) {
    const std::string name(st.update_part.array[i],
                           strnlen(st.update_part.array[i], OTA_UPDATE_PART_NAME_LEN));
    parts += (parts.empty() ? "" : ", ") + Json::quote(name);
    rep.text += " " + name;
  }
  rep.text += "\n";
  j.add("update_part", "[" + parts + "]");
  rep.json.add("ota_status", j.str());

  antirollback_ver_t ver{};
  (void)decode(*anti, &ver);
  const bool anti_ok = CRC32(anti->data(), OTA_ANTI_VER_CRC_LEN) == ver.crc32_le;
  Json ja;
  ja.add("crc_ok", anti_ok ? "true" : "false");
  ja.add_num("hsm_up_flag", ver.hsm_up_flag);
  ja.add_num("host_up_flag", ver.host_up_flag);
  ja.add_num("hsm_ver", ver.hsm_ver);
  ja.add_num("host_ver", ver.host_ver);
  rep.json.add("antirollback", ja.str());
  rep.text += std::string("anti-rollback: ") + (anti_ok ? "crc ok" : "crc WRONG") +
              " hsm_up_flag=" + std::to_string(ver.hsm_up_flag) +
              " host_up_flag=" + std::to_string(ver.host_up_flag) +
              " hsm_ver=" + std::to_string(ver.hsm_ver) +
              " host_ver=" + std::to_string(ver.host_ver) + "\n";
  return {};
}

Result<void> report_flashcmd(Report& rep, int emmc, const Partition& part) {
  auto bytes = read_at(emmc, part.offset, FLASHCMD_TEMPLATE_SIZE);
  if (!bytes) {
    return bytes.error();
  }
  fimage_update_s rec{};
  (void)decode(*bytes, &rec);
  std::string what = "none";
  if (rec.magic != 0 || rec.cmdtype != 0) {
    const CmdTemplate* t = find_template(static_cast<CmdType>(rec.cmdtype));
    what = rec.magic != FLASHCMD_MAGIC ? "invalid (bad magic)"
           : t == nullptr              ? "unknown type " + std::to_string(rec.cmdtype)
                                       : std::string(t->name);
  }
  rep.json.add_str("pending_flash_command", what);
  rep.text += "pending flash command: " + what + "\n";
  return {};
}

Result<std::string> md5_of(int fd, uint64_t offset, uint64_t size) {
  MD5_CTX ctx;
  MD5Init(&ctx);
  std::vector<uint8_t> buf(1024 * 1024);
  for (uint64_t done = 0; done < size;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - done));
    if (auto r = pread_exact(fd, buf.data(), n, offset + done, "board image"); !r) {
      return r.error();
    }
    MD5Update(&ctx, buf.data(), static_cast<unsigned>(n));
    done += n;
  }
  unsigned char hash[16];
  MD5Final(hash, &ctx);
  return ota::tool::hex_text(hash, sizeof(hash));
}

Result<void> report_partitions(Report& rep, const Layout& layout, int emmc, int nor) {
  std::string list;
  rep.text += "partitions:\n";
  for (const auto* parts : {&layout.emmc, &layout.nor}) {
    for (const auto& p : *parts) {
      const bool on_emmc = p.medium == ota::board::Medium::emmc;
      auto md5 = md5_of(on_emmc ? emmc : nor, p.offset, p.device_size());
      if (!md5) {
        return md5.error();
      }
      Json j;
      j.add_str("name", p.name);
      j.add_str("medium", on_emmc ? "emmc" : "nor");
      j.add_num("offset", p.offset);
      j.add_num("size", p.device_size());
      j.add_str("md5", *md5);
      list += (list.empty() ? "" : ", ") + j.str();
      char line[200];
      std::snprintf(line, sizeof(line), "  %-14s %-4s offset %10llu size %10llu md5 %s\n",
                    p.name.c_str(), on_emmc ? "emmc" : "nor",
                    static_cast<unsigned long long>(p.offset),
                    static_cast<unsigned long long>(p.device_size()), md5->c_str());
      rep.text += line;
    }
  }
  rep.json.add("partitions", "[" + list + "]");
  return {};
}

}  // namespace

Result<std::string> board_status(const std::string& path, bool json) {
  auto root = real_path(path);
  if (!root) {
    return root.error();
  }
  const BoardDir dir(*root);
  auto layout = load_board(dir);
  if (!layout) {
    return layout.error();
  }
  // A running board may hold newer data in its devices' caches than its images.
  if (auto r = flush_devices(devices_backed_by(dir.image_paths())); !r) {
    return r.error();
  }
  auto emmc = open_file(dir.emmc_image(), O_RDONLY);
  auto nor = open_file(dir.nor_image(), O_RDONLY);
  auto cmdline = read_text(dir.cmdline());
  if (!emmc || !nor || !cmdline) {
    return !emmc ? emmc.error() : !nor ? nor.error() : cmdline.error();
  }
  Report rep;
  while (!cmdline->empty() && cmdline->back() == '\n') {
    cmdline->pop_back();
  }
  rep.json.add_str("board", dir.root());
  rep.json.add_str("cmdline", *cmdline);
  rep.text += "board: " + dir.root() + "\ncmdline: " + *cmdline + "\n";
  unsigned bootcount = 0;
  unsigned boots = 0;
  if (auto st = read_text(dir.firmware_state());
      st && std::sscanf(st->c_str(), "bootcount=%u\nboots=%u", &bootcount, &boots) == 2) {
    rep.json.add_num("boots", boots);
    rep.json.add_num("bootcount", bootcount);
    rep.text += "firmware: " + std::to_string(boots) + " boots, boot count " +
                std::to_string(bootcount) + " (log: " + dir.firmware_log() + ")\n";
  }
  for (auto r : {report_boot_control(rep, emmc->get(), *layout->find("misc")),
                 report_veeprom(rep, emmc->get(), *layout->find("veeprom")),
                 report_flashcmd(rep, emmc->get(), *layout->find("flashcmd")),
                 report_partitions(rep, *layout, emmc->get(), nor->get())}) {
    if (!r) {
      return r.error();
    }
  }
  return json ? rep.json.str() + "\n" : rep.text;
}

}  // namespace vboard
