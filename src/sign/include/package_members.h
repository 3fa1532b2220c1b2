// The members of a zip or ustar package as its readers see them, each with the SHA-256
// of its bytes as stored, in one forward read of the package.
//
// What a member's digest covers is everything a reader interprets for it, so that no
// header can be changed behind the statement's back:
//   zip: its central directory entry, then its local header (name and extra field
//        included) and its stored (compressed) data;
//   tar: its 512-byte header, then its data.
// The stored size is the data's byte count (compressed size in a zip).
// The statement and signature members are not digested: their text is returned; they
// must be stored uncompressed (zip method 0, plain tar data).
//
// Refused: anything but a plain zip (zip64, a comment, spanning, encryption, a central
// directory that does not end at its end record, overlapping members) or a ustar file;
// a member name twice; more than kMaxMembers members.
#pragma once

#include <string>
#include <vector>

#include "package_statement.h"

namespace ota::sign {

struct ScannedMember {
  MemberDigest digest;
  bool hashed = false;  // false for members the scan was told to skip
};

struct PackageScan {
  std::vector<ScannedMember> members;  // archive order, without the two signing members
  bool has_statement = false;
  bool has_signature = false;
  std::string statement;
  std::string signature;
};

// Scans the package open at fd. With only_member non-empty, only that member's bytes are
// digested (the others are listed with their sizes). False with *why on a refusal.
[[nodiscard]] bool scan_package(int fd, const std::string& only_member, PackageScan* out,
                                std::string* why);

}  // namespace ota::sign
