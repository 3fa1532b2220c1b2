// Strict reader and writer of the statement and signature members.
#include "package_statement.h"

#include <algorithm>
#include <charconv>

namespace ota::sign {
namespace {

constexpr std::string_view kStatementHead = "mirvo-ota-statement 1";
constexpr std::string_view kSignatureHead = "mirvo-ota-signature 1";

bool fail(std::string* why, std::string text) {
  if (why != nullptr) {
    *why = std::move(text);
  }
  return false;
}

// Splits text into lines, each ended by LF; false when the last one is not ended.
bool split_lines(std::string_view text, std::vector<std::string_view>* lines) {
  while (!text.empty()) {
    const size_t end = text.find('\n');
    if (end == std::string_view::npos) {
      return false;
    }
    lines->push_back(text.substr(0, end));
    text.remove_prefix(end + 1);
  }
  return true;
}

// Splits a line on single blanks; an empty field (two blanks, a leading or trailing
// blank) makes the line malformed.
bool split_words(std::string_view line, std::vector<std::string_view>* words) {
  while (true) {
    const size_t end = line.find(' ');
    const std::string_view word = line.substr(0, end);
    if (word.empty()) {
      return false;
    }
    words->push_back(word);
    if (end == std::string_view::npos) {
      return true;
    }
    line.remove_prefix(end + 1);
  }
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  return -1;
}

template <size_t N>
bool parse_hex(std::string_view text, std::array<uint8_t, N>* out) {
  if (text.size() != 2 * N) {
    return false;
  }
  for (size_t i = 0; i < N; ++i) {
    const int hi = hex_value(text[2 * i]);
    const int lo = hex_value(text[2 * i + 1]);
    if (hi < 0 || lo < 0) {
      return false;
    }
    (*out)[i] = static_cast<uint8_t>(hi * 16 + lo);
  }
  return true;
}

bool parse_size(std::string_view text, uint64_t* out) {
  if (text.empty() || text.size() > 20 || (text.size() > 1 && text[0] == '0')) {
    return false;
  }
  if (!std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *out);
  return ec == std::errc() && end == text.data() + text.size();
}

bool parse_member(std::string_view line, size_t index, MemberDigest* out, std::string* why) {
  std::vector<std::string_view> w;
  const std::string where = "statement line " + std::to_string(index + 1);
  if (!split_words(line, &w) || w.size() != 4 || w[0] != "member") {
    return fail(why, where + ": not \"member NAME SIZE SHA256\"");
  }
  if (!is_statement_word(w[1], kMaxNameLen)) {
    return fail(why, where + ": member name is empty, too long or not printable ASCII");
  }
  if (!parse_size(w[2], &out->stored_size)) {
    return fail(why, where + ": size is not a decimal number");
  }
  if (!parse_hex(w[3], &out->sha256)) {
    return fail(why, where + ": SHA-256 is not 64 lower-case hex digits");
  }
  out->name = std::string(w[1]);
  return true;
}

}  // namespace

bool is_statement_word(std::string_view word, size_t max_len) {
  return !word.empty() && word.size() <= max_len &&
         std::all_of(word.begin(), word.end(), [](char c) { return c > ' ' && c < 0x7f; });
}

std::string to_hex(const uint8_t* bytes, size_t len) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * len);
  for (size_t i = 0; i < len; ++i) {
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 0x0f]);
  }
  return out;
}

