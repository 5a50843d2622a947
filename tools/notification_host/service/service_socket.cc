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

// The default folder is made private here; a folder that exists must already be ours and closed
// to others, or the socket in it could be swapped by someone else.
std::optional<std::string> makePrivateFolder(const std::string& folder) {
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    return errnoText("cannot create " + folder);
  }
  struct stat info {};
  if (::lstat(folder.c_str(), &info) != 0) return errnoText("cannot use " + folder);
  if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) {
    return folder + " is not a folder of this user";
  }
  if ((info.st_mode & 0077) != 0 && ::chmod(folder.c_str(), 0700) != 0) {
    return errnoText("cannot make " + folder + " private");
  }
  return std::nullopt;
}

std::variant<Listener, std::string> activatedListener(int count) {
  if (count != 1) return "socket activation passed " + std::to_string(count) + " sockets, not one";
  int fd = SD_LISTEN_FDS_START;
  if (sd_is_socket_unix(fd, SOCK_STREAM, 1, nullptr, 0) <= 0) {
    return std::string("the socket passed in is no listening Unix stream socket");
  }
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  Listener listener;
  listener.fd = fd;
  listener.activated = true;
  return listener;
}

}  // namespace

std::string defaultSocketPath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string folder = runtime != nullptr && *runtime != '\0'
                           ? std::string(runtime) + "/quenlarch"
                           : "/tmp/quenlarch-" + std::to_string(::geteuid());
  return folder + "/notification-host.sock";
}

std::variant<Listener, std::string> openListener(const std::optional<std::string>& path) {
  int passed = sd_listen_fds(/*unset_environment=*/1);
  if (passed < 0) return "socket activation: " + std::string(std::strerror(-passed));
  if (passed > 0) return activatedListener(passed);

  Listener listener;
  listener.path = path.value_or(defaultSocketPath());
  std::optional<sockaddr_un> address = addressFor(listener.path);
  if (!address) return "the socket path " + listener.path + " is empty or too long";
  if (!path) {
    std::string folder = std::filesystem::path(listener.path).parent_path().string();
    if (std::optional<std::string> error = makePrivateFolder(folder)) return *error;
  }

  std::string lockPath = listener.path + ".lock";
  listener.lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (listener.lockFd < 0) return errnoText("cannot open " + lockPath);
  if (::flock(listener.lockFd, LOCK_EX | LOCK_NB) != 0) {
    ::close(listener.lockFd);
    return "another notification-host service already listens on " + listener.path;
  }
  // Holding the lock, a socket file there belongs to a service that is gone, unless something
  // without the lock (a socket-activated service) still answers on it.
  struct stat info {};
  if (::lstat(listener.path.c_str(), &info) == 0) {
    std::string ignored;
    int probe = S_ISSOCK(info.st_mode) ? connectToService(listener.path, &ignored) : -1;
    if (!S_ISSOCK(info.st_mode) || probe >= 0) {
      if (probe >= 0) ::close(probe);
      closeListener(listener);
      return probe >= 0 ? "another notification-host service already listens on " + listener.path
                        : listener.path + " exists and is not a socket";
    }
    ::unlink(listener.path.c_str());
  }

  listener.fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listener.fd < 0) {
    std::string error = errnoText("socket");
    closeListener(listener);
    return error;
  }
  // Born 0600: no moment in which another user could connect. No other thread runs yet, so the
  // process-wide umask can be changed for the bind.
  mode_t previous = ::umask(0177);
  int bound = ::bind(listener.fd, reinterpret_cast<const sockaddr*>(&*address), sizeof *address);
  ::umask(previous);
  if (bound != 0 || ::listen(listener.fd, SOMAXCONN) != 0) {
    std::string error = errnoText("cannot listen on " + listener.path);
    ::close(listener.fd);
    listener.fd = -1;
    closeListener(listener);
    return error;
  }
  return listener;
}

void closeListener(Listener& listener) {
  if (listener.fd >= 0) {
    if (!listener.activated) ::unlink(listener.path.c_str());
    ::close(listener.fd);
    listener.fd = -1;
  }
  if (listener.lockFd >= 0) {
    ::close(listener.lockFd);
    listener.lockFd = -1;
  }
}

bool peerIsSameUser(int fd) {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return false;
  return peer.uid == ::geteuid();
}

int connectToService(const std::string& path, std::string* error) {
  std::optional<sockaddr_un> address = addressFor(path);
  if (!address) {
    *error = "the socket path " + path + " is empty or too long";
    return -1;
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = errnoText("socket");
    return -1;
  }
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0) {
    *error = "no notification-host service listens on " + path + " (" + std::strerror(errno) + ")";
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace quenlarch::notification_host
