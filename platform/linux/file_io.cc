// Capped reads and atomic writes with plain POSIX calls, every one checked and retried on EINTR.
#include "platform/linux/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace quenlarch {
namespace {

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // Closes now, reporting whether the close succeeded (it can report a failed write-back).
  bool close() {
    const int fd = std::exchange(fd_, -1);
    return fd >= 0 && ::close(fd) == 0;
  }

 private:
  int fd_;
};

FileContents failed(FileError::Kind kind, int systemError = 0) {
  return FileContents{{}, FileError{kind, systemError}};
}

}  // namespace

std::string FileError::message(std::size_t maxBytes) const {
  switch (kind) {
    case Kind::kCannotOpen:
      return std::string("cannot open: ") + std::strerror(systemError);
    case Kind::kNotRegularFile:
      return "not a regular file";
    case Kind::kTooLarge:
      return "larger than " + std::to_string(maxBytes) + " bytes";
    case Kind::kCannotRead:
      return std::string("cannot read: ") + std::strerror(systemError);
    case Kind::kCannotWrite:
      return std::string("cannot write: ") + std::strerror(systemError);
  }
  return "cannot use the file";
}

FileContents readRegularFile(const std::string& path, std::size_t maxBytes) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) return failed(FileError::Kind::kCannotOpen, errno);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return failed(FileError::Kind::kCannotRead, errno);
  if (!S_ISREG(st.st_mode)) return failed(FileError::Kind::kNotRegularFile);
  if (static_cast<std::uintmax_t>(st.st_size) > maxBytes) return failed(FileError::Kind::kTooLarge);

  // Sized from st_size (plus one byte to notice growth), so that a small file costs a small
  // buffer; read to the end rather than trusting st_size, the file may have changed since.
  FileContents contents;
  std::string& bytes = contents.bytes;
  bytes.resize(static_cast<std::size_t>(st.st_size) + 1);
  std::size_t total = 0;
  while (total <= maxBytes) {
    if (total == bytes.size()) bytes.resize(std::min(bytes.size() * 2, maxBytes + 1));
    const ssize_t n = ::read(fd.get(), bytes.data() + total, bytes.size() - total);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return failed(FileError::Kind::kCannotRead, errno);
    if (n == 0) break;
    total += static_cast<std::size_t>(n);
  }
  if (total > maxBytes) return failed(FileError::Kind::kTooLarge);
  bytes.resize(total);
  return contents;
}

std::optional<FileError> writeFileAtomically(const std::string& path, std::string_view bytes,
                                             mode_t mode) {
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") {
    return FileError{FileError::Kind::kCannotWrite, EISDIR};
  }
  // Hidden, so that listings of the folder in the meantime do not pick it up.
  std::string tempPath = dir + "." + name + ".XXXXXX";
  FileDescriptor fd(::mkostemp(tempPath.data(), O_CLOEXEC));
  if (fd.get() < 0) return FileError{FileError::Kind::kCannotWrite, errno};
  // fsync before rename: otherwise a crash could leave the new name on an empty file.
  bool ok = writeAll(fd.get(), bytes).has_value() && ::fchmod(fd.get(), mode) == 0 &&
            ::fsync(fd.get()) == 0;
  int error = ok ? 0 : errno;
  if (!fd.close() && ok) {
    ok = false;
    error = errno;
  }
  if (ok && ::rename(tempPath.c_str(), path.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    ::unlink(tempPath.c_str());
    return FileError{FileError::Kind::kCannotWrite, error};
  }
  // Make the rename itself durable; best effort, the file is in place either way.
  FileDescriptor dirFd(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dirFd.get() >= 0) ::fsync(dirFd.get());
  return std::nullopt;
}

Expected<void> writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return unexpected(std::string(std::strerror(errno)));
    // write(2) returns 0 only for an empty request; never spin on it.
    if (n == 0) return unexpected(std::string("nothing was written"));
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

}  // namespace quenlarch
