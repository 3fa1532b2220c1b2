// The check of a signed package: one signed package is made per format, then altered the
// ways an attacker would; each alteration must be refused with a reason naming it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "archive_fixtures.h"
#include "package_members.h"
#include "package_verify.h"
#include "signing_keys.h"
#include "unique_fd.h"

namespace {

using archive_test::Member;
namespace sign = ota::sign;

std::vector<Member> package_members() {
  return {{.name = "data.json", .data = "{\"sys_version\": \"2.1.0\"}\n"},
          {.name = "gpt.conf", .data = "boot_a:1:2:3\n"},
          {.name = "ota_process",
           .data = "\x7f"
                   "ELF worker bytes",
           .mode = 0755},
          {.name = "boot.img", .data = ota_test::make_image_bytes(300000, 1)},
          {.name = "postinst_boot.sh", .data = "#!/bin/sh\nexit 0\n", .mode = 0755}};
}

void write_archive(const std::string& path, bool tar, const std::vector<Member>& members) {
  if (tar) {
    archive_test::write_tar(path, members);
  } else {
    archive_test::write_zip(path, members);
  }
}

bool scan(const std::string& path, sign::PackageScan* out, std::string* why) {
  const ota::UniqueFd fd = ota::open_fd(path.c_str(), O_RDONLY);
  return fd && sign::scan_package(fd.get(), "", out, why);
}

// The statement and signature members for these members, signed with key_pem.
std::vector<Member> signing_members(const std::string& scratch, bool tar,
                                    const std::vector<Member>& members, const std::string& key_pem,
                                    const std::string& version = "2.1.0") {
  write_archive(scratch, tar, members);
  sign::PackageScan s;
  std::string why;
  EXPECT_TRUE(scan(scratch, &s, &why)) << why;
  sign::Statement st{.sys_version = version};
  for (const auto& m : s.members) {
    st.members.push_back(m.digest);
  }
  const std::string text = sign::format_statement(st, &why);
  const std::string sig = sign::sign_statement(key_pem, text, &why);
  EXPECT_FALSE(sig.empty()) << why;
  return {{.name = sign::kStatementMember, .data = text, .stored = true},
          {.name = sign::kSignatureMember, .data = sig, .stored = true}};
}

std::vector<Member> joined(std::vector<Member> a, const std::vector<Member>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class SignedPackage : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir(dir_.file("keys").c_str(), 0700), 0);
    ota_test::make_key_pair(dir_.file("owner.pem"), dir_.file("keys/owner.pub.pem"));
  }
  bool verify(const std::string& path, const std::string& only = "",
              std::string* version = nullptr) {
    sign::Keyring ring;
    if (!ring.load(dir_.file("keys"), &why_)) {
      return false;
    }
    const ota::UniqueFd fd = ota::open_fd(path.c_str(), O_RDONLY);
    sign::Verified v;
    const bool ok = fd && sign::verify_package(fd.get(), ring, only, &v, &why_);
    if (version != nullptr) {
      *version = v.sys_version;
    }
    return ok;
  }
  std::string signed_package(const std::vector<Member>& members, const std::string& key) {
    const std::string path = dir_.file("pkg");
    write_archive(path, tar(),
                  joined(members, signing_members(dir_.file("scratch"), tar(), members, key)));
    return path;
  }
  bool tar() const { return GetParam(); }

  ota_test::TempDir dir_{};
  std::string why_;
};

TEST_P(SignedPackage, SignedPackageVerifiesAndNamesItsVersion) {
  std::string version;
  EXPECT_TRUE(verify(signed_package(package_members(), dir_.file("owner.pem")), "", &version))
      << why_;
  EXPECT_EQ(version, "2.1.0");
}

