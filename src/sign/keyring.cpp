// Ed25519 keys through OpenSSL's EVP interface: the board's keyring, the check of a
// signed package, and the packer's signing.
#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>

#include "ota_log.h"
#include "package_members.h"
#include "package_verify.h"
#include "unique_fd.h"

namespace ota::sign {

struct PublicKey {
  Sha256 id{};
  std::string file;
  std::shared_ptr<EVP_PKEY> pkey;
};

namespace {

constexpr size_t kMaxPemBytes = 16 * 1024;

bool fail(std::string* why, std::string text) {
  *why = std::move(text);
  return false;
}

struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
struct MdFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

std::shared_ptr<EVP_PKEY> own(EVP_PKEY* key) { return {key, EVP_PKEY_free}; }

// A key file's text, read without following a link, bounded.
bool read_small(int dir_fd, const char* name, const std::string& path, std::string* text,
                std::string* why) {
  ota::UniqueFd fd(dir_fd >= 0 ? ::openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC)
                               : ::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return fail(why, path + " is not a readable regular file");
  }
  text->resize(kMaxPemBytes + 1);
  const ssize_t n = ota::read_full(fd.get(), text->data(), text->size());
  if (n < 0 || static_cast<size_t>(n) > kMaxPemBytes) {
    return fail(why, path + " cannot be read or is larger than 16 KiB");
  }
  text->resize(static_cast<size_t>(n));
  return true;
}

// Parses a PEM key, public or private as asked.
std::shared_ptr<EVP_PKEY> parse_pem(const std::string& text, bool private_key) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
  if (!bio) {
    return nullptr;
  }
  EVP_PKEY* key = private_key ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr)
                              : PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr);
  return own(key);
}

bool raw_key_id(EVP_PKEY* key, Sha256* id) {
  uint8_t raw[32];
  size_t len = sizeof(raw);
  unsigned int out_len = 0;
  return EVP_PKEY_get_base_id(key) == EVP_PKEY_ED25519 &&
         EVP_PKEY_get_raw_public_key(key, raw, &len) == 1 && len == sizeof(raw) &&
         EVP_Digest(raw, len, id->data(), &out_len, EVP_sha256(), nullptr) == 1 &&
         out_len == id->size();
}

bool ed25519_verify(EVP_PKEY* key, const std::string& message, const Ed25519Sig& sig) {
  std::unique_ptr<EVP_MD_CTX, MdFree> ctx(EVP_MD_CTX_new());
  // Ed25519 signs the message itself: no digest is named.
  return ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key) == 1 &&
         EVP_DigestVerify(ctx.get(), sig.data(), sig.size(),
                          reinterpret_cast<const unsigned char*>(message.data()),
                          message.size()) == 1;
}

bool is_pem_name(const char* name) {
  const std::string n(name);
  return n.size() > 4 && n.ends_with(".pem") && n[0] != '.';
}

std::string hex_id(const Sha256& id) { return to_hex(id.data(), id.size()); }

// Compares the scanned members with the statement's list.
bool members_match(const PackageScan& scan, const Statement& st, std::string* why) {
  std::map<std::string, const MemberDigest*> listed;
  for (const MemberDigest& m : st.members) {
    listed.emplace(m.name, &m);
  }
  for (const ScannedMember& m : scan.members) {
    const auto it = listed.find(m.digest.name);
    if (it == listed.end()) {
      return fail(why, "member " + m.digest.name + " is not in the signed list");
    }
    if (it->second->stored_size != m.digest.stored_size ||
        (m.hashed && it->second->sha256 != m.digest.sha256)) {
      return fail(why,
                  "member " + m.digest.name + " differs from the signed list (size or SHA-256)");
    }
    listed.erase(it);
  }
  if (!listed.empty()) {
    return fail(why, "signed member " + listed.begin()->first + " is missing from the package");
  }
  return true;
}

}  // namespace

bool Keyring::load(const std::string& dir, std::string* why) {
  keys_.clear();
  ota::UniqueFd dfd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ota::UniqueDir d(dfd ? ::fdopendir(::dup(dfd.get())) : nullptr);
  if (!d) {
    return fail(why, "keyring " + dir + " cannot be read");
  }
  while (const dirent* de = ::readdir(d.get())) {
    if (!is_pem_name(de->d_name)) {
      continue;
    }
    const std::string path = dir + "/" + de->d_name;
    std::string text;
    std::string err;
    auto key = std::make_shared<PublicKey>();
    key->file = path;
    if (!read_small(dfd.get(), de->d_name, path, &text, &err)) {
      OTA_LOG_WARN("keyring: %s skipped\n", err.c_str());
      continue;
    }
    key->pkey = parse_pem(text, false);
    if (!key->pkey || !raw_key_id(key->pkey.get(), &key->id)) {
      OTA_LOG_WARN("keyring: %s skipped: not an Ed25519 PEM public key\n", path.c_str());
      continue;
    }
    keys_.push_back(std::move(key));
  }
  return true;
}

