// A desktop session of its own for tests: a private D-Bus session bus, a virtual X display, a real
// notification server (dunst) on both, and an observer of the launcher-badge signal. Every process
// is started here and stopped by its pid; sockets live in the test's temporary folder, except the
// X display's, which the X server keeps in /tmp/.X11-unix (it picks a free number itself).
#pragma once

#include <sys/types.h>
#include <systemd/sd-bus.h>

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/subprocess.h"

namespace quenlarch::testing {

// The first program in `names` that is not on PATH, or none when all are.
std::optional<std::string> missingProgram(const std::vector<std::string>& names);

// A background process, sent SIGTERM (and SIGKILL if it has not ended within 10 s) and reaped
// when the object goes, or when terminate() is called.
class ChildProcess {
 public:
  // Starts `argv` (argv[0] looked up on PATH unless it is a path) with `extraEnv` added. Its output
  // is kept for readLine() with `readOutput`, else discarded, as its error always is.
  ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
               bool readOutput = false);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Sends SIGTERM and waits (up to 10 s) for the end; the exit status when it exited then.
  std::optional<int> terminate();
  // 0 when it did not start.
  pid_t pid() const;
  bool running() const;
  // The next line of its output, waiting up to 10 s; none when it ended or printed no line.
  std::optional<std::string> readLine();

 private:
  std::unique_ptr<Subprocess> process_;
  std::string output_;
};

// dbus-daemon with a session configuration that listens only on <folder>/bus, owns no service
// files (nothing is started on demand) and lets every client see every signal.
class PrivateBus {
 public:
  explicit PrivateBus(const std::string& folder);
  bool ready() const { return ready_; }
  const std::string& address() const { return address_; }
  // Stops or resumes the daemon (SIGSTOP, SIGCONT), as a bus that stops reading its clients.
  void pause(bool paused) const;

 private:
  std::string address_;
  std::optional<ChildProcess> daemon_;
  bool ready_ = false;
};

// Xvfb on the first free display; display() is like ":3".
class VirtualDisplay {
 public:
  VirtualDisplay();
  const std::string& display() const { return display_; }  // empty when it did not start

 private:
  std::optional<ChildProcess> server_;
  std::string display_;
};

// What `dunstctl history` reports of one notification.
struct HistoryEntry {
  std::string appName;
  std::string summary;
  std::string body;
  friend bool operator==(const HistoryEntry&, const HistoryEntry&) = default;
};

// A client of the private bus that records LauncherEntry Update signals and can tell when another
// client has left. Not thread-safe.
class BusObserver {
 public:
  struct LauncherUpdate {
    std::string appUri;
    std::optional<std::int64_t> count;
    std::optional<bool> countVisible;
    friend bool operator==(const LauncherUpdate&, const LauncherUpdate&) = default;
  };

  explicit BusObserver(const std::string& address);
  ~BusObserver();
  BusObserver(const BusObserver&) = delete;
  BusObserver& operator=(const BusObserver&) = delete;

  bool connected() const { return bus_ != nullptr; }
  // Waits (up to 10 s) until `name` has an owner on the bus.
  bool waitForName(const std::string& name);
  // Waits (up to 10 s) until a client that connected after this observer has disconnected. The bus
  // handles everything a client sent before it handles its leaving, so every signal that client
  // emitted has been recorded by then.
  bool waitForClientToLeave();
  // The Update signals recorded since the last call.
  std::vector<LauncherUpdate> takeLauncherUpdates();

 private:
  static int onSignal(sd_bus_message* message, void* self, sd_bus_error* error);

  sd_bus* bus_ = nullptr;
  std::vector<LauncherUpdate> updates_;
  int clientsLeft_ = 0;
};

// The notification server on `display` and the bus at `busAddress`; waits until it owns
// org.freedesktop.Notifications. Notifications stay up until closed, so that a screenshot shows
// them.
class NotificationServer {
 public:
  NotificationServer(const std::string& folder, const std::string& display,
                     const std::string& busAddress, BusObserver& observer);
  bool ready() const { return ready_; }
  // Closes every shown notification and returns the whole history, oldest first; none when
  // `dunstctl history` failed or gave no JSON.
  std::optional<std::vector<HistoryEntry>> closeAllAndReadHistory() const;

 private:
  std::vector<std::string> env_;
  std::optional<ChildProcess> server_;
  bool ready_ = false;
};

// fake-notification-server (tests/support) on the bus at `busAddress`, started with `flags`;
// waits until it owns org.freedesktop.Notifications.
class FakeNotificationServer {
 public:
  FakeNotificationServer(const std::string& busAddress, const std::vector<std::string>& flags);
  bool ready() const { return ready_; }
  pid_t pid() const { return process_.pid(); }
  // The next Notify call it received (its arguments and "sender"), waiting up to 10 s.
  std::optional<nlohmann::json> nextNotify();

 private:
  ChildProcess process_;
  bool ready_ = false;
};

}  // namespace quenlarch::testing
