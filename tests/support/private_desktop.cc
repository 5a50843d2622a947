// Private bus, virtual display, notification server and bus observer for the desktop tests.
#include "tests/support/private_desktop.h"

#include <signal.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "tests/support/run_command.h"

namespace quenlarch::testing {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPatience = std::chrono::seconds(10);

std::optional<std::string> onPath(const std::string& name) {
  if (name.find('/') != std::string::npos) {
    return ::access(name.c_str(), X_OK) == 0 ? std::optional(name) : std::nullopt;
  }
  const char* path = std::getenv("PATH");
  std::string rest = path != nullptr ? path : "/usr/bin:/bin";
  while (!rest.empty()) {
    std::size_t colon = rest.find(':');
    std::string candidate = rest.substr(0, colon) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    rest = colon == std::string::npos ? "" : rest.substr(colon + 1);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> missingProgram(const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    if (!onPath(name)) return name;
  }
  return std::nullopt;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& extraEnv, bool readOutput) {
  std::optional<std::string> program = onPath(argv.at(0));
  if (!program) return;
  SubprocessOptions options;
  options.argv = argv;
  options.argv[0] = *program;
  options.environment = extraEnv;
  options.input = SubprocessOptions::Stream::kNull;
  options.output = readOutput ? SubprocessOptions::Stream::kPipe : SubprocessOptions::Stream::kNull;
  options.error = SubprocessOptions::Stream::kNull;
  std::string error;
  process_ = Subprocess::start(options, &error);
}

ChildProcess::~ChildProcess() { terminate(); }  // Subprocess kills what is still there

std::optional<int> ChildProcess::terminate() {
  if (!process_) return std::nullopt;
  if (!process_->reaped()) {
    // A polite end first, so that servers remove what they made (X's lock file and socket); one
    // that a test stopped is woken to receive it.
    ::kill(process_->pid(), SIGTERM);
    ::kill(process_->pid(), SIGCONT);
    process_->waitUntil(Clock::now() + kPatience);
  }
  return process_->exitCode();
}

pid_t ChildProcess::pid() const { return process_ ? process_->pid() : 0; }

bool ChildProcess::running() const { return process_ && !process_->tryReap(); }

std::optional<std::string> ChildProcess::readLine() {
  const auto deadline = Clock::now() + kPatience;
  while (process_) {
    if (std::size_t end = output_.find('\n'); end != std::string::npos) {
      std::string line = output_.substr(0, end);
      output_.erase(0, end + 1);
      return line;
    }
    if (process_->readOutput(output_, deadline) != Subprocess::ReadStatus::kData) break;
  }
  return std::nullopt;
}

PrivateBus::PrivateBus(const std::string& folder) {
  const std::string socket = folder + "/bus";
  const std::string config = folder + "/bus.conf";
  std::ofstream(config)
      << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
         "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
         "<busconfig><type>session</type><listen>unix:path="
      << socket
      << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
         "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
         "<allow own=\"*\"/></policy></busconfig>\n";
  address_ = "unix:path=" + socket;
  daemon_.emplace(std::vector<std::string>{"dbus-daemon", "--nofork", "--print-address=1",
                                           "--config-file=" + config},
                  std::vector<std::string>{}, true);
  // The daemon prints its address once it accepts clients.
  std::optional<std::string> printed = daemon_->readLine();
  ready_ = printed && !printed->empty();
}

void PrivateBus::pause(bool paused) const {
  if (daemon_ && daemon_->pid() > 0) ::kill(daemon_->pid(), paused ? SIGSTOP : SIGCONT);
}

VirtualDisplay::VirtualDisplay() {
  server_.emplace(std::vector<std::string>{"Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-screen",
                                           "0", "800x480x24"},
                  std::vector<std::string>{}, true);
  // Xvfb writes the display number it took, then a newline, once it accepts clients.
  std::optional<std::string> number = server_->readLine();
  if (number && !number->empty()) display_ = ":" + *number;
}

BusObserver::BusObserver(const std::string& address) {
  sd_bus* bus = nullptr;
  if (sd_bus_new(&bus) < 0) return;
  if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
      sd_bus_start(bus) < 0 ||
      sd_bus_match_signal(bus, nullptr, nullptr, nullptr, "com.canonical.Unity.LauncherEntry",
                          "Update", &BusObserver::onSignal, this) < 0 ||
      sd_bus_match_signal(bus, nullptr, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                          "org.freedesktop.DBus", "NameOwnerChanged", &BusObserver::onSignal,
                          this) < 0) {
    sd_bus_unref(bus);
    return;
  }
  bus_ = bus;
}

BusObserver::~BusObserver() {
  if (bus_ != nullptr) sd_bus_flush_close_unref(bus_);
}

int BusObserver::onSignal(sd_bus_message* message, void* self, sd_bus_error*) {
  auto* observer = static_cast<BusObserver*>(self);
  if (sd_bus_message_is_signal(message, "org.freedesktop.DBus", "NameOwnerChanged")) {
    const char *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
    if (sd_bus_message_read(message, "sss", &name, &oldOwner, &newOwner) >= 0 && name[0] == ':' &&
        newOwner[0] == '\0') {
      ++observer->clientsLeft_;
    }
    return 0;
  }
  LauncherUpdate update;
  const char* uri = nullptr;
  if (sd_bus_message_read(message, "s", &uri) < 0) return 0;
  update.appUri = uri;
  if (sd_bus_message_enter_container(message, 'a', "{sv}") < 0) return 0;
  while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
    const char* key = nullptr;
    sd_bus_message_read(message, "s", &key);
    std::int64_t count = 0;
    int visible = 0;
    if (std::strcmp(key, "count") == 0 && sd_bus_message_read(message, "v", "x", &count) >= 0) {
      update.count = count;
    } else if (std::strcmp(key, "count-visible") == 0 &&
               sd_bus_message_read(message, "v", "b", &visible) >= 0) {
      update.countVisible = visible != 0;
    } else {
      sd_bus_message_skip(message, "v");
    }
    sd_bus_message_exit_container(message);
  }
  observer->updates_.push_back(update);
  return 0;
}