// Each row alters a correctly signed package; the check must refuse it for that reason.
TEST_P(SignedPackage, AlteredPackagesAreRefused) {
  ota_test::make_key_pair(dir_.file("stranger.pem"), dir_.file("stranger.pub.pem"));
  const std::string owner = dir_.file("owner.pem");
  const std::vector<Member> good = package_members();
  const std::vector<Member> signing = signing_members(dir_.file("scratch"), tar(), good, owner);
  const std::string path = dir_.file("pkg");
  struct Case {
    const char* what;
    std::function<void()> make;
    const char* reason;
  };
  auto with = [&](std::function<void(std::vector<Member>&)> change) {
    std::vector<Member> m = joined(good, signing);
    change(m);
    write_archive(path, tar(), m);
  };
  const std::vector<Case> cases = {
      {"unsigned", [&] { write_archive(path, tar(), good); }, "not signed"},
      {"signed by another key",
       [&] {
         write_archive(
             path, tar(),
             joined(good, signing_members(dir_.file("s"), tar(), good, dir_.file("stranger.pem"))));
       },
       "not in the keyring"},
      {"image swapped",
       [&] { with([](auto& m) { m[3].data = ota_test::make_image_bytes(300000, 2); }); },
       "boot.img differs"},
      {"data.json changed", [&] { with([](auto& m) { m[0].data[3] ^= 1; }); }, "data.json differs"},
      {"worker changed", [&] { with([](auto& m) { m[2].data += "!"; }); }, "ota_process differs"},
      {"hook mode changed", [&] { with([](auto& m) { m[4].mode = 0777; }); },
       "postinst_boot.sh differs"},
      {"member added",
       [&] { with([](auto& m) { m.push_back({.name = "evil.sh", .data = "x"}); }); },
       "evil.sh is not in the signed list"},
      {"member removed", [&] { with([](auto& m) { m.erase(m.begin() + 4); }); },
       "postinst_boot.sh is missing"},
      {"signature truncated",
       [&] { with([](auto& m) { m.back().data.resize(m.back().data.size() - 9); }); }, "signature"},
      {"statement altered",
       [&] { with([](auto& m) { m[5].data.replace(m[5].data.find("2.1.0"), 5, "9.9.9"); }); },
       "does not verify"},
      {"no statement", [&] { with([](auto& m) { m.erase(m.begin() + 5); }); }, "not signed"},
  };
  for (const Case& c : cases) {
    c.make();
    why_.clear();
    EXPECT_FALSE(verify(path)) << c.what;
    EXPECT_NE(why_.find(c.reason), std::string::npos) << c.what << ": " << why_;
  }
}

// A byte flipped where it lies in the archive, behind the writer's back.
TEST_P(SignedPackage, FlippedStoredByteIsRefused) {
  const std::string path = signed_package(package_members(), dir_.file("owner.pem"));
  std::string bytes = ota_test::read_file(path);
  const size_t at =
      bytes.find("#!/bin/sh") != std::string::npos ? bytes.find("#!/bin/sh") : bytes.size() / 3;
  bytes[at] ^= 0x20;
  ota_test::write_file(path, bytes);
  EXPECT_FALSE(verify(path));
  EXPECT_FALSE(why_.empty());
}

// The client checks only the worker it runs: other members are listed but not read.
TEST_P(SignedPackage, OnlyTheNamedMemberIsDigested) {
  std::vector<Member> good = package_members();
  good[3].stored = true;  // a swapped image keeps its stored size
  const std::vector<Member> signing =
      signing_members(dir_.file("scratch"), tar(), good, dir_.file("owner.pem"));
  std::vector<Member> m = joined(good, signing);
  m[3].data = ota_test::make_image_bytes(300000, 2);  // same size, other bytes
  const std::string path = dir_.file("pkg");
  write_archive(path, tar(), m);
  EXPECT_FALSE(verify(path));
  EXPECT_TRUE(verify(path, "ota_process")) << why_;
  m = joined(good, signing);
  m[2].data[1] ^= 1;
  write_archive(path, tar(), m);
  EXPECT_FALSE(verify(path, "ota_process"));
}

INSTANTIATE_TEST_SUITE_P(Formats, SignedPackage, ::testing::Values(false, true),
                         [](const auto& p) { return p.param ? "Tar" : "Zip"; });

