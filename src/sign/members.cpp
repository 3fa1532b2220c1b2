// Walks zip and ustar packages for the signature check, digesting each member's stored
// bytes (see package_members.h for what is covered).
#include "package_members.h"

#include <openssl/evp.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>

#include "unique_fd.h"

namespace ota::sign {
namespace {

constexpr size_t kReadStep = 1 << 20;
constexpr uint32_t kLocalSig = 0x04034b50;
constexpr uint32_t kCentralSig = 0x02014b50;
constexpr uint32_t kEndSig = 0x06054b50;
constexpr size_t kLocalLen = 30;
constexpr size_t kCentralLen = 46;
constexpr size_t kEndLen = 22;
constexpr uint64_t kMaxCentralDir = 16u << 20;
constexpr size_t kTarBlock = 512;

bool fail(std::string* why, std::string text) {
  *why = std::move(text);
  return false;
}

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

struct MdFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

// One SHA-256 over pieces fed in order.
class Digest {
 public:
  Digest() : ctx_(EVP_MD_CTX_new()) {
    ok_ = ctx_ && EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr) == 1;
  }
  void add(const void* data, size_t len) {
    ok_ = ok_ && EVP_DigestUpdate(ctx_.get(), data, len) == 1;
  }
  bool finish(Sha256* out) {
    unsigned int len = 0;
    ok_ = ok_ && EVP_DigestFinal_ex(ctx_.get(), out->data(), &len) == 1 && len == out->size();
    return ok_;
  }

