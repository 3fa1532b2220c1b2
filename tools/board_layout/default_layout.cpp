// The board every test runs on unless it brings its own layout.
#include "board_layout.h"

#include <cstdio>
#include <cstdlib>

namespace ota::board {

namespace {

constexpr std::string_view kDefault =
    R"(# The default virtual board: eMMC in GPT order, then NOR flash in MTD order.
emmc misc      1M
emmc veeprom   1M
emmc flashcmd  1M
emmc boot      16M  ab
emmc system    48M  ab
emmc vbmeta    1M   ab
emmc app_param 8M   ab ext4
emmc HSM_FW    1M   bak
emmc HSM_RCA   1M   bak
emmc keyimage  1M   bak
emmc SBL       1M   bak
emmc userdata  192M ext4

nor  uboot     512K ab
nor  bl31      256K ab
nor  ddr_fw    128K ab
nor  nor_env   64K

boardinfo soc       rev2 evb
boardinfo board_id  1
boardinfo ddr_type  lpddr4
lifecycle DEVELOP
)";

}  // namespace

std::string_view default_layout_text() { return kDefault; }

Layout default_layout() {
  auto parsed = parse_layout(kDefault);
  if (!parsed) {
    // The built-in text is part of the program; a failure here is a build defect.
    std::fprintf(stderr, "default layout: %s\n", parsed.error().message().c_str());
    std::abort();
  }
  return std::move(parsed).value();
}

}  // namespace ota::board
