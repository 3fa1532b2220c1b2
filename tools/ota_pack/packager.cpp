#include "packager.h"
#include "hex_text.h"

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <vector>

#include "archive_writer.h"
#include "device_io.h"
#include "hdiff.h"
#include "md5.h"
#include "package_members.h"
#include "package_verify.h"
#include "path_safety.h"
#include "unique_fd.h"
#include "write_targets.h"

namespace ota::pack {

using tool::Error;
using tool::Result;

namespace {

constexpr int kInvalid = EINVAL;
constexpr size_t kMaxParts = 32;
constexpr size_t kMaxPartName = 31;
constexpr size_t kMaxTarName = 100;

// One partition of the package, checked and measured.
struct PackedPart {
  const PartSpec* wanted = nullptr;
  std::string medium;
  std::string type;
  std::string imgname;  // the manifest's template
  std::string member;   // the archive member it expands to on this board
  std::string source;   // what goes into the member (the image or the patch)
  std::string md5[2];
  uint64_t scope[2] = {0, 0};
};

struct JsonDeleter {
  void operator()(cJSON* j) const { cJSON_Delete(j); }
};

Result<uint64_t> file_size(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    return tool::errno_error("stat " + path);
  }
  if (!S_ISREG(st.st_mode)) {
    return Error(kInvalid, path + " is not a regular file");
  }
  return static_cast<uint64_t>(st.st_size);
}

Result<std::string> md5_hex(const std::string& path, uint64_t size) {
  unsigned char digest[16] = {};
  if (MD5DevPart(path.c_str(), 0, static_cast<long>(size), digest) != 0) {
    return Error(EIO, "cannot hash " + path);
  }
  return tool::hex_text(digest, sizeof(digest));
}

// The bytes a signed NOR image leaves on its device, as the worker's copy lays them out
// (each chunk's trailer overwritten by the next chunk, the last chunk whole, a last chunk
// shorter than a trailer followed by the rest of the trailer before it): their digest
// and length are what the worker proves after the burn.
Result<std::string> signed_nor_md5_hex(const std::string& path, uint64_t size) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    return tool::errno_error("open " + path);
  }
  std::unique_ptr<std::FILE, decltype(&std::fclose)> closer(f, &std::fclose);
  MD5_CTX ctx;
  MD5Init(&ctx);
  std::vector<unsigned char> chunk(OTA_NOR_SIGNED_CHUNK);
  std::vector<unsigned char> pending;  // the last trailer, overwritten or not
  const uint64_t chunks = (size + OTA_NOR_SIGNED_CHUNK - 1) / OTA_NOR_SIGNED_CHUNK;
  for (uint64_t i = 0; i < chunks; ++i) {
    const size_t len = static_cast<size_t>(
        std::min<uint64_t>(OTA_NOR_SIGNED_CHUNK, size - i * OTA_NOR_SIGNED_CHUNK));
    if (std::fread(chunk.data(), 1, len, f) != len) {
      return Error(EIO, "cannot read " + path);
    }
    if (i + 1 < chunks) {
      MD5Update(&ctx, chunk.data(), static_cast<unsigned>(len - OTA_NOR_TRAILER));
      pending.assign(chunk.begin() + static_cast<long>(len - OTA_NOR_TRAILER),
                     chunk.begin() + static_cast<long>(len));
      continue;
    }
    MD5Update(&ctx, chunk.data(), static_cast<unsigned>(len));
    if (len < pending.size()) {
      MD5Update(&ctx, pending.data() + len, static_cast<unsigned>(pending.size() - len));
    }
  }
  unsigned char digest[16] = {};
  MD5Final(digest, &ctx);
  return tool::hex_text(digest, sizeof(digest));
}

int64_t nor_sign_of(const Description& d) {
  for (const auto& [key, value] : d.keys) {
    if (key == "nor_sign") {
      return std::stoll(value);
    }
  }
  return 0;
}

Result<board::Layout> layout_of(const Description& d) {
  if (d.layout == "default") {
    return board::default_layout();
  }
  return board::load_layout(d.layout);
}

ota_part_type_e type_of(const std::string& type) {
  if (type == "AB") {
    return AB;
  }
  if (type == "BAK") {
    return BAK;
  }
  return type == "GOLDEN" ? GOLDEN : PERMANENT;
}