// Key rotation: the next key joins the folder before the old one leaves; files that are
// no key are skipped; a folder without a usable key refuses everything.
TEST(Keyring, RotationAndUnusableFiles) {
  ota_test::TempDir dir;
  ASSERT_EQ(::mkdir(dir.file("keys").c_str(), 0700), 0);
  ota_test::make_key_pair(dir.file("old.pem"), dir.file("keys/old.pub.pem"));
  ota_test::make_key_pair(dir.file("new.pem"), dir.file("keys/new.pub.pem"));
  ota_test::write_file(dir.file("keys/junk.pem"), "-----BEGIN PUBLIC KEY-----\nAAAA\n");
  ota_test::write_file(dir.file("keys/README"), "not a key\n");
  sign::Keyring ring;
  std::string why;
  ASSERT_TRUE(ring.load(dir.file("keys"), &why)) << why;
  EXPECT_EQ(ring.size(), 2u);
  for (const char* key : {"old.pem", "new.pem"}) {
    sign::Sha256 id{};
    ASSERT_TRUE(sign::key_id_of_pem(dir.file(key), &id, &why)) << why;
    EXPECT_TRUE(ring.find(id)) << key;
  }
  // The private key file gives the same id as its public half in the folder.
  sign::Sha256 from_private{};
  sign::Sha256 from_public{};
  ASSERT_TRUE(sign::key_id_of_pem(dir.file("old.pem"), &from_private, &why));
  ASSERT_TRUE(sign::key_id_of_pem(dir.file("keys/old.pub.pem"), &from_public, &why));
  EXPECT_EQ(from_private, from_public);

  ASSERT_EQ(::mkdir(dir.file("empty").c_str(), 0700), 0);
  ota_test::write_file(dir.file("empty/junk.pem"), "nothing\n");
  ASSERT_TRUE(ring.load(dir.file("empty"), &why));
  EXPECT_EQ(ring.size(), 0u);
  archive_test::write_zip(dir.file("p.zip"), {{.name = "data.json", .data = "{}"}});
  const ota::UniqueFd fd = ota::open_fd(dir.file("p.zip").c_str(), O_RDONLY);
  sign::Verified v;
  EXPECT_FALSE(sign::verify_package(fd.get(), ring, "", &v, &why));
  EXPECT_NE(why.find("no usable"), std::string::npos) << why;
  EXPECT_FALSE(ring.load(dir.file("absent"), &why));
}

// Archives whose layout a reader could take otherwise than the check are refused.
TEST(PackageScan, AmbiguousArchivesAreRefused) {
  ota_test::TempDir dir;
  const std::string path = dir.file("p.zip");
  archive_test::write_zip(path, {{.name = "a", .data = "one"}, {.name = "b", .data = "two"}});
  const std::string plain = ota_test::read_file(path);
  sign::PackageScan s;
  std::string why;
  ASSERT_TRUE(scan(path, &s, &why)) << why;
  ASSERT_EQ(s.members.size(), 2u);
  EXPECT_EQ(s.members[0].digest.name, "a");
  EXPECT_TRUE(s.members[0].hashed && s.members[1].hashed);
  EXPECT_NE(s.members[0].digest.sha256, s.members[1].digest.sha256);

  const std::vector<std::pair<const char*, std::string>> cases = {
      {"trailing bytes", plain + "junk"},
      {"comment", plain.substr(0, plain.size() - 2) + std::string("\x04\x00", 2) + "note"},
      {"cut short", plain.substr(0, plain.size() - 30)},
      {"not an archive", std::string(1024, 'x')},
  };
  for (const auto& [what, bytes] : cases) {
    ota_test::write_file(path, bytes);
    EXPECT_FALSE(scan(path, &s, &why)) << what;
  }
  archive_test::write_zip(path, {{.name = "a", .data = "one"}, {.name = "a", .data = "two"}});
  EXPECT_FALSE(scan(path, &s, &why));
  EXPECT_NE(why.find("twice"), std::string::npos) << why;
  archive_test::write_tar(path, {{.name = "a", .data = "one"}, {.name = "a", .data = "two"}});
  EXPECT_FALSE(scan(path, &s, &why));
}

}  // namespace
