// The board's side of signed packages: the keyring of Ed25519 public keys, the check of
// a package against it, and the comparison of system versions for the downgrade rule.
// The signer's side (one Ed25519 private key) serves the host's packer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "package_statement.h"

namespace ota::sign {

// The board's keyring: every "*.pem" file of the folder holding an Ed25519 public key
// (PEM "PUBLIC KEY"). A key is picked by its id, the SHA-256 of its 32 raw bytes, so a
// next key can join the folder before the old one leaves it.
inline constexpr const char* kKeyringDir = "/etc/mirvo/ota-keys";
// Present in the keyring folder: signed packages older than the installed system pass.
inline constexpr const char* kAllowDowngradeFile = "allow-downgrade";

struct PublicKey;  // an Ed25519 key with its id
using PublicKeyPtr = std::shared_ptr<const PublicKey>;

class Keyring {
 public:
  // Loads the folder's usable keys; a file that is not one is skipped with a warning.
  // False (why set) when the folder cannot be read.
  [[nodiscard]] bool load(const std::string& dir, std::string* why);
  [[nodiscard]] size_t size() const { return keys_.size(); }
  [[nodiscard]] PublicKeyPtr find(const Sha256& id) const;

 private:
  std::vector<PublicKeyPtr> keys_;
};

struct Verified {
  std::string sys_version;
};

// Checks the package at fd: its signature by a key of the keyring over the statement, and
// every member against the statement (names, sizes, SHA-256; a member missing from either
// side refuses it). With only_member set, only that member's digest is compared (the list
// of names and sizes still must match). False with why on any refusal.
[[nodiscard]] bool verify_package(int fd, const Keyring& keyring, const std::string& only_member,
                                  Verified* out, std::string* why);

// The id of the public key in a PEM public or private key file; false with why.
[[nodiscard]] bool key_id_of_pem(const std::string& pem_path, Sha256* id, std::string* why);

// Signs statement with the Ed25519 private key in pem_path: the signature member's text,
// or empty with why.
[[nodiscard]] std::string sign_statement(const std::string& pem_path, const std::string& statement,
                                         std::string* why);

// Orders two version texts: runs of digits compare as numbers, other runs byte by byte,
// a digit run before a non-digit one ("2.10.0" > "2.9.1", "1.0" < "1.0.1"). <0, 0, >0.
[[nodiscard]] int compare_versions(const std::string& a, const std::string& b);

}  // namespace ota::sign