PublicKeyPtr Keyring::find(const Sha256& id) const {
  const auto it =
      std::find_if(keys_.begin(), keys_.end(), [&](const PublicKeyPtr& k) { return k->id == id; });
  return it == keys_.end() ? nullptr : *it;
}

bool verify_package(int fd, const Keyring& keyring, const std::string& only_member, Verified* out,
                    std::string* why) {
  if (keyring.size() == 0) {
    return fail(why, "the keyring holds no usable Ed25519 public key: every package is refused");
  }
  PackageScan scan;
  if (!scan_package(fd, only_member, &scan, why)) {
    return false;
  }
  if (!scan.has_statement || !scan.has_signature) {
    return fail(why, std::string("package is not signed (no ") +
                         (scan.has_statement ? kSignatureMember : kStatementMember) + " member)");
  }
  SignatureRecord sig;
  if (!parse_signature(scan.signature, &sig, why)) {
    return false;
  }
  const PublicKeyPtr key = keyring.find(sig.key_id);
  if (!key) {
    return fail(why, "package is signed by key " + hex_id(sig.key_id) + ", not in the keyring");
  }
  if (!ed25519_verify(key->pkey.get(), scan.statement, sig.signature)) {
    return fail(why, "signature by key " + key->file + " does not verify over the statement");
  }
  Statement st;
  if (!parse_statement(scan.statement, &st, why) || !members_match(scan, st, why)) {
    return false;
  }
  out->sys_version = st.sys_version;
  return true;
}

bool key_id_of_pem(const std::string& pem_path, Sha256* id, std::string* why) {
  std::string text;
  if (!read_small(-1, nullptr, pem_path, &text, why)) {
    return false;
  }
  std::shared_ptr<EVP_PKEY> key = parse_pem(text, true);
  if (!key) {
    key = parse_pem(text, false);
  }
  return (key && raw_key_id(key.get(), id)) || fail(why, pem_path + " holds no Ed25519 PEM key");
}

std::string sign_statement(const std::string& pem_path, const std::string& statement,
                           std::string* why) {
  std::string text;
  if (!read_small(-1, nullptr, pem_path, &text, why)) {
    return {};
  }
  const std::shared_ptr<EVP_PKEY> key = parse_pem(text, true);
  SignatureRecord rec;
  if (!key || !raw_key_id(key.get(), &rec.key_id)) {
    fail(why, pem_path + " holds no Ed25519 PEM private key");
    return {};
  }
  std::unique_ptr<EVP_MD_CTX, MdFree> ctx(EVP_MD_CTX_new());
  size_t len = rec.signature.size();
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
      EVP_DigestSign(ctx.get(), rec.signature.data(), &len,
                     reinterpret_cast<const unsigned char*>(statement.data()),
                     statement.size()) != 1 ||
      len != rec.signature.size()) {
    fail(why, "Ed25519 signing with " + pem_path + " failed");
    return {};
  }
  return format_signature(rec);
}

int compare_versions(const std::string& a, const std::string& b) {
  const auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() && j < b.size()) {
    const bool da = is_digit(a[i]);
    const bool db = is_digit(b[j]);
    if (da != db) {
      return da ? -1 : 1;
    }
    size_t ie = i;
    size_t je = j;
    while (ie < a.size() && is_digit(a[ie]) == da) {
      ++ie;
    }
    while (je < b.size() && is_digit(b[je]) == db) {
      ++je;
    }
    std::string_view ra(a.data() + i, ie - i);
    std::string_view rb(b.data() + j, je - j);
    if (da) {  // numbers: leading zeros dropped, then the longer is the larger
      ra.remove_prefix(std::min(ra.find_first_not_of('0'), ra.size()));
      rb.remove_prefix(std::min(rb.find_first_not_of('0'), rb.size()));
      if (ra.size() != rb.size()) {
        return ra.size() < rb.size() ? -1 : 1;
      }
    }
    if (const int c = ra.compare(rb); c != 0) {
      return c < 0 ? -1 : 1;
    }
    i = ie;
    j = je;
  }
  return (i < a.size()) - (j < b.size());
}

}  // namespace ota::sign
