// File operations with the guarantees a root daemon needs: whole reads, complete
// writes, atomic replacement, and creation that never follows a symbolic link that
// someone planted where a file of ours is about to be created.
//
// All paths are UTF-8 or raw bytes as the system takes them. Every function is
// thread-safe (no shared state); serialising writers of one file is the caller's job.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.hpp"

namespace vintra::platform {

// An owned file descriptor, closed on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() { int f = fd_; fd_ = -1; return f; }
  // Closes now and reports the close error, if any.
  Status close();

 private:
  int fd_ = -1;
};

enum class EntryKind { kMissing, kRegular, kDirectory, kSymlink, kOther };

// Kind of the entry at `path` without following a final symbolic link
// (kMissing when its metadata cannot be read at all).
EntryKind entry_kind_nofollow(const std::string& path);
// Whether the metadata of `path` can be read, following symbolic links.
bool exists(const std::string& path);
// Whether `path` is a regular file, following symbolic links.
bool is_regular_file(const std::string& path);

// Reads the whole file. Fails with the OS error (ENOENT, EACCES, EISDIR, ...).
Result<std::string> read_file(const std::string& path);

// Reads the regular file at `path`, following symbolic links, when its metadata gives
// it at most `max_size` bytes: until end of file or `max_size` bytes, whichever comes
// first (bytes appended after the metadata was read count up to `max_size`, the rest
// is ignored). The buffer is sized once from the metadata, so a file that does not
// change while it is read costs exactly its size in memory and no reallocation.
// Fails, with nothing kept, with EFBIG when the metadata gives more than `max_size`
// bytes (nothing is opened); with EISDIR for a directory; with "not a regular file"
// for any other kind of entry (FIFO, device, socket), which is never read, so the call
// cannot hang on a FIFO without writer or read an endless device; otherwise with the
// OS error of stat, open or read. Reads interrupted by signals are retried.
Result<std::string> read_regular_file_up_to(const std::string& path, std::size_t max_size);

// Reads the whole of the regular file at `path` without following a final symbolic
// link (ELOOP) and without blocking on a FIFO or device planted there (EINVAL for
// anything but a regular file). The result has at least `spare_capacity` bytes of
// capacity past its end, for parsers that read ahead of the text they interpret.
Result<std::string> read_file_nofollow(const std::string& path, std::size_t spare_capacity = 0);

// Writes all of `data`, continuing after partial writes and retrying on EINTR;
// a write that accepts zero bytes is an error.
Status write_all(int fd, std::string_view data);

// The three openers below write only to regular files: a FIFO, device or socket at
// the path is refused (never waited on), so is a directory (EISDIR).
//
// Opens `path` for writing, created with `mode` (before the umask) when missing and
// truncated when present; a symbolic link at `path` is not followed (ELOOP).
Result<UniqueFd> open_truncate_nofollow(const std::string& path, unsigned mode = 0666);
// Opens `path` for appending, created when missing, never truncated; a symbolic link
// at `path` is not followed (ELOOP).
Result<UniqueFd> open_append_nofollow(const std::string& path, unsigned mode = 0666);
// Creates `path` as a new, empty file: whatever non-directory entry is there (a stale
// temporary file, or a link someone planted) is unlinked first, then the file is created
// exclusively, so the descriptor always refers to a file this process just made.
Result<UniqueFd> create_fresh(const std::string& path, unsigned mode = 0666);
// Creates `path` only if nothing exists there (O_EXCL, never following a link).
Result<UniqueFd> create_new(const std::string& path, unsigned mode = 0666);

// rename(2).
Status rename_file(const std::string& from, const std::string& to);
// unlink(2).
Status remove_file(const std::string& path);
// Creates the directory and all missing parents with `mode` (before the umask).
// Succeeds when the directory exists already.
Status create_directories(const std::string& path, unsigned mode = 0777);

// The process's current working directory.
Result<std::string> current_dir();

}  // namespace vintra::platform
