// Keychain path policy: the default location, creation and the owner-only, no-link rules.
#include "platform/linux/keychain_path.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace quenlarch {
namespace {

constexpr mode_t kOwnerOnly = 0600;

std::string homeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  struct passwd entry {};
  struct passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return {};
}

// Creates the folders on the way to `path`, owner-only. Failures show when the file is created.
void makeParentFolders(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    ::mkdir(path.substr(0, slash).c_str(), 0700);
  }
}

KeychainStoreProblem problemFromErrno(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
      return KeychainStoreProblem::kNoPermission;
    case ELOOP:
      return KeychainStoreProblem::kSymlink;
    case ENOSPC:
    case EDQUOT:
      return KeychainStoreProblem::kFull;
    default:
      return KeychainStoreProblem::kUnusable;
  }
}

// Tightens the open file `fd` to owner-only when it is wider.
KeychainStoreProblem tighten(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return problemFromErrno(errno);
  if (!S_ISREG(info.st_mode)) return KeychainStoreProblem::kUnusable;
  if ((info.st_mode & 0777) == kOwnerOnly) return KeychainStoreProblem::kNone;
  return ::fchmod(fd, kOwnerOnly) == 0 ? KeychainStoreProblem::kNone
                                       : KeychainStoreProblem::kNoPermission;
}

// Checks an existing file at `path`: not a link, a regular file, owner-only (tightened if need be).
// A missing file is fine when `mayBeMissing`.
KeychainStoreProblem checkExisting(const std::string& path, bool mayBeMissing) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    if (errno == ENOENT && mayBeMissing) return KeychainStoreProblem::kNone;
    return problemFromErrno(errno);
  }
  if (S_ISLNK(info.st_mode)) return KeychainStoreProblem::kSymlink;
  if (!S_ISREG(info.st_mode)) return KeychainStoreProblem::kUnusable;
  // O_NOFOLLOW: a link swapped in since the lstat is refused rather than followed.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  // A -wal file goes when the last connection to the database closes, maybe since the lstat.
  if (fd < 0 && errno == ENOENT && mayBeMissing) return KeychainStoreProblem::kNone;
  if (fd < 0) return problemFromErrno(errno);
  const KeychainStoreProblem problem = tighten(fd);
  ::close(fd);
  return problem;
}

}  // namespace

std::string defaultKeychainPath() {
  if (const char* path = std::getenv("QUENLARCH_KEYCHAIN"); path != nullptr && *path != '\0') {
    return path;
  }
  if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && data[0] == '/') {
    return std::string(data) + "/quenlarch/keychain.sqlite";
  }
  std::string home = homeFolder();
  if (home.empty()) return {};
  return home + "/.local/share/quenlarch/keychain.sqlite";
}

KeychainFileCheck prepareKeychainFile(const std::string& path, bool create) {
  if (path.empty()) return {false, KeychainStoreProblem::kUnusable};
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    if (errno != ENOENT && errno != ENOTDIR) return {false, problemFromErrno(errno)};
    if (errno == ENOTDIR || !create) {
      return {false,
              errno == ENOTDIR ? KeychainStoreProblem::kUnusable : KeychainStoreProblem::kNone};
    }
    // Created here, owner-only whatever the umask, without touching the process-wide umask under
    // other threads. SQLite gives the -wal and -shm files it creates the same permissions.
    auto createFile = [&] {
      return ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kOwnerOnly);
    };
    int fd = createFile();
    if (fd < 0 && errno == ENOENT) {
      makeParentFolders(path);
      fd = createFile();
    }
    if (fd >= 0) {
      const bool tightened = ::fchmod(fd, kOwnerOnly) == 0;
      ::close(fd);
      if (!tightened) return {true, KeychainStoreProblem::kNoPermission};
    } else if (errno != EEXIST) {  // EEXIST: another process created it first
      return {false, problemFromErrno(errno)};
    }
  }
  KeychainStoreProblem problem = checkExisting(path, false);
  for (const char* suffix : {"-wal", "-shm"}) {
    if (problem == KeychainStoreProblem::kNone) problem = checkExisting(path + suffix, true);
  }
  return {true, problem};
}

}  // namespace quenlarch
