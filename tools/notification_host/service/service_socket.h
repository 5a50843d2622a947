// Where the service listens and how a client reaches it: the default socket path and the trust
// checks on its folder, a listening socket taken over from socket activation or made here
// (private folder, 0600 socket, one service per path), the peer-credential check, and the
// client's connect, which makes sure the service is this user's before anything is written.
#pragma once

#include <optional>
#include <string>

#include "platform/linux/expected.h"

namespace quenlarch::notification_host {

// $XDG_RUNTIME_DIR/quenlarch/notification-host.sock, or /tmp/quenlarch-UID/notification-host.sock
// when XDG_RUNTIME_DIR is unset, empty or relative (the XDG rules say to ignore a relative one).
std::string defaultSocketPath();

// The socket's folder is this user's alone: a folder (not a link), owned by this user, and not
// writable by anyone else. Otherwise another user could have made it, or could swap the socket in
// it, and would receive every payload and answer with lines of their own.
Expected<void> checkPrivateFolder(const std::string& folder);

class Listener {
 public:
  // The socket passed in by socket activation, if there is one; otherwise a fresh socket bound at
  // `path` (the default path, its folder made private, when none is given). Fails with a one-line
  // reason when another service holds the path, the path is something else, its folder is
  // missing or not private, or the socket cannot be made.
  static Expected<Listener> open(const std::optional<std::string>& path);

  Listener(Listener&& other) noexcept;
  Listener& operator=(Listener&&) = delete;
  ~Listener();  // stopListening(), then lets go of the path

  int fd() const { return fd_; }
  // Where it listens, for the person reading stderr.
  std::string description() const;
  // Closes the socket and removes its file when it was made here. The path stays held until the
  // listener goes, so no second service starts beside one that is still finishing.
  void stopListening();

 private:
  Listener() = default;

  int fd_ = -1;
  std::string path_;
  bool activated_ = false;  // passed in (LISTEN_FDS): the socket file belongs to whoever made it
  int lockFd_ = -1;         // held for the service's life when the socket was made here
};

// True when the process at the other end of connection `fd` runs as this process's user.
bool peerIsSameUser(int fd);

// A connection to this user's service at `path` (the default path when none is given), whose
// folder, for the default path, has passed checkPrivateFolder, and whose peer runs as this user.
Expected<int> connectToService(const std::optional<std::string>& path);

}  // namespace quenlarch::notification_host
