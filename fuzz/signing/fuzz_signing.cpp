// The statement and signature members come from the package: any bytes must be parsed or
// refused without a fault, and whatever is accepted must write back to the same bytes
// (the format has one spelling per content) within the format's limits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "package_statement.h"

namespace sign = ota::sign;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  sign::Statement st;
  std::string why;
  if (sign::parse_statement(text, &st, &why)) {
    if (st.members.empty() || st.members.size() > sign::kMaxMembers ||
        sign::format_statement(st, &why) != text) {
      std::abort();
    }
  } else if (why.empty()) {
    std::abort();
  }
  sign::SignatureRecord rec;
  if (sign::parse_signature(text, &rec, &why) && sign::format_signature(rec) != text) {
    std::abort();
  }
  return 0;
}