// The partition of the layout a manifest name writes, and its type: the one the names
// show unless the description declares one. The worker's rule on the board decides
// whether a package may write it at all (write_targets.h), here applied to the layout.
Result<const board::Partition*> placed(const board::Layout& layout, const PartSpec& wanted,
                                       std::string* type) {
  const board::Partition* ab = layout.find(wanted.name + "_a");
  const board::Partition* p = ab != nullptr ? ab : layout.find(wanted.name);
  if (p == nullptr) {
    return Error(kInvalid, "partition '" + wanted.name + "' is not in the layout");
  }
  const bool bak = layout.find(wanted.name + "_bak") != nullptr;
  *type = !wanted.type.empty() ? wanted.type : (ab != nullptr ? "AB" : (bak ? "BAK" : "PERMANENT"));
  std::vector<ota_board_part_t> parts;
  for (const auto* list : {&layout.emmc, &layout.nor}) {
    for (const board::Partition& part : *list) {
      parts.push_back(
          {part.name, part.medium == board::Medium::nor ? OTA_NOR : OTA_EMMC, 0, part.size});
    }
  }
  std::string why;
  const std::string target =
      ota_write_target(parts, wanted.name, type_of(*type),
                       p->medium == board::Medium::nor ? OTA_NOR : OTA_EMMC, 0, &why);
  if (target.empty()) {
    return Error(kInvalid, "partition '" + wanted.name + "' (" + *type +
                               ") is no package's to write: " + why);
  }
  return layout.find(target);
}

// A signed NOR image is laid out over its device with its trailers overwritten: what
// must fit is the extent it covers, trailer area of the partition included.
Result<void> check_signed_fits(const PartSpec& wanted, const board::Partition& p, uint64_t size) {
  if (size < OTA_NOR_TRAILER) {
    return Error(kInvalid, "signed NOR image " + wanted.image + " (" + std::to_string(size) +
                               " bytes) is shorter than its " + std::to_string(OTA_NOR_TRAILER) +
                               "-byte trailer");
  }
  const uint64_t extent = ota_signed_nor_extent(size);
  if (extent > p.device_size()) {
    return Error(EFBIG, "signed image " + wanted.image + " covers " + std::to_string(extent) +
                            " bytes, more than partition " + p.name + " (" +
                            std::to_string(p.device_size()) + " bytes)");
  }
  return {};
}

Result<void> check_fits(const PartSpec& wanted, const board::Partition& p, bool signed_nor) {
  auto size = file_size(wanted.image);
  if (!size) {
    return size.error();
  }
  if (size.value() == 0) {
    return Error(kInvalid,
                 "image " + wanted.image + " is empty: a proof of no bytes proves nothing");
  }
  if (signed_nor) {
    if (auto r = check_signed_fits(wanted, p, size.value()); !r) {
      return r.error();
    }
  } else if (size.value() > p.size) {
    return Error(EFBIG, "image " + wanted.image + " (" + std::to_string(size.value()) +
                            " bytes) is larger than partition " + p.name + " (" +
                            std::to_string(p.size) + " bytes)");
  }
  if (!wanted.old_image.empty()) {
    if (auto old = file_size(wanted.old_image); !old) {
      return old.error();
    }
  }
  return {};
}

Result<void> name_member(PackedPart* out, const Description& d, const board::Layout& layout) {
  const PartSpec& wanted = *out->wanted;
  const bool diff = wanted.method == "image_diff";
  std::string tmpl = wanted.name_template;
  if (tmpl.empty()) {
    tmpl = wanted.name + (diff ? "_diff.img" : ".img");
  }
  if (d.format == Format::kTar && !tmpl.ends_with(".zst")) {
    tmpl += ".zst";
  }
  if (tmpl.size() > 63) {
    return Error(kInvalid, "image name template '" + tmpl + "' is longer than 63 characters");
  }
  auto member = expand_image_name(tmpl, layout, nor_sign_of(d) != 0);
  if (!member) {
    return member.error();
  }
  out->imgname = tmpl;
  out->member = std::move(member).value();
  if (!is_contained_name(out->member)) {
    return Error(kInvalid, "image name '" + out->member + "' must be relative, without '..'");
  }
  std::string plain = out->member;
  if (plain.ends_with(".zst")) {
    plain.resize(plain.size() - 4);
  }
  // The worker applies a patch only from a file whose name ends in ".img".
  if (diff && !plain.ends_with(".img")) {
    return Error(kInvalid, "patch name '" + out->member + "' must end in .img");
  }
  return {};
}