bool parse_statement(std::string_view text, Statement* out, std::string* why) {
  if (text.size() > kMaxStatementBytes) {
    return fail(why, "statement larger than " + std::to_string(kMaxStatementBytes) + " bytes");
  }
  std::vector<std::string_view> lines;
  if (!split_lines(text, &lines)) {
    return fail(why, "statement does not end in a line feed");
  }
  if (lines.size() < 3 || lines[0] != kStatementHead) {
    return fail(why, "statement lacks its \"mirvo-ota-statement 1\" head or its members");
  }
  if (lines.size() - 2 > kMaxMembers) {
    return fail(why, "statement lists more than " + std::to_string(kMaxMembers) + " members");
  }
  std::vector<std::string_view> w;
  if (!split_words(lines[1], &w) || w.size() != 2 || w[0] != "sys_version" ||
      !is_statement_word(w[1], kMaxVersionLen)) {
    return fail(why, "statement line 2 is not \"sys_version VERSION\"");
  }
  Statement st;
  st.sys_version = std::string(w[1]);
  for (size_t i = 2; i < lines.size(); ++i) {
    MemberDigest m;
    if (!parse_member(lines[i], i, &m, why)) {
      return false;
    }
    if (!st.members.empty() && !(st.members.back().name < m.name)) {
      return fail(why, "statement member " + m.name + " is out of order or listed twice");
    }
    st.members.push_back(std::move(m));
  }
  *out = std::move(st);
  return true;
}

bool parse_signature(std::string_view text, SignatureRecord* out, std::string* why) {
  if (text.size() > kMaxSignatureBytes) {
    return fail(why, "signature member larger than " + std::to_string(kMaxSignatureBytes));
  }
  std::vector<std::string_view> lines;
  if (!split_lines(text, &lines) || lines.size() != 3 || lines[0] != kSignatureHead) {
    return fail(why, "signature member is not the three lines of \"mirvo-ota-signature 1\"");
  }
  std::vector<std::string_view> key;
  std::vector<std::string_view> sig;
  SignatureRecord rec;
  if (!split_words(lines[1], &key) || key.size() != 2 || key[0] != "key" ||
      !parse_hex(key[1], &rec.key_id)) {
    return fail(why, "signature line 2 is not \"key\" and 64 lower-case hex digits");
  }
  if (!split_words(lines[2], &sig) || sig.size() != 2 || sig[0] != "ed25519" ||
      !parse_hex(sig[1], &rec.signature)) {
    return fail(why, "signature line 3 is not \"ed25519\" and 128 lower-case hex digits");
  }
  *out = rec;
  return true;
}

std::string format_statement(Statement statement, std::string* why) {
  if (!is_statement_word(statement.sys_version, kMaxVersionLen)) {
    fail(why, "sys_version \"" + statement.sys_version +
                  "\" is empty, longer than 127 or holds a blank or control character");
    return {};
  }
  if (statement.members.empty() || statement.members.size() > kMaxMembers) {
    fail(why, "a statement lists 1 to " + std::to_string(kMaxMembers) + " members");
    return {};
  }
  std::sort(statement.members.begin(), statement.members.end(),
            [](const MemberDigest& a, const MemberDigest& b) { return a.name < b.name; });
  std::string text = std::string(kStatementHead) + "\nsys_version " + statement.sys_version + "\n";
  for (size_t i = 0; i < statement.members.size(); ++i) {
    const MemberDigest& m = statement.members[i];
    if (!is_statement_word(m.name, kMaxNameLen) ||
        (i > 0 && statement.members[i - 1].name == m.name)) {
      fail(why, "member name \"" + m.name + "\" cannot be signed (blank, control character, " +
                    "over 255 bytes or twice in the package)");
      return {};
    }
    text += "member " + m.name + " " + std::to_string(m.stored_size) + " " +
            to_hex(m.sha256.data(), m.sha256.size()) + "\n";
  }
  if (text.size() > kMaxStatementBytes) {
    fail(why, "statement would exceed " + std::to_string(kMaxStatementBytes) + " bytes");
    return {};
  }
  return text;
}

std::string format_signature(const SignatureRecord& record) {
  return std::string(kSignatureHead) + "\nkey " +
         to_hex(record.key_id.data(), record.key_id.size()) + "\ned25519 " +
         to_hex(record.signature.data(), record.signature.size()) + "\n";
}

}  // namespace ota::sign
