// ota_pack --sign: the signed package keeps every member (and data.json for today's
// parser) as the unsigned one has it, and adds the statement and signature the board checks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "kx_zip.h"
#include "manifest.h"
#include "pack_description.h"
#include "package_verify.h"
#include "packager.h"
#include "signing_keys.h"
#include "test_support.h"
#include "unique_fd.h"
#include "worker_state.h"

namespace {

namespace sign = ota::sign;

class SignedPackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ota_worker_reset_state();
    ASSERT_EQ(::mkdir(dir_.file("keys").c_str(), 0700), 0);
    ota_test::make_key_pair(dir_.file("owner.pem"), dir_.file("keys/owner.pub.pem"));
    ota_test::write_file(dir_.file("boot.img"), ota_test::make_image_bytes(300000, 1));
    ota_test::write_file(dir_.file("post.sh"), "#!/bin/sh\nexit 0\n");
  }
  void TearDown() override { ota_worker_reset_state(); }
  ota::tool::Result<void> pack(const std::string& text, const std::string& key,
                               const std::string& out) {
    auto d = ota::pack::parse_description(text, dir_.path());
    if (!d) {
      return d.error();
    }
    d.value().sign_key = key;
    return ota::pack::make_package(d.value(), dir_.file(out));
  }
  bool verify(const std::string& out, std::string* version, std::string* why) {
    sign::Keyring ring;
    sign::Verified v;
    const ota::UniqueFd fd = ota::open_fd(dir_.file(out).c_str(), O_RDONLY);
    const bool ok = ring.load(dir_.file("keys"), why) && fd &&
                    sign::verify_package(fd.get(), ring, "", &v, why);
    *version = v.sys_version;
    return ok;
  }
  ota_test::TempDir dir_;
};

const char* const kDesc = "key sys_version 3.2.1\npart boot boot.img\nhook post boot post.sh\n";

TEST_F(SignedPackTest, SignedZipAndTarVerifyAndKeepTheirMembers) {
  for (const std::string format : {"zip", "tar"}) {
    SCOPED_TRACE(format);
    const std::string text = "format " + format + "\n" + kDesc;
    const std::string plain = "plain." + format;
    const std::string signed_pkg = "signed." + format;
    ASSERT_TRUE(pack(text, "", plain).ok());
    const auto made = pack(text, dir_.file("owner.pem"), signed_pkg);
    ASSERT_TRUE(made.ok()) << made.error().message();
    std::string version;
    std::string why;
    EXPECT_TRUE(verify(signed_pkg, &version, &why)) << why;
    EXPECT_EQ(version, "3.2.1");
    EXPECT_FALSE(verify(plain, &version, &why));
    // The signed package is the unsigned one with the two members after all others.
    const std::string a = ota_test::read_file(dir_.file(plain));
    const std::string b = ota_test::read_file(dir_.file(signed_pkg));
    const size_t body = format == "zip" ? a.find("PK\x01\x02") : a.size() - 1024;
    EXPECT_EQ(a.substr(0, body), b.substr(0, body));
    EXPECT_EQ(kx_compress_has_file(dir_.file(signed_pkg).c_str(), "ota_statement"), 1);
    // data.json stays readable by the manifest parser.
    ota_test::TempDir out;
    ASSERT_EQ(kx_uncompress_one(dir_.file(signed_pkg).c_str(), out.path().c_str(), "data.json"), 0);
    EXPECT_EQ(ota_parse_json(ota_test::read_file(out.file("data.json")).c_str()), 0);
  }
}

TEST_F(SignedPackTest, RefusesWhatCannotBeSigned) {
  ota_test::write_file(dir_.file("pub_only.pem"),
                       ota_test::read_file(dir_.file("keys/owner.pub.pem")));
  ota_test::write_file(dir_.file("ota_statement"), "forged\n");
  const struct {
    const char* what;
    std::string text;
    std::string key;
    const char* message;
  } cases[] = {
      {"no sys_version", "part boot boot.img\n", dir_.file("owner.pem"), "key sys_version"},
      {"public key only", kDesc, dir_.file("pub_only.pem"), "no Ed25519 PEM private key"},
      {"missing key", kDesc, dir_.file("absent.pem"), "absent.pem"},
      {"reserved member name", std::string(kDesc) + "file ota_statement ota_statement\n", "",
       "reserved for the signature"},
  };
  for (const auto& c : cases) {
    const auto r = pack(c.text, c.key, "out.zip");
    ASSERT_FALSE(r.ok()) << c.what;
    EXPECT_NE(r.error().message().find(c.message), std::string::npos)
        << c.what << ": " << r.error().message();
    struct stat st {};
    EXPECT_NE(::stat(dir_.file("out.zip").c_str(), &st), 0) << c.what << ": package left behind";
  }
}

}  // namespace
