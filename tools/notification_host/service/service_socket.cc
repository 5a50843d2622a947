// Service socket. One service per path is enforced with a lock file beside the socket rather than
// by probing the socket: two services starting together would both find a stale file, both remove
// it and both bind, and the first would then listen on a path that no longer leads to it.
#include "tools/notification_host/service/service_socket.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

namespace quenlarch::notification_host {
namespace {

std::string errnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

std::optional<sockaddr_un> addressFor(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return std::nullopt;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

std::string folderOf(const std::string& path) {
  std::string folder = std::filesystem::path(path).parent_path().string();
  return folder.empty() ? "." : folder;
}

bool folderMissing(const std::string& folder) {
  struct stat info {};
  return ::stat(folder.c_str(), &info) != 0 && errno == ENOENT;
}

std::string missingFolder(const std::string& folder) {
  return "the folder " + folder + " of the socket does not exist";
}

// The default folder is made here when it is missing, born private.
Expected<void> makePrivateFolder(const std::string& folder) {
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    return unexpected(errnoText("cannot create " + folder));
  }
  return checkPrivateFolder(folder);
}

Expected<Listener> failed(const std::string& reason) { return unexpected(reason); }

}  // namespace

std::string defaultSocketPath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string folder = runtime != nullptr && runtime[0] == '/'
                           ? std::string(runtime) + "/quenlarch"
                           : "/tmp/quenlarch-" + std::to_string(::geteuid());
  return folder + "/notification-host.sock";
}

Expected<void> checkPrivateFolder(const std::string& folder) {
  struct stat info {};
  if (::lstat(folder.c_str(), &info) != 0) {
    if (errno == ENOENT) return unexpected(missingFolder(folder));
    return unexpected(errnoText("cannot use the folder " + folder));
  }
  if (S_ISLNK(info.st_mode)) {
    return unexpected("the folder " + folder + " of the socket is a symbolic link");
  }
  if (!S_ISDIR(info.st_mode)) return unexpected(folder + " is not a folder");
  if (info.st_uid != ::geteuid()) {
    return unexpected("the folder " + folder + " of the socket belongs to another user");
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return unexpected("the folder " + folder + " of the socket is writable by other users");
  }
  return {};
}

Listener::Listener(Listener&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      path_(std::move(other.path_)),
      activated_(other.activated_),
      lockFd_(std::exchange(other.lockFd_, -1)) {}

Listener::~Listener() {
  stopListening();
  if (lockFd_ >= 0) ::close(lockFd_);
}

std::string Listener::description() const {
  if (!activated_) return path_;
  sockaddr_un address{};
  socklen_t size = sizeof address;
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) == 0 &&
      address.sun_path[0] != '\0') {
    return std::string(address.sun_path) + " (passed in by socket activation)";
  }
  return "the socket passed in by socket activation";
}

void Listener::stopListening() {
  if (fd_ < 0) return;
  if (!activated_) ::unlink(path_.c_str());
  ::close(fd_);
  fd_ = -1;
}

Expected<Listener> Listener::open(const std::optional<std::string>& path) {
  const int passed = sd_listen_fds(/*unset_environment=*/1);
  if (passed < 0) return failed("socket activation: " + std::string(std::strerror(-passed)));
  if (passed > 0) {
    if (passed != 1) {
      return failed("socket activation passed " + std::to_string(passed) + " sockets, not one");
    }
    const int fd = SD_LISTEN_FDS_START;
    if (sd_is_socket_unix(fd, SOCK_STREAM, 1, nullptr, 0) <= 0) {
      return failed("the socket passed in is no listening Unix stream socket");
    }
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    Listener listener;
    listener.fd_ = fd;
    listener.activated_ = true;
    return listener;
  }

  Listener listener;
  listener.path_ = path.value_or(defaultSocketPath());
  std::optional<sockaddr_un> address = addressFor(listener.path_);
  if (!address) return failed("the socket path " + listener.path_ + " is empty or too long");
  const std::string folder = folderOf(listener.path_);
  if (!path) {
    if (Expected<void> made = makePrivateFolder(folder); !made) return failed(made.error());
  } else if (folderMissing(folder)) {
    return failed(missingFolder(folder));
  }

  // O_NOFOLLOW: a link planted at the lock's name must not make the service create or lock a
  // file elsewhere.
  const std::string lockPath = listener.path_ + ".lock";
  listener.lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (listener.lockFd_ < 0) return failed(errnoText("cannot open " + lockPath));
  if (::flock(listener.lockFd_, LOCK_EX | LOCK_NB) != 0) {
    return failed("another notification-host service already listens on " + listener.path_);
  }
  // Holding the lock, a socket file there belongs to a service that is gone, unless something
  // without the lock (a socket-activated service) still answers on it.
  struct stat info {};
  if (::lstat(listener.path_.c_str(), &info) == 0) {
    if (!S_ISSOCK(info.st_mode)) return failed(listener.path_ + " exists and is not a socket");
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool answered =
        probe >= 0 &&
        ::connect(probe, reinterpret_cast<const sockaddr*>(&*address), sizeof *address) == 0;
    if (probe >= 0) ::close(probe);
    if (answered) {
      return failed("another notification-host service already listens on " + listener.path_);
    }
    ::unlink(listener.path_.c_str());
  }

  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return failed(errnoText("socket"));
  // Born 0600: no moment in which another user could connect. No other thread runs yet, so the
  // process-wide umask can be changed for the bind.
  const mode_t previous = ::umask(0177);
  const int bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&*address), sizeof *address);
  ::umask(previous);
  if (bound != 0 || ::listen(fd, SOMAXCONN) != 0) {
    std::string error = errnoText("cannot listen on " + listener.path_);
    if (bound == 0) ::unlink(listener.path_.c_str());
    ::close(fd);
    return failed(error);
  }
  listener.fd_ = fd;
  return listener;
}

bool peerIsSameUser(int fd) {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return false;
  return peer.uid == ::geteuid();
}

Expected<int> connectToService(const std::optional<std::string>& given) {
  const std::string path = given.value_or(defaultSocketPath());
  const std::string folder = folderOf(path);
  const std::string nobody = "no notification-host service listens on " + path;
  // What to run, for someone who has never started one (or has no user manager to start it).
  const std::string startIt =
      "; start it with `notification-host serve --app APP`, or enable notification-host.socket";
  if (folderMissing(folder)) {
    return unexpected(nobody + " (" + missingFolder(folder) + ")" + startIt);
  }
  if (!given) {
    if (Expected<void> trusted = checkPrivateFolder(folder); !trusted) {
      return unexpected("not using " + path + ": " + trusted.error());
    }
  }
  std::optional<sockaddr_un> address = addressFor(path);
  if (!address) return unexpected("the socket path " + path + " is empty or too long");
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return unexpected(errnoText("socket"));
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0) {
    std::string error = nobody + " (" + std::strerror(errno) + ")" + startIt;
    ::close(fd);
    return unexpected(error);
  }
  if (!peerIsSameUser(fd)) {
    ::close(fd);
    return unexpected("what listens on " + path + " runs as another user; not sending it anything");
  }
  return fd;
}

}  // namespace quenlarch::notification_host