bool BusObserver::waitForName(const std::string& name) {
  for (auto deadline = Clock::now() + kPatience; bus_ != nullptr && Clock::now() < deadline;) {
    sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C99 compound literal
    sd_bus_message* reply = nullptr;
    int owned = 0;
    if (sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner", &error, &reply, "s",
                           name.c_str()) >= 0) {
      sd_bus_message_read(reply, "b", &owned);
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    if (owned != 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

bool BusObserver::waitForClientToLeave() {
  for (auto deadline = Clock::now() + kPatience; bus_ != nullptr && Clock::now() < deadline;) {
    while (sd_bus_process(bus_, nullptr) > 0) {
    }
    if (clientsLeft_ > 0) {
      --clientsLeft_;
      return true;
    }
    sd_bus_wait(bus_, 100'000);
  }
  return false;
}

std::vector<BusObserver::LauncherUpdate> BusObserver::takeLauncherUpdates() {
  return std::exchange(updates_, {});
}

NotificationServer::NotificationServer(const std::string& folder, const std::string& display,
                                       const std::string& busAddress, BusObserver& observer)
    : env_{"DISPLAY=" + display, "DBUS_SESSION_BUS_ADDRESS=" + busAddress} {
  const std::string config = folder + "/dunstrc";
  // Identical notifications are kept apart, so that the history shows every one received.
  std::ofstream(config) << "[global]\n  font = DejaVu Sans 11\n  origin = top-right\n"
                           "  offset = 12x12\n  width = 380\n  notification_limit = 6\n"
                           "  stack_duplicates = false\n"
                           "[urgency_normal]\n  timeout = 0\n";
  server_.emplace(std::vector<std::string>{"dunst", "-config", config}, env_);
  ready_ = server_->running() && observer.waitForName("org.freedesktop.Notifications");
}

std::optional<std::vector<HistoryEntry>> NotificationServer::closeAllAndReadHistory() const {
  if (runCommand({*onPath("dunstctl"), "close-all"}, "", env_).exitCode != 0) return std::nullopt;
  CommandResult history = runCommand({*onPath("dunstctl"), "history"}, "", env_);
  nlohmann::json json = nlohmann::json::parse(history.out, nullptr, false);
  if (history.exitCode != 0 || !json.contains("data") || !json["data"].is_array() ||
      json["data"].empty()) {
    return std::nullopt;
  }
  std::vector<HistoryEntry> entries;
  const auto text = [](const nlohmann::json& entry, const char* key) {
    return entry.contains(key) ? entry[key].value("data", "") : std::string();
  };
  // dunst lists the most recent first.
  for (const nlohmann::json& entry : json["data"][0]) {
    entries.insert(entries.begin(),
                   {text(entry, "appname"), text(entry, "summary"), text(entry, "body")});
  }
  return entries;
}

FakeNotificationServer::FakeNotificationServer(const std::string& busAddress,
                                               const std::vector<std::string>& flags)
    : process_(
          [&] {
            std::vector<std::string> argv{FAKE_NOTIFICATION_SERVER_PATH};
            argv.insert(argv.end(), flags.begin(), flags.end());
            return argv;
          }(),
          {"DBUS_SESSION_BUS_ADDRESS=" + busAddress}, true) {
  ready_ = process_.readLine() == "ready";
}

std::optional<nlohmann::json> FakeNotificationServer::nextNotify() {
  std::optional<std::string> line = process_.readLine();
  if (!line) return std::nullopt;
  return nlohmann::json::parse(*line, nullptr, false);
}

}  // namespace quenlarch::testing
