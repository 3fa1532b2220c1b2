#include <fcntl.h>
#include <minizip/zip.h>
#include <sys/stat.h>

#include <ctime>
#include <memory>
#include <utility>
#include <vector>

#include "archive_writer.h"
#include "member_source.h"

namespace ota::archive {
namespace {

constexpr uLong kMadeByUnix = (3UL << 8) | 30UL;  // host Unix, version 3.0
constexpr uint64_t kZip64Threshold = 0xFFFFFFFFULL;

tm_zip to_zip_time(int64_t mtime) {
  const auto t = static_cast<time_t>(mtime);
  struct tm local {};
  localtime_r(&t, &local);
  tm_zip out{};
  out.tm_sec = static_cast<uInt>(local.tm_sec);
  out.tm_min = static_cast<uInt>(local.tm_min);
  out.tm_hour = static_cast<uInt>(local.tm_hour);
  out.tm_mday = static_cast<uInt>(local.tm_mday);
  out.tm_mon = static_cast<uInt>(local.tm_mon);
  out.tm_year = static_cast<uInt>(local.tm_year + 1900);
  return out;
}

Error zip_error(int code, const std::string& what) {
  return Error(code, what + " failed (minizip " + std::to_string(code) + ")");
}

}  // namespace

struct ZipWriter::State {
  std::string path;
  zipFile zip = nullptr;
  std::vector<uint8_t> buffer = std::vector<uint8_t>(kCopyStep);

  ~State() {
    if (zip != nullptr) {
      zipClose(zip, nullptr);  // abandoned: the archive is incomplete anyway
    }
  }

  Result<void> add(const ZipEntry& entry, uint32_t type_bits, MemberSource& source) {
    if (zip == nullptr) {
      return Error(EBADF, "archive already finished");
    }
    zip_fileinfo info{};
    info.tmz_date = to_zip_time(entry.mtime);
    info.external_fa = static_cast<uLong>(type_bits | (entry.mode & 07777)) << 16;
    const bool deflate = entry.method == ZipMethod::kDeflate;
    const int zip64 = source.size() >= kZip64Threshold ? 1 : 0;
    int rc = zipOpenNewFileInZip4_64(zip, entry.name.c_str(), &info, nullptr, 0, nullptr, 0,
                                     nullptr, deflate ? Z_DEFLATED : 0, deflate ? entry.level : 0,
                                     0, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0,
                                     kMadeByUnix, 0, zip64);
    if (rc != ZIP_OK) {
      return zip_error(rc, "open entry " + entry.name);
    }
    for (;;) {
      Result<size_t> got = source.read(buffer.data(), buffer.size());
      if (!got) {
        zipCloseFileInZip(zip);
        return std::move(got.error().context("entry " + entry.name));
      }
      if (got.value() == 0) {
        break;
      }
      rc = zipWriteInFileInZip(zip, buffer.data(), static_cast<unsigned>(got.value()));
      if (rc != ZIP_OK) {
        zipCloseFileInZip(zip);
        return zip_error(rc, "write entry " + entry.name);
      }
    }
    rc = zipCloseFileInZip(zip);
    return rc == ZIP_OK ? Result<void>() : zip_error(rc, "close entry " + entry.name);
  }
};

ZipWriter::ZipWriter(std::unique_ptr<State> state) : state_(std::move(state)) {}
ZipWriter::ZipWriter(ZipWriter&& other) noexcept = default;
ZipWriter& ZipWriter::operator=(ZipWriter&& other) noexcept = default;
ZipWriter::~ZipWriter() = default;

Result<ZipWriter> ZipWriter::create(const std::string& path) {
  auto state = std::make_unique<State>();
  state->path = path;
  state->zip = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
  if (state->zip == nullptr) {
    return tool::errno_error("create zip " + path);
  }
  return ZipWriter(std::move(state));
}

Result<void> ZipWriter::add_file(const ZipEntry& entry, const std::string& source_path) {
  Result<MemberSource> source = MemberSource::from_file(source_path);
  if (!source) {
    return std::move(source.error().context(state_->path));
  }
  Result<void> rc = state_->add(entry, S_IFREG, source.value());
  return rc ? rc : std::move(rc.error().context(state_->path));
}

Result<void> ZipWriter::add_bytes(const ZipEntry& entry, std::string_view data) {
  MemberSource source = MemberSource::from_bytes(data);
  Result<void> rc = state_->add(entry, S_IFREG, source);
  return rc ? rc : std::move(rc.error().context(state_->path));
}

Result<void> ZipWriter::add_directory(std::string name, uint32_t mode) {
  if (name.empty() || name.back() != '/') {
    name += '/';
  }
  MemberSource source = MemberSource::from_bytes({});
  ZipEntry entry{name, ZipMethod::kStore, 0, mode, kDefaultMtime};
  Result<void> rc = state_->add(entry, S_IFDIR, source);
  return rc ? rc : std::move(rc.error().context(state_->path));
}

Result<void> ZipWriter::add_symlink(const std::string& name, std::string_view target) {
  MemberSource source = MemberSource::from_bytes(target);
  ZipEntry entry{name, ZipMethod::kStore, 0, 0777, kDefaultMtime};
  Result<void> rc = state_->add(entry, S_IFLNK, source);
  return rc ? rc : std::move(rc.error().context(state_->path));
}

Result<void> ZipWriter::finish() {
  if (state_->zip == nullptr) {
    return Error(EBADF, state_->path + ": archive already finished");
  }
  const int rc = zipClose(std::exchange(state_->zip, nullptr), nullptr);
  if (rc != ZIP_OK) {
    return zip_error(rc, "close zip " + state_->path);
  }
  UniqueFd fd = open_fd(state_->path.c_str(), O_RDONLY);
  if (!fd || !sync_fd(fd.get())) {
    return tool::errno_error("sync " + state_->path);
  }
  return {};
}

}  // namespace ota::archive
