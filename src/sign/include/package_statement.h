// The two members that make a package signed: the statement ("ota_statement"), a text
// that lists every other member with its stored size and SHA-256, and the package's
// sys_version; and the signature ("ota_signature"), an Ed25519 signature over the
// statement's exact bytes with the id of the key that made it. Both are parsed strictly:
// anything the formats below do not allow is refused.
//
//   ota_statement                         ota_signature
//   mirvo-ota-statement 1                 mirvo-ota-signature 1
//   sys_version 2.1.0                     key <64 hex: SHA-256 of the raw public key>
//   member NAME SIZE <64 hex>  (sorted)   ed25519 <128 hex: the 64-byte signature>
//
// Every line ends in one LF; hex digits are lower case; sizes are decimal without
// leading zeros. Member names are sorted by byte value, so no name occurs twice.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ota::sign {

inline constexpr const char* kStatementMember = "ota_statement";
inline constexpr const char* kSignatureMember = "ota_signature";

inline constexpr size_t kMaxStatementBytes = 64 * 1024;
inline constexpr size_t kMaxSignatureBytes = 512;
inline constexpr size_t kMaxMembers = 512;
inline constexpr size_t kMaxNameLen = 255;
inline constexpr size_t kMaxVersionLen = 127;

using Sha256 = std::array<uint8_t, 32>;
using Ed25519Sig = std::array<uint8_t, 64>;

struct MemberDigest {
  std::string name{};
  uint64_t stored_size = 0;
  Sha256 sha256{};
  bool operator==(const MemberDigest&) const = default;
};

struct Statement {
  std::string sys_version{};
  std::vector<MemberDigest> members{};  // sorted by name
};

struct SignatureRecord {
  Sha256 key_id{};
  Ed25519Sig signature{};
};

// False with *why set on anything outside the format.
[[nodiscard]] bool parse_statement(std::string_view text, Statement* out, std::string* why);
[[nodiscard]] bool parse_signature(std::string_view text, SignatureRecord* out, std::string* why);

// The canonical text of a statement (members sorted here); empty when a name or the
// version cannot be written in the format (why says which).
[[nodiscard]] std::string format_statement(Statement statement, std::string* why);
[[nodiscard]] std::string format_signature(const SignatureRecord& record);

// A name or version the format can carry: printable ASCII without blanks.
[[nodiscard]] bool is_statement_word(std::string_view word, size_t max_len);

[[nodiscard]] std::string to_hex(const uint8_t* bytes, size_t len);

}  // namespace ota::sign
