// fleet create: a new or empty folder filled with devices, one install each, all in this process
// (a process per device would cost more than the device). Each device is appended to the manifest
// as soon as it is complete, so a run that stops part-way leaves a manifest of exactly the devices
// it made, and says so.
#include "tools/badge_app/fleet_commands.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/linux/file_io.h"
#include "platform/linux/fleet_manifest.h"
#include "tools/badge_app/app_installation.h"
#include "tools/badge_app/command_output.h"
#include "tools/badge_app/installed_app.h"
#include "tools/badge_app/option_checks.h"

namespace quenlarch::badge_app {
namespace {

namespace fs = std::filesystem;
using tools::kExitFailed;
using tools::kExitOk;
using tools::kExitUsage;

constexpr unsigned kFleetThreads = 8;

struct FleetOptions {
  std::string dir;
  unsigned devices = 0;
  std::string team = kDefaultTeamId;
};

// The fleet's folder, canonical, created when absent. A folder with anything in it is refused:
// a second fleet mixed into it, or devices among other files, could not be told apart later.
CommandStep<std::string> prepareFleetFolder(const std::string& dir) {
  std::error_code ec;
  const fs::file_status status = fs::status(dir, ec);
  if (fs::exists(status)) {
    if (!fs::is_directory(status)) return failure(kExitUsage, dir + " is not a folder");
    if (fs::exists(fleetManifestPath(dir), ec)) {
      return failure(kExitUsage, dir + " holds a fleet already (" + kFleetManifestName +
                                     "); choose a new or empty folder");
    }
    if (!fs::is_empty(dir, ec) || ec) {
      return failure(kExitUsage, dir + " is not empty; choose a new or empty folder");
    }
  } else if (fs::create_directories(dir, ec); ec) {
    return failure(kExitFailed, "cannot create " + dir + ": " + ec.message());
  }
  fs::path canonical = fs::canonical(dir, ec);
  if (ec) return failure(kExitFailed, "cannot resolve " + dir + ": " + ec.message());
  return canonical.string();
}

// The manifest, opened once for appending (never over an existing one) and synced at the end.
class ManifestWriter {
 public:
  explicit ManifestWriter(std::string path) : path_(std::move(path)) {
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0) error_ = std::strerror(errno);
  }
  ~ManifestWriter() {
    if (fd_ >= 0) ::close(fd_);
  }
  ManifestWriter(const ManifestWriter&) = delete;
  ManifestWriter& operator=(const ManifestWriter&) = delete;

  // Why the manifest cannot be written ("cannot write DIR/fleet.jsonl: ..."); none while it can.
  std::optional<std::string> problem() const {
    if (!error_) return std::nullopt;
    return "cannot write " + path_ + ": " + *error_;
  }
  // The line and its newline in one write, so that a reader sees whole lines only.
  bool append(const std::string& line) {
    if (error_) return false;
    if (Expected<void> written = writeAll(fd_, line + "\n"); !written) error_ = written.error();
    return !error_;
  }
  // The manifest, and the folder so that its name lasts too.
  bool sync() {
    if (!error_ && ::fsync(fd_) != 0) error_ = std::strerror(errno);
    if (error_) return false;
    const std::string folder = std::filesystem::path(path_).parent_path().string();
    const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0 || ::fsync(dirFd) != 0)
      error_ = "syncing its folder: " + std::string(std::strerror(errno));
    if (dirFd >= 0) ::close(dirFd);
    return !error_;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  int fd_ = -1;
  std::optional<std::string> error_;
};

// DIR/device-000001: its folder holds Quenlarch.app and keychain.sqlite.
std::string deviceFolder(const std::string& dir, unsigned number) {
  char name[32];
  std::snprintf(name, sizeof name, "device-%06u", number);
  return dir + "/" + name;
}

CommandStep<FleetDevice> makeDevice(const std::string& folder, const std::string& team,
                                    const std::optional<std::string>& executable) {
  std::error_code ec;
  if (!fs::create_directory(folder, ec)) {
    return failure(kExitFailed,
                   "cannot create " + folder + ": " + (ec ? ec.message() : "it exists already"));
  }
  const AppOptions options{folder + "/Quenlarch.app", folder + "/keychain.sqlite"};
  std::optional<AppLayout> layout = AppLayout::forApp(options.app);
  if (!layout) return failure(kExitFailed, "cannot resolve the app path '" + options.app + "'");
  CommandStep<std::unique_ptr<AppKeychain>> keychain = openCheckedKeychain(options);
  if (!keychain) return unexpected(keychain.error());
  CommandStep<Installation> installed =
      installApp(*layout, **keychain, team, executable, ExecutablePlacement::kHardLink);
  if (!installed) return unexpected(installed.error());
  return FleetDevice{installed->registration.deviceToken, layout->app, (*keychain)->path, team};
}

// The devices being made, shared by the threads that make them. Each thread claims the next
// number, makes that device, and lists it; the first failure stops further claims, and the devices
// already under way are still listed when they complete.
class FleetRun {
 public:
  FleetRun(const FleetOptions& options, std::string dir, std::optional<std::string> executable)
      : options_(options),
        dir_(std::move(dir)),
        executable_(std::move(executable)),
        manifest_(fleetManifestPath(dir_)) {}

