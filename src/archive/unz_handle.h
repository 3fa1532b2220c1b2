// Owners for minizip reader handles: the archive, and the member opened in it.
#pragma once

#include <minizip/unzip.h>

#include <memory>

namespace ota {

struct UnzCloser {
  void operator()(void* archive) const { unzClose(archive); }
};
using UniqueUnz = std::unique_ptr<void, UnzCloser>;

// The member currently opened in an archive; closed unchecked on error paths, while
// close() reports minizip's verdict (UNZ_CRCERROR for a corrupt member read to its end,
// UNZ_BADZIPFILE for one that ended early).
class OpenMember {
 public:
  explicit OpenMember(unzFile archive) : archive_(archive) {}
  OpenMember(const OpenMember&) = delete;
  OpenMember& operator=(const OpenMember&) = delete;
  ~OpenMember() {
    if (archive_ != nullptr) {
      unzCloseCurrentFile(archive_);
    }
  }
  // minizip checks a member's CRC only when every declared byte was read, and a deflate
  // stream that ends early reads as a clean end of the member: a member not read to its
  // declared size is refused here, where every extraction closes its member.
  [[nodiscard]] int close();

 private:
  unzFile archive_;
};

// The Unix mode an entry records in the upper half of its external attributes.
inline constexpr unsigned long kZipLinkMask = 0xF0000000UL;
inline constexpr unsigned long kZipLinkType = 0xA0000000UL;
inline constexpr unsigned kZipPermMask = 0x1FF;

[[nodiscard]] inline bool zip_entry_is_link(const unz_file_info64& info) {
  return (info.external_fa & kZipLinkMask) == kZipLinkType;
}
// Permission bits, or -1 when the entry carries no Unix mode (made on another system).
[[nodiscard]] inline int zip_entry_perm(const unz_file_info64& info) {
  const unsigned long mode = (info.external_fa >> 16) & 0xFFFFUL;
  return mode == 0 ? -1 : static_cast<int>(mode & kZipPermMask);
}

}  // namespace ota
