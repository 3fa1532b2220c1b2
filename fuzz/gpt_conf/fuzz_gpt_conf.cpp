// gpt.conf comes from the package: any text must be parsed or refused without a fault,
// and what is accepted must be a layout the check can use.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "gpt_conf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<gpt_conf_entry> entries;
  if (gpt_conf_parse(text, &entries) != 0) {
    return 0;
  }
  for (const gpt_conf_entry& e : entries) {
    if (e.name.empty() || e.start < 0 || e.end < e.start ||
        (e.medium != GPT_CONF_MEDIUM_NOR && e.medium != GPT_CONF_MEDIUM_EMMC)) {
      std::abort();
    }
  }
  return 0;
}