Result<PackedPart> check_part(const PartSpec& wanted, const Description& d,
                              const board::Layout& layout) {
  PackedPart out;
  out.wanted = &wanted;
  if (wanted.name.empty() || wanted.name.size() > kMaxPartName) {
    return Error(kInvalid, "partition name '" + wanted.name + "' must have 1 to 31 characters");
  }
  std::string type;
  auto p = placed(layout, wanted, &type);
  if (!p) {
    return p.error();
  }
  const std::string medium = p.value()->medium == board::Medium::nor ? "nor" : "emmc";
  if (!wanted.medium.empty() && wanted.medium != medium) {
    return Error(kInvalid,
                 "partition '" + wanted.name + "' is on " + medium + ", not " + wanted.medium);
  }
  out.medium = medium;
  out.type = type;
  const bool signed_nor = nor_sign_of(d) == 1 && medium == "nor";
  if (auto r = check_fits(wanted, *p.value(), signed_nor); !r) {
    return r.error();
  }
  if (auto r = name_member(&out, d, layout); !r) {
    return r.error();
  }
  return out;
}

Result<void> measure(PackedPart* part, const std::string& work_dir, bool signed_nor) {
  const PartSpec& wanted = *part->wanted;
  const bool diff = wanted.method == "image_diff";
  const std::string& first = diff ? wanted.old_image : wanted.image;
  auto size0 = file_size(first);
  if (!size0) {
    return size0.error();
  }
  // A full signed NOR image is proven as the device holds it, not as the file reads.
  const bool device_view = signed_nor && !diff;
  auto md50 =
      device_view ? signed_nor_md5_hex(first, size0.value()) : md5_hex(first, size0.value());
  if (!md50) {
    return md50.error();
  }
  part->scope[0] = device_view ? ota_signed_nor_extent(size0.value()) : size0.value();
  part->md5[0] = md50.value();
  part->source = wanted.image;
  if (!diff) {
    return {};
  }
  auto size1 = file_size(wanted.image);
  auto md51 = size1 ? md5_hex(wanted.image, size1.value()) : Result<std::string>(size1.error());
  if (!md51) {
    return md51.error();
  }
  part->scope[1] = size1.value();
  part->md5[1] = md51.value();
  part->source = work_dir + "/" + wanted.name + ".patch";
  auto r = hdiff::diff_files(wanted.old_image, wanted.image, part->source, hdiff::DiffOptions{});
  if (!r) {
    return std::move(r.error().context("diff of " + wanted.name));
  }
  return {};
}

cJSON* part_json(const PackedPart& p) {
  cJSON* o = cJSON_CreateObject();
  cJSON_AddStringToObject(o, "medium", p.medium.c_str());
  cJSON_AddStringToObject(o, "part_type", p.type.c_str());
  cJSON_AddStringToObject(o, "upgrade_method", p.wanted->method.c_str());
  cJSON_AddStringToObject(o, "imgname", p.imgname.c_str());
  const int n = p.wanted->method == "image_diff" ? 2 : 1;
  cJSON* md5 = cJSON_AddArrayToObject(o, "md5sum");
  cJSON* scope = cJSON_AddArrayToObject(o, "md5_scope");
  for (int i = 0; i < n; ++i) {
    cJSON_AddItemToArray(md5, cJSON_CreateString(p.md5[i].c_str()));
    cJSON_AddItemToArray(scope, cJSON_CreateNumber(static_cast<double>(p.scope[i])));
  }
  if (p.wanted->anti_ver) {
    cJSON_AddNumberToObject(o, "have_anti_ver", 1);
  }
  return o;
}

std::string manifest_text(const Description& d, const std::vector<PackedPart>& parts) {
  std::unique_ptr<cJSON, JsonDeleter> root(cJSON_CreateObject());
  for (const auto& [key, value] : d.keys) {
    if (key == "sys_version" || key == "old_sys_version" || key == "backup_dir") {
      cJSON_AddStringToObject(root.get(), key.c_str(), value.c_str());
    } else {
      cJSON_AddNumberToObject(root.get(), key.c_str(), static_cast<double>(std::stoll(value)));
    }
  }
  cJSON* names = cJSON_AddArrayToObject(root.get(), "update_partition");
  cJSON* infos = cJSON_AddObjectToObject(root.get(), "partition_info");
  for (const PackedPart& p : parts) {
    cJSON_AddItemToArray(names, cJSON_CreateString(p.wanted->name.c_str()));
    cJSON_AddItemToObject(infos, p.wanted->name.c_str(), part_json(p));
  }
  std::unique_ptr<char, decltype(&free)> text(cJSON_Print(root.get()), &free);
  return std::string(text.get()) + "\n";
}