 private:
  std::unique_ptr<EVP_MD_CTX, MdFree> ctx_;
  bool ok_ = false;
};

bool read_at(int fd, void* buf, size_t len, uint64_t off) {
  return ota::pread_full(fd, buf, len, static_cast<off_t>(off)) == static_cast<ssize_t>(len);
}

// Feeds len bytes at off into the digest, or into text (bounded) for a signing member.
bool read_range(int fd, uint64_t off, uint64_t len, std::vector<uint8_t>& buf, Digest* digest,
                std::string* text) {
  while (len > 0) {
    const size_t step = static_cast<size_t>(std::min<uint64_t>(len, buf.size()));
    if (!read_at(fd, buf.data(), step, off)) {
      return false;
    }
    if (digest != nullptr) {
      digest->add(buf.data(), step);
    }
    if (text != nullptr) {
      text->append(reinterpret_cast<const char*>(buf.data()), step);
    }
    off += step;
    len -= step;
  }
  return true;
}

// Where a member's bytes lie and what the reader's header says about them.
struct Span {
  std::string name;
  uint64_t header_off = 0;  // first byte covered after the central entry
  uint64_t data_off = 0;
  uint64_t data_len = 0;
  std::string central;  // the central directory entry (zip), digested first
  uint16_t method = 0;
};

bool is_signing_member(const std::string& name) {
  return name == kStatementMember || name == kSignatureMember;
}

// Digests (or, for a signing member, reads) one member and records it.
bool take_member(int fd, const Span& s, const std::string& only, std::vector<uint8_t>& buf,
                 PackageScan* out, std::string* why) {
  if (is_signing_member(s.name)) {
    const bool statement = s.name == kStatementMember;
    const size_t limit = statement ? kMaxStatementBytes : kMaxSignatureBytes;
    if (s.data_len > limit || s.method != 0) {
      return fail(why, "member " + s.name + " is compressed or larger than " +
                           std::to_string(limit) + " bytes");
    }
    std::string* text = statement ? &out->statement : &out->signature;
    (statement ? out->has_statement : out->has_signature) = true;
    return read_range(fd, s.data_off, s.data_len, buf, nullptr, text) ||
           fail(why, "read of member " + s.name + " failed");
  }
  ScannedMember m;
  m.digest.name = s.name;
  m.digest.stored_size = s.data_len;
  m.hashed = only.empty() || only == s.name;
  if (m.hashed) {
    Digest d;
    d.add(s.central.data(), s.central.size());
    if (!read_range(fd, s.header_off, s.data_off + s.data_len - s.header_off, buf, &d, nullptr)) {
      return fail(why, "read of member " + s.name + " failed (package cut short?)");
    }
    if (!d.finish(&m.digest.sha256)) {
      return fail(why, "SHA-256 of member " + s.name + " failed");
    }
  }
  out->members.push_back(std::move(m));
  return true;
}

bool no_duplicates(const std::vector<Span>& spans, std::string* why) {
  std::set<std::string> seen;
  for (const Span& s : spans) {
    if (!seen.insert(s.name).second) {
      return fail(why, "member " + s.name + " occurs twice in the package");
    }
  }
  if (spans.size() > kMaxMembers + 2) {
    return fail(why, "package holds more than " + std::to_string(kMaxMembers) + " members");
  }
  return true;
}

// ---- zip ----

struct ZipEnd {
  uint64_t cd_off = 0;
  uint64_t cd_len = 0;
  uint32_t entries = 0;
};

bool read_zip_end(int fd, uint64_t size, ZipEnd* end, std::string* why) {
  uint8_t e[kEndLen];
  if (size < kEndLen || !read_at(fd, e, sizeof(e), size - kEndLen)) {
    return fail(why, "zip end record missing");
  }
  // The end record must be the last bytes, with no comment: a reader searching backwards
  // for its signature then finds this one and no other.
  if (le32(e) != kEndSig || le16(e + 20) != 0) {
    return fail(why, "zip end record is not the last 22 bytes (comment or trailing data)");
  }
  for (size_t i = 1; i + 4 <= kEndLen; ++i) {
    if (le32(e + i) == kEndSig) {
      return fail(why, "zip end record holds a second end signature");
    }
  }
  const uint16_t entries = le16(e + 10);
  const uint32_t cd_len = le32(e + 12);
  const uint32_t cd_off = le32(e + 16);
  if (le16(e + 4) != 0 || le16(e + 6) != 0 || le16(e + 8) != entries || entries == 0xFFFF ||
      cd_len == 0xFFFFFFFF || cd_off == 0xFFFFFFFF) {
    return fail(why, "zip spans disks or is a zip64 archive: not supported for signed packages");
  }
  if (static_cast<uint64_t>(cd_off) + cd_len != size - kEndLen || cd_len > kMaxCentralDir) {
    return fail(why, "zip central directory does not end at the end record");
  }
  *end = ZipEnd{cd_off, cd_len, entries};
  return true;
}

bool parse_central(const std::string& cd, size_t* pos, Span* s, uint32_t* local_off,
                   std::string* why) {
  const auto* p = reinterpret_cast<const uint8_t*>(cd.data()) + *pos;
  if (cd.size() - *pos < kCentralLen || le32(p) != kCentralSig) {
    return fail(why, "zip central directory entry malformed");
  }
  const size_t total = kCentralLen + le16(p + 28) + le16(p + 30) + le16(p + 32);
  if (cd.size() - *pos < total || le16(p + 28) == 0) {
    return fail(why, "zip central directory entry runs past the directory");
  }
  if ((le16(p + 8) & 0x0001) != 0 || le16(p + 34) != 0 || le32(p + 20) == 0xFFFFFFFF ||
      le32(p + 24) == 0xFFFFFFFF || le32(p + 42) == 0xFFFFFFFF) {
    return fail(why, "zip member is encrypted, on another disk or zip64");
  }
  s->name.assign(cd, *pos + kCentralLen, le16(p + 28));
  s->central.assign(cd, *pos, total);
  s->method = le16(p + 10);
  s->data_len = le32(p + 20);
  *local_off = le32(p + 42);
  *pos += total;
  return true;
}

bool check_local(int fd, Span* s, uint64_t cd_off, std::string* why) {
  uint8_t h[kLocalLen];
  if (!read_at(fd, h, sizeof(h), s->header_off) || le32(h) != kLocalSig) {
    return fail(why, "zip local header of " + s->name + " missing");
  }
  const uint16_t name_len = le16(h + 26);
  std::string name(name_len, '\0');
  if (le16(h + 8) != s->method || name_len != s->name.size() ||
      !read_at(fd, name.data(), name_len, s->header_off + kLocalLen) || name != s->name) {
    return fail(why, "zip local header of " + s->name + " disagrees with its directory entry");
  }
  s->data_off = s->header_off + kLocalLen + name_len + le16(h + 28);
  if (s->data_off + s->data_len > cd_off) {
    return fail(why, "zip member " + s->name + " runs into the central directory");
  }
  return true;
}

bool zip_spans(int fd, uint64_t size, std::vector<Span>* spans, std::string* why) {
  ZipEnd end;
  if (!read_zip_end(fd, size, &end, why)) {
    return false;
  }
  std::string cd(end.cd_len, '\0');
  if (!read_at(fd, cd.data(), cd.size(), end.cd_off)) {
    return fail(why, "read of the zip central directory failed");
  }
  size_t pos = 0;
  for (uint32_t i = 0; i < end.entries; ++i) {
    Span s;
    uint32_t local = 0;
    if (!parse_central(cd, &pos, &s, &local, why)) {
      return false;
    }
    s.header_off = local;
    spans->push_back(std::move(s));
  }
  if (pos != cd.size()) {
    return fail(why, "zip central directory holds more than its entry count");
  }
  std::sort(spans->begin(), spans->end(),
            [](const Span& a, const Span& b) { return a.header_off < b.header_off; });
  uint64_t next = 0;
  for (Span& s : *spans) {
    if (s.header_off < next) {
      return fail(why, "zip member " + s.name + " overlaps another");
    }
    if (!check_local(fd, &s, end.cd_off, why)) {
      return false;
    }
    next = s.data_off + s.data_len;
  }
  return true;
}

// ---- tar ----

bool tar_size(const uint8_t* field, uint64_t* out) {
  uint64_t v = 0;
  size_t i = 0;
  while (i < 12 && field[i] == ' ') {
    ++i;
  }
  size_t digits = 0;
  for (; i < 12 && field[i] >= '0' && field[i] <= '7'; ++i, ++digits) {
    v = v * 8 + static_cast<uint64_t>(field[i] - '0');
  }
  for (; i < 12; ++i) {
    if (field[i] != ' ' && field[i] != '\0') {
      return false;
    }
  }
  *out = v;
  return digits > 0 && digits <= 11;
}

bool tar_spans(int fd, uint64_t size, std::vector<Span>* spans, std::string* why) {
  uint64_t pos = 0;
  while (pos + kTarBlock <= size) {
    uint8_t h[kTarBlock];
    if (!read_at(fd, h, sizeof(h), pos)) {
      return fail(why, "read of a tar header failed");
    }
    if (h[0] == 0) {
      return true;  // the readers stop at the first empty block
    }
    Span s;
    if (std::memcmp(h + 257, "ustar", 5) != 0 || !tar_size(h + 124, &s.data_len)) {
      return fail(why, "tar header at " + std::to_string(pos) + " is not ustar or its size bad");
    }
    s.name.assign(reinterpret_cast<const char*>(h), strnlen(reinterpret_cast<const char*>(h), 100));
    s.header_off = pos;
    s.data_off = pos + kTarBlock;
    if (s.data_off + s.data_len > size) {
      return fail(why, "tar member " + s.name + " is cut short");
    }
    pos = s.data_off + (s.data_len + kTarBlock - 1) / kTarBlock * kTarBlock;
    spans->push_back(std::move(s));
  }
  return true;
}

}  // namespace

bool scan_package(int fd, const std::string& only_member, PackageScan* out, std::string* why) {
  struct stat st {};
  uint8_t head[kTarBlock] = {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    return fail(why, "package is not a regular file");
  }
  const auto size = static_cast<uint64_t>(st.st_size);
  const bool have_head = size >= kTarBlock && read_at(fd, head, sizeof(head), 0);
  std::vector<Span> spans;
  bool ok = false;
  if (size >= 4 && (have_head || read_at(fd, head, 4, 0)) && le32(head) == kLocalSig) {
    ok = zip_spans(fd, size, &spans, why);
  } else if (have_head && std::memcmp(head + 257, "ustar", 5) == 0) {
    ok = tar_spans(fd, size, &spans, why);
  } else {
    return fail(why, "package is neither a zip nor a ustar archive");
  }
  if (!ok || !no_duplicates(spans, why)) {
    return false;
  }
  std::vector<uint8_t> buf(kReadStep);
  PackageScan scan;
  for (const Span& s : spans) {
    if (!take_member(fd, s, only_member, buf, &scan, why)) {
      return false;
    }
  }
  *out = std::move(scan);
  return true;
}

}  // namespace ota::sign