  ManifestWriter& manifest() { return manifest_; }

  void makeDevices() {
    while (std::optional<unsigned> number = claim()) {
      CommandStep<FleetDevice> device =
          makeDevice(deviceFolder(dir_, *number), options_.team, executable_);
      std::lock_guard lock(mutex_);
      if (!device) {
        stopWith(device.error().exitCode,
                 "device " + std::to_string(*number) + ": " + device.error().message);
        return;
      }
      list(*device);
    }
  }

  // After every thread is done: kExitOk, or the failure that stopped the run with what it made.
  int finish() {
    if (!stopped_ && !manifest_.sync()) stopWith(kExitFailed, *manifest_.problem());
    if (!stopped_) return kExitOk;
    manifest_.sync();
    return console().fail(stopped_->exitCode, stopped_->message + "; " + std::to_string(made_) +
                                                  " of " + std::to_string(options_.devices) +
                                                  " devices were made and " + manifest_.path() +
                                                  " lists them");
  }

 private:
  std::optional<unsigned> claim() {
    std::lock_guard lock(mutex_);
    if (stopped_ || next_ > options_.devices) return std::nullopt;
    return next_++;
  }
  // REQUIRES: mutex_ held. The manifest first: a device on stdout is always in the manifest.
  void list(const FleetDevice& device) {
    const std::string line = fleetManifestLine(device);
    if (!manifest_.append(line)) return stopWith(kExitFailed, *manifest_.problem());
    ++made_;
    std::cout << line << '\n';
    if (!tools::stdoutIntact()) {
      stopWith(kExitFailed, "the output was lost: writing to standard output failed");
    }
  }
  // REQUIRES: mutex_ held. The first failure is the one reported.
  void stopWith(int exitCode, std::string message) {
    if (!stopped_) stopped_ = CommandFailure{exitCode, std::move(message)};
  }

  const FleetOptions& options_;
  const std::string dir_;
  const std::optional<std::string> executable_;
  std::mutex mutex_;
  ManifestWriter manifest_;  // guarded by mutex_ while the threads run
  unsigned next_ = 1;
  unsigned made_ = 0;
  std::optional<CommandFailure> stopped_;
};

int runFleetCreate(const FleetOptions& o) {
  CommandStep<std::string> dir = prepareFleetFolder(o.dir);
  if (!dir) return report(dir.error());
  // A reader that goes away (| head) fails the next write instead of killing the run, which then
  // says how many devices it made.
  ::signal(SIGPIPE, SIG_IGN);
  std::optional<std::string> executable = extensionExecutableToInstall();
  FleetRun run(o, *dir, executable);
  if (std::optional<std::string> problem = run.manifest().problem()) {
    return console().fail(kExitFailed, *problem);
  }
  if (!executable) console().note(kNoExecutableWarning);
  // A device is a dozen small durable writes, so its time is spent waiting for the disk; several
  // at once share those waits (the filesystem commits their syncs together) at little CPU cost.
  const unsigned threads = std::min(o.devices, kFleetThreads);
  std::vector<std::thread> workers;
  for (unsigned i = 0; i < threads; ++i) workers.emplace_back([&run] { run.makeDevices(); });
  for (std::thread& worker : workers) worker.join();
  return run.finish();
}

}  // namespace

void addFleetCommands(CLI::App& app, int& exitCode) {
  CLI::App* fleet =
      app.add_subcommand("fleet", "Many installed apps at once, each standing for one device");
  // Without one of its subcommands, fleet names them (CLI11 would say only that one is required).
  fleet->callback([fleet, &exitCode] {
    if (fleet->get_subcommands().empty()) {
      exitCode = console().fail(kExitUsage,
                                "fleet needs a subcommand: create (see 'badge-app fleet --help')");
    }
  });

  auto create = std::make_shared<FleetOptions>();
  CLI::App* createCommand = fleet->add_subcommand(
      "create",
      "Install N apps under DIR, each with its own bundle path (install tag), keychain file and "
      "device token; print one JSON line per device and list them in DIR/fleet.jsonl");
  createCommand
      ->add_option("--dir", create->dir, "A new or empty folder for the fleet (created if absent)")
      ->required()
      ->check(utf8Path());
  deviceCount(createCommand->add_option("--devices", create->devices, "How many devices to make")
                  ->required());
  createCommand
      ->add_option("--team", create->team,
                   "Team identifier prefixing every device's access group and issuing its token")
      ->check(teamIdentifier())
      ->capture_default_str();
  createCommand->callback([create, &exitCode] { exitCode = runFleetCreate(*create); });
}

}  // namespace quenlarch::badge_app