Result<std::vector<PackedPart>> check_all(const Description& d, const board::Layout& layout) {
  if (d.parts.size() > kMaxParts) {
    return Error(kInvalid, std::to_string(d.parts.size()) + " partitions, at most 32");
  }
  const int64_t nor_sign = nor_sign_of(d);
  if (nor_sign != 0 && nor_sign != 1) {
    return Error(kInvalid, "nor_sign must be 0 or 1");
  }
  std::vector<PackedPart> parts;
  std::set<std::string> seen;
  for (const PartSpec& wanted : d.parts) {
    if (!seen.insert(wanted.name).second) {
      return Error(kInvalid, "line " + std::to_string(wanted.line) + ": partition '" + wanted.name +
                                 "' given twice");
    }
    auto part = check_part(wanted, d, layout);
    if (!part) {
      return std::move(part.error().context("line " + std::to_string(wanted.line)));
    }
    parts.push_back(std::move(part).value());
  }
  return parts;
}

bool signed_nor(const Description& d, const PackedPart& p) {
  return nor_sign_of(d) == 1 && p.medium == "nor";
}

// A member: its name in the archive, its source file (or inline text) and mode.
struct Member {
  std::string name;
  std::string source;
  std::string text;
  uint32_t mode = 0644;
  bool compress = false;
  bool store = false;  // zip: stored uncompressed (the signing members)
};

Result<void> check_members(const std::vector<Member>& members, Format format) {
  std::set<std::string> names;
  for (const Member& m : members) {
    if (!is_contained_name(m.name)) {
      return Error(kInvalid, "member name '" + m.name + "' must be relative, without '..'");
    }
    if (format == Format::kTar && m.name.size() > kMaxTarName) {
      return Error(kInvalid, "member name '" + m.name + "' is longer than 100 characters");
    }
    if (!names.insert(m.name).second) {
      return Error(kInvalid, "member '" + m.name + "' would be written twice");
    }
    if (!m.store && (m.name == sign::kStatementMember || m.name == sign::kSignatureMember)) {
      return Error(kInvalid, "member name '" + m.name + "' is reserved for the signature");
    }
  }
  return {};
}

uint32_t mode_of(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && (st.st_mode & 0111) != 0 ? 0755 : 0644;
}

template <typename Writer, typename Entry>
Result<void> add_member(Writer& w, Entry entry, const Member& m) {
  return m.source.empty() ? w.add_bytes(entry, m.text) : w.add_file(entry, m.source);
}

Result<void> write_zip(const std::string& output, const std::vector<Member>& members) {
  auto zip = archive::ZipWriter::create(output);
  if (!zip) {
    return zip.error();
  }
  for (const Member& m : members) {
    archive::ZipEntry e{.name = m.name, .mode = m.mode};
    if (m.store) {
      e.method = archive::ZipMethod::kStore;
    }
    if (auto r = add_member(zip.value(), e, m); !r) {
      return std::move(r.error().context("adding " + m.name));
    }
  }
  return zip->finish();
}

Result<void> write_tar(const std::string& output, const std::vector<Member>& members) {
  auto tar = archive::TarWriter::create(output);
  if (!tar) {
    return tar.error();
  }
  for (const Member& m : members) {
    archive::TarEntry e{.name = m.name, .mode = m.mode, .zstd = m.compress};
    if (auto r = add_member(tar.value(), e, m); !r) {
      return std::move(r.error().context("adding " + m.name));
    }
  }
  return tar->finish();
}

Member member(std::string name, std::string source, std::string text, uint32_t mode,
              bool compress) {
  Member m;
  m.name = std::move(name);
  m.source = std::move(source);
  m.text = std::move(text);
  m.mode = mode;
  m.compress = compress;
  return m;
}

std::vector<Member> members_of(const Description& d, const board::Layout& layout,
                               const std::vector<PackedPart>& parts) {
  std::vector<Member> members;
  members.push_back(member("data.json", "", manifest_text(d, parts), 0644, false));
  members.push_back(member("gpt.conf", "", board::gpt_conf_text(layout), 0644, false));
  if (!d.worker.empty()) {
    members.push_back(member("ota_process", d.worker, "", 0755, false));
  }
  for (const PackedPart& p : parts) {
    const bool zstd = d.format == Format::kTar && p.member.ends_with(".zst");
    members.push_back(member(p.member, p.source, "", 0644, zstd));
  }
  for (const auto& [name, source] : d.files) {
    members.push_back(member(name, source, "", mode_of(source), false));
  }
  return members;
}

Result<void> write_archive(Format format, const std::string& output,
                           const std::vector<Member>& members) {
  return format == Format::kZip ? write_zip(output, members) : write_tar(output, members);
}

