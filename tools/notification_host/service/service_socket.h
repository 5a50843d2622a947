// Where the service listens and how a client reaches it: the default socket path, a listening
// socket taken over from socket activation or made here (private folder, 0600 socket, one service
// per path), the peer-credential check, and the client's connect.
#pragma once

#include <optional>
#include <string>
#include <variant>

namespace quenlarch::notification_host {

// $XDG_RUNTIME_DIR/quenlarch/notification-host.sock, or /tmp/quenlarch-UID/notification-host.sock
// when XDG_RUNTIME_DIR is unset.
std::string defaultSocketPath();

struct Listener {
  int fd = -1;
  std::string path;
  bool activated = false;  // passed in (LISTEN_FDS): the socket file belongs to whoever made it
  int lockFd = -1;         // held for the service's life when the socket was made here
};

// The socket passed in by socket activation, if there is one; otherwise a fresh socket bound at
// `path` (the default path when none is given). Fails with a one-line reason when another service
// holds the path, the path is something else, or the socket cannot be made.
std::variant<Listener, std::string> openListener(const std::optional<std::string>& path);
// Closes the socket, and removes the socket file when it was made here.
void closeListener(Listener& listener);

// True when the process at the other end of connection `fd` runs as this process's user.
bool peerIsSameUser(int fd);

// A connection to the service at `path`, or -1 with the reason in *error.
int connectToService(const std::string& path, std::string* error);

}  // namespace quenlarch::notification_host
