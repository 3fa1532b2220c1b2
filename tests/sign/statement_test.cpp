// The statement and signature texts: what the writer makes the reader takes back, and
// the reader refuses every deviation from the format.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "package_statement.h"
#include "package_verify.h"
#include "test_support.h"

namespace {

namespace sign = ota::sign;

const std::string kHash(64, 'a');
const std::string kHead = "mirvo-ota-statement 1\nsys_version 2.1.0\n";

sign::Statement sample() {
  sign::Statement st{.sys_version = "2.1.0"};
  st.members.push_back({.name = "gpt.conf", .stored_size = 120});
  st.members.push_back({.name = "data.json", .stored_size = 0});
  st.members[1].sha256[31] = 0xfe;
  return st;
}

TEST(Statement, FormatSortsAndParsesBack) {
  std::string why;
  const std::string text = sign::format_statement(sample(), &why);
  ASSERT_FALSE(text.empty()) << why;
  EXPECT_LT(text.find("member data.json 0 "), text.find("member gpt.conf 120 "));
  EXPECT_NE(text.find(std::string(62, '0') + "fe\n"), std::string::npos);
  sign::Statement back;
  ASSERT_TRUE(sign::parse_statement(text, &back, &why)) << why;
  EXPECT_EQ(back.sys_version, "2.1.0");
  ASSERT_EQ(back.members.size(), 2u);
  EXPECT_EQ(back.members[0], sample().members[1]);
  EXPECT_EQ(back.members[1], sample().members[0]);
}

TEST(Statement, WriterRefusesWhatTheFormatCannotCarry) {
  std::string why;
  sign::Statement st = sample();
  st.sys_version = "";
  EXPECT_TRUE(sign::format_statement(st, &why).empty());
  st = sample();
  st.members[0].name = "with blank";
  EXPECT_TRUE(sign::format_statement(st, &why).empty());
  st = sample();
  st.members[0].name = st.members[1].name;
  EXPECT_TRUE(sign::format_statement(st, &why).empty());
  EXPECT_NE(why.find("twice"), std::string::npos);
}

TEST(Statement, ReaderRefusesDeviations) {
  const std::string m1 = "member a 1 " + kHash + "\n";
  const std::string m2 = "member b 2 " + kHash + "\n";
  const std::vector<std::pair<const char*, std::string>> bad = {
      {"no members", kHead},
      {"no final line feed", kHead + m1.substr(0, m1.size() - 1)},
      {"wrong head", "mirvo-ota-statement 2\nsys_version 1\n" + m1},
      {"CR LF", "mirvo-ota-statement 1\r\nsys_version 1\n" + m1},
      {"out of order", kHead + m2 + m1},
      {"twice", kHead + m1 + m1},
      {"upper-case hex", kHead + "member a 1 " + std::string(64, 'A') + "\n"},
      {"short hash", kHead + "member a 1 " + kHash.substr(1) + "\n"},
      {"leading zero", kHead + "member a 01 " + kHash + "\n"},
      {"negative size", kHead + "member a -1 " + kHash + "\n"},
      {"size past 64 bits", kHead + "member a 18446744073709551616 " + kHash + "\n"},
      {"double blank", kHead + "member a  1 " + kHash + "\n"},
      {"extra field", kHead + "member a 1 " + kHash + " x\n"},
      {"long name", kHead + "member " + std::string(256, 'n') + " 1 " + kHash + "\n"},
      {"control character", kHead + "member a\tb 1 " + kHash + "\n"},
      {"empty version", "mirvo-ota-statement 1\nsys_version \n" + m1},
      {"oversized", kHead + std::string(sign::kMaxStatementBytes, '#') + "\n"},
  };
  for (const auto& [what, text] : bad) {
    sign::Statement st;
    std::string why;
    EXPECT_FALSE(sign::parse_statement(text, &st, &why)) << what;
    EXPECT_FALSE(why.empty()) << what;
  }
  sign::Statement st;
  std::string why;
  EXPECT_TRUE(sign::parse_statement(kHead + m1 + m2, &st, &why)) << why;
  EXPECT_TRUE(
      sign::parse_statement(kHead + "member a 18446744073709551615 " + kHash + "\n", &st, &why))
      << why;
  EXPECT_EQ(st.members[0].stored_size, UINT64_MAX);
}

TEST(Signature, RoundTripAndDeviations) {
  sign::SignatureRecord rec;
  rec.key_id[0] = 0x12;
  rec.signature[63] = 0xab;
  const std::string text = sign::format_signature(rec);
  sign::SignatureRecord back;
  std::string why;
  ASSERT_TRUE(sign::parse_signature(text, &back, &why)) << why;
  EXPECT_EQ(back.key_id, rec.key_id);
  EXPECT_EQ(back.signature, rec.signature);
  const std::vector<std::string> bad = {
      text.substr(0, text.size() - 1),         // no final line feed
      text.substr(0, text.size() - 3) + "\n",  // signature cut short
      text + "extra\n",
      "mirvo-ota-signature 1\nkey " + std::string(64, '0') + "\nrsa " + std::string(128, '0') +
          "\n",
  };
  for (const std::string& t : bad) {
    EXPECT_FALSE(sign::parse_signature(t, &back, &why)) << t;
  }
}

TEST(Versions, Order) {
  const std::vector<std::pair<const char*, const char*>> older_newer = {
      {"2.1.0", "2.1.1"}, {"2.9.1", "2.10.0"}, {"1.0", "1.0.1"}, {"v1.9", "v1.10"},
      {"1.0a", "1.0b"},   {"1.2", "1.a"},      {"009", "10"},
  };
  for (const auto& [older, newer] : older_newer) {
    EXPECT_LT(sign::compare_versions(older, newer), 0) << older << " < " << newer;
    EXPECT_GT(sign::compare_versions(newer, older), 0) << newer << " > " << older;
  }
  EXPECT_EQ(sign::compare_versions("2.01.0", "2.1.0"), 0);
  EXPECT_EQ(sign::compare_versions("", ""), 0);
}

// The fuzz seeds: ok_* texts are accepted, bad_* refused, as statement or signature by
// the folder they lie in.
TEST(FuzzCorpus, SigningSeeds) {
  namespace fs = std::filesystem;
  size_t seen = 0;
  for (const auto& e : fs::directory_iterator(fs::path(OTA_FUZZ_CORPUS_DIR) / "fuzz_signing")) {
    const std::string name = e.path().filename().string();
    const std::string text = ota_test::read_file(e.path().string());
    sign::Statement st;
    sign::SignatureRecord rec;
    std::string why;
    const bool ok = name.find("signature") != std::string::npos
                        ? sign::parse_signature(text, &rec, &why)
                        : sign::parse_statement(text, &st, &why);
    EXPECT_EQ(ok, name.starts_with("ok_")) << name << ": " << why;
    ++seen;
  }
  EXPECT_GE(seen, 4u);
}

}  // namespace