// Every member of the package at path with its digest, as the board's check sees it.
Result<std::vector<sign::MemberDigest>> digests_of(const std::string& path) {
  const UniqueFd fd = ota::open_fd(path.c_str(), O_RDONLY);
  sign::PackageScan scan;
  std::string why;
  if (!fd) {
    return tool::errno_error("open " + path);
  }
  if (!sign::scan_package(fd.get(), "", &scan, &why)) {
    return Error(kInvalid, path + ": " + why);
  }
  std::vector<sign::MemberDigest> out;
  for (const sign::ScannedMember& m : scan.members) {
    out.push_back(m.digest);
  }
  return out;
}

std::string manifest_key(const Description& d, const std::string& key) {
  for (const auto& [k, v] : d.keys) {
    if (k == key) {
      return v;
    }
  }
  return {};
}

// The package written unsigned is digested, its statement signed, and the package
// written again with the statement and the signature as its last members: the members
// before them keep their bytes and offsets, which the second digest proves.
Result<void> sign_package(const Description& d, const std::string& output,
                          std::vector<Member>* members) {
  auto digests = digests_of(output);
  if (!digests) {
    return digests.error();
  }
  sign::Statement st{.sys_version = manifest_key(d, "sys_version"), .members = digests.value()};
  if (st.sys_version.empty()) {
    return Error(kInvalid, "--sign needs the description's 'key sys_version'");
  }
  std::string why;
  const std::string statement = sign::format_statement(st, &why);
  const std::string signature =
      statement.empty() ? std::string() : sign::sign_statement(d.sign_key, statement, &why);
  if (signature.empty()) {
    return Error(kInvalid, why);
  }
  for (const auto& [name, text] : {std::pair{sign::kStatementMember, statement},
                                   std::pair{sign::kSignatureMember, signature}}) {
    Member m = member(name, "", text, 0644, false);
    m.store = true;
    members->push_back(std::move(m));
  }
  if (auto r = write_archive(d.format, output, *members); !r) {
    return r;
  }
  auto again = digests_of(output);
  if (!again) {
    return again.error();
  }
  if (again.value() != digests.value()) {
    return Error(kInvalid, "the signed package's members differ from the unsigned one's");
  }
  return {};
}

// A scratch directory for patches, removed with its content.
class WorkDir {
 public:
  WorkDir() {
    char tmpl[] = "/tmp/ota_pack.XXXXXX";
    if (mkdtemp(tmpl) != nullptr) {
      path_ = tmpl;
    }
  }
  ~WorkDir() {
    std::error_code ec;
    if (!path_.empty()) {
      std::filesystem::remove_all(path_, ec);
    }
  }
  WorkDir(const WorkDir&) = delete;
  WorkDir& operator=(const WorkDir&) = delete;
  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  std::string path_;
};

Result<void> assemble(const Description& d, const std::string& output) {
  auto layout = layout_of(d);
  if (!layout) {
    return std::move(layout.error().context("layout " + d.layout));
  }
  auto parts = check_all(d, layout.value());
  if (!parts) {
    return parts.error();
  }
  if (!d.worker.empty()) {
    if (auto size = file_size(d.worker); !size) {
      return std::move(size.error().context("worker"));
    }
  }
  WorkDir work;
  if (work.path().empty()) {
    return tool::errno_error("mkdtemp");
  }
  for (PackedPart& p : parts.value()) {
    if (auto r = measure(&p, work.path(), signed_nor(d, p)); !r) {
      return r;
    }
  }
  std::vector<Member> members = members_of(d, layout.value(), parts.value());
  if (auto r = check_members(members, d.format); !r) {
    return r;
  }
  if (auto r = write_archive(d.format, output, members); !r || d.sign_key.empty()) {
    return r;
  }
  return sign_package(d, output, &members);
}

}  // namespace

Result<std::string> build_manifest(const Description& d, const board::Layout& layout) {
  auto parts = check_all(d, layout);
  if (!parts) {
    return parts.error();
  }
  for (PackedPart& p : parts.value()) {
    if (p.wanted->method == "image_diff") {
      return Error(kInvalid, "build_manifest: image_diff parts need make_package");
    }
    if (auto r = measure(&p, "", signed_nor(d, p)); !r) {
      return r.error();
    }
  }
  return manifest_text(d, parts.value());
}

Result<void> make_package(const Description& d, const std::string& output) {
  auto r = assemble(d, output);
  if (!r) {
    std::error_code ec;
    std::filesystem::remove(output, ec);  // never leave half a package behind
    return std::move(r.error().context("making " + output));
  }
  return {};
}

}  // namespace ota::pack
