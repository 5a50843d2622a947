// Keychain path policy: the default location, creation and the owner-only, no-link rules.
#include "platform/linux/keychain_path.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/linux/file_io.h"

namespace quenlarch {
namespace {

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

// Checks an existing file at `path`: not a link, a regular file. A missing file is fine when
// `mayBeMissing`.
KeychainStoreProblem checkExisting(const std::string& path, bool mayBeMissing) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    if (errno == ENOENT && mayBeMissing) return KeychainStoreProblem::kNone;
    return problemFromErrno(errno);
  }
  if (S_ISLNK(info.st_mode)) return KeychainStoreProblem::kSymlink;
  if (!S_ISREG(info.st_mode)) return KeychainStoreProblem::kUnusable;
  return KeychainStoreProblem::kNone;
}

// Tightens the file at `path` to owner-only when its mode is wider; a missing file is fine when
// `mayBeMissing`. By path, never through a descriptor of our own: SQLite holds POSIX locks on
// these files, and closing any descriptor of a file drops every such lock the process holds on
// it. fchmodat with AT_SYMLINK_NOFOLLOW refuses a link swapped in since the lstat.
KeychainStoreProblem tightenExisting(const std::string& path, bool mayBeMissing) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    // A -wal file goes when the last connection to the database closes, maybe just now.
    if (errno == ENOENT && mayBeMissing) return KeychainStoreProblem::kNone;
    return problemFromErrno(errno);
  }
  if (S_ISLNK(info.st_mode)) return KeychainStoreProblem::kSymlink;
  if (!S_ISREG(info.st_mode)) return KeychainStoreProblem::kUnusable;
  if ((info.st_mode & 0777) == kOwnerOnly) return KeychainStoreProblem::kNone;
  if (::fchmodat(AT_FDCWD, path.c_str(), kOwnerOnly, AT_SYMLINK_NOFOLLOW) == 0) {
    return KeychainStoreProblem::kNone;
  }
  if (errno == ENOENT && mayBeMissing) return KeychainStoreProblem::kNone;
  return errno == EOPNOTSUPP ? KeychainStoreProblem::kSymlink : KeychainStoreProblem::kNoPermission;
}

}  // namespace

Expected<std::string> defaultKeychainPath() {
  if (const char* path = std::getenv("QUENLARCH_KEYCHAIN"); path != nullptr && *path != '\0') {
    return std::string(path);
  }
  if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && data[0] == '/') {
    return std::string(data) + "/quenlarch/keychain.sqlite";
  }
  std::string home = homeFolder();
  if (home.empty()) {
    return unexpected(
        "no keychain path: QUENLARCH_KEYCHAIN is not set and there is no home folder");
  }
  return home + "/.local/share/quenlarch/keychain.sqlite";
}

Expected<bool, KeychainStoreProblem> prepareKeychainFile(const std::string& path, bool create) {
  if (path.empty()) return unexpected(KeychainStoreProblem::kUnusable);
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    if (errno == ENOTDIR) return unexpected(KeychainStoreProblem::kUnusable);
    if (errno != ENOENT) return unexpected(problemFromErrno(errno));
    if (!create) return false;
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
      if (!tightened) return unexpected(KeychainStoreProblem::kNoPermission);
    } else if (errno != EEXIST) {  // EEXIST: another process created it first
      return unexpected(problemFromErrno(errno));
    }
  }
  KeychainStoreProblem problem = checkExisting(path, false);
  for (const char* suffix : {"-wal", "-shm"}) {
    if (problem == KeychainStoreProblem::kNone) problem = checkExisting(path + suffix, true);
  }
  if (problem != KeychainStoreProblem::kNone) return unexpected(problem);
  return true;
}

Expected<void, KeychainStoreProblem> makeKeychainFilesOwnerOnly(const std::string& path) {
  KeychainStoreProblem problem = tightenExisting(path, false);
  for (const char* suffix : {"-wal", "-shm"}) {
    if (problem == KeychainStoreProblem::kNone) problem = tightenExisting(path + suffix, true);
  }
  if (problem != KeychainStoreProblem::kNone) return unexpected(problem);
  return {};
}

}  // namespace quenlarch
