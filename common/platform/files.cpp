#include "common/platform/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <climits>
#include <vector>

namespace vintra::platform {

UniqueFd& UniqueFd::operator=(UniqueFd&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = o.release();
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

Status UniqueFd::close() {
  if (fd_ < 0) return ok();
  int fd = release();
  if (::close(fd) != 0 && errno != EINTR) return Error::from_errno(errno);
  return ok();
}

EntryKind entry_kind_nofollow(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return EntryKind::kMissing;
  if (S_ISREG(st.st_mode)) return EntryKind::kRegular;
  if (S_ISDIR(st.st_mode)) return EntryKind::kDirectory;
  if (S_ISLNK(st.st_mode)) return EntryKind::kSymlink;
  return EntryKind::kOther;
}

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool is_regular_file(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}


namespace {

Error not_regular(const struct stat& st) {
  return S_ISDIR(st.st_mode) ? Error::from_errno(EISDIR) : Error("not a regular file");
}

// read(2) until `len` bytes or end of file; the count read, or the OS error.
Result<std::size_t> read_full(int fd, char* buf, std::size_t len) {
  std::size_t used = 0;
  while (used < len) {
    ssize_t n = ::read(fd, buf + used, len - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error::from_errno(errno);
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  return used;
}

// Reads `fd` to its end, or to `limit` bytes, whichever comes first. The buffer starts
// one byte larger than `size_hint` (the size the metadata gave), so that reaching the
// end of an unchanged file needs no second buffer, and only grows for a file that grew;
// `spare` bytes of capacity are kept after the text for readers that look ahead.
Result<std::string> read_to_end(int fd, std::size_t size_hint, std::size_t limit, std::size_t spare) {
  std::string buf;
  std::size_t initial = size_hint < limit ? size_hint + 1 : limit;
  buf.reserve(initial + spare);
  buf.resize(initial);
  std::size_t used = 0;
  for (;;) {
    auto got = read_full(fd, buf.data() + used, buf.size() - used);
    if (!got) return std::move(got).error();
    used += *got;
    if (used < buf.size() || used == limit) break;
    buf.resize(std::min(limit, std::max<std::size_t>(used * 2, used + 65536)));
  }
  buf.resize(used);
  if (buf.capacity() < used + spare) buf.reserve(used + spare);
  return buf;
}

std::size_t size_of(const struct stat& st) { return st.st_size > 0 ? static_cast<std::size_t>(st.st_size) : 0; }

}  // namespace

Result<std::string> read_regular_file_up_to(const std::string& path, std::size_t max_size) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return Error::from_errno(errno);
  if (!S_ISREG(st.st_mode)) return not_regular(st);
  if (st.st_size > 0 && static_cast<std::uint64_t>(st.st_size) > max_size) return Error::from_errno(EFBIG);
  // O_NONBLOCK: should a FIFO have been put at `path` since the stat, the open must
  // not wait for a writer; the fstat below then turns it away. Regular files ignore it.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return Error::from_errno(errno);
  UniqueFd guard(fd);
  if (::fstat(fd, &st) != 0) return Error::from_errno(errno);
  if (!S_ISREG(st.st_mode)) return not_regular(st);
  return read_to_end(fd, std::min<std::size_t>(size_of(st), max_size), max_size, 0);
}

Result<std::string> read_file(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Error::from_errno(errno);
  UniqueFd guard(fd);
  struct stat st;
  const std::size_t size = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? size_of(st) : 65536;
  return read_to_end(fd, size, SIZE_MAX, 0);
}

Result<std::string> read_file_nofollow(const std::string& path, std::size_t spare_capacity) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return Error::from_errno(errno);
  UniqueFd guard(fd);
  struct stat st;
  if (::fstat(fd, &st) != 0) return Error::from_errno(errno);
  if (!S_ISREG(st.st_mode)) return Error::from_errno(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
  return read_to_end(fd, size_of(st), SIZE_MAX, spare_capacity);
}

Status write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error::from_errno(errno);
    }
    if (n == 0) return Error::from_errno(EIO).context("failed to write whole buffer");
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return ok();
}

namespace {
// Files are only ever written when they are regular files: opening without blocking
// keeps a FIFO planted at the path from stalling the caller (no reader: ENXIO), and a
// FIFO or device that did open is refused before anything is written to it.
Result<UniqueFd> open_with(const std::string& path, int flags, unsigned mode) {
  int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, static_cast<mode_t>(mode));
  if (fd < 0) return Error::from_errno(errno);
  UniqueFd owned(fd);
  struct stat st;
  if (::fstat(fd, &st) != 0) return Error::from_errno(errno);
  if (!S_ISREG(st.st_mode)) return not_regular(st);
  int fl = ::fcntl(fd, F_GETFL);
  if (fl >= 0) ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  return owned;
}
}  // namespace

Result<UniqueFd> open_truncate_nofollow(const std::string& path, unsigned mode) {
  return open_with(path, O_WRONLY | O_CREAT | O_TRUNC, mode);
}

Result<UniqueFd> open_append_nofollow(const std::string& path, unsigned mode) {
  return open_with(path, O_WRONLY | O_CREAT | O_APPEND, mode);
}

Result<UniqueFd> create_new(const std::string& path, unsigned mode) {
  return open_with(path, O_WRONLY | O_CREAT | O_EXCL, mode);
}

Result<UniqueFd> create_fresh(const std::string& path, unsigned mode) {
  // A few rounds in case something recreates the entry between unlink and open.
  for (int attempt = 0;; ++attempt) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      // EISDIR/EPERM on a directory: let the exclusive open report it.
    }
    auto fd = create_new(path, mode);
    if (fd || fd.error().os_error() != EEXIST || attempt >= 3) return fd;
  }
}

Status rename_file(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return Error::from_errno(errno);
  return ok();
}

Status remove_file(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return Error::from_errno(errno);
  return ok();
}

Status create_directories(const std::string& path, unsigned mode) {
  if (path.empty()) return ok();
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return ok();
    return Error::from_errno(EEXIST);
  }
  // Create parents first, then this one.
  std::string::size_type end = path.find_last_not_of('/');
  if (end == std::string::npos) return ok();  // "/" itself
  std::string::size_type slash = path.rfind('/', end);
  if (slash != std::string::npos && slash > 0) {
    auto parent = create_directories(path.substr(0, slash), mode);
    if (!parent) return parent;
  }
  if (::mkdir(path.c_str(), static_cast<mode_t>(mode)) != 0) {
    int err = errno;
    if (err == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return ok();
    return Error::from_errno(err);
  }
  return ok();
}

Result<std::string> current_dir() {
  std::vector<char> buf(PATH_MAX);
  for (;;) {
    if (::getcwd(buf.data(), buf.size()) != nullptr) return std::string(buf.data());
    if (errno != ERANGE) return Error::from_errno(errno);
    buf.resize(buf.size() * 2);
  }
}

}  // namespace vintra::platform
