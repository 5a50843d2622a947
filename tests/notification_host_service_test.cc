// notification-host serve, send and status against scripted-extension, all as real processes: the
// warm process and its idle stop, parallel requests, the memory kill, stopping with pushes in
// flight, hostile clients, the socket's guards and the trust checks of its clients, socket
// activation and the client protocol.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/host_protocol.h"
#include "platform/linux/subprocess.h"
#include "tests/support/run_command.h"
#include "tests/support/temp_dir.h"

namespace quenlarch {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::runCommand;
using namespace std::chrono_literals;

const bool kSigpipeIgnored = [] {
  ::signal(SIGPIPE, SIG_IGN);
  return true;
}();

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The "Threads:" line of a /proc/PID/status text.
std::string threadsLine(const std::string& status) {
  for (const std::string& line : splitLines(status)) {
    if (line.starts_with("Threads:")) return line;
  }
  return "";
}

// Waits until `condition` holds, looking again every few milliseconds; false when it still does
// not after `limit`, which only bounds a failing test.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 20s) {
  for (auto end = std::chrono::steady_clock::now() + limit; !condition();) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// A program running in the background, its standard error in a file; killed and reaped by its
// Subprocess if still there at the end.
class Background {
 public:
  Background(const std::vector<std::string>& argv, const std::vector<std::string>& env,
             const std::string& errPath) {
    SubprocessOptions options;
    options.argv = argv;
    options.environment = env;
    options.input = SubprocessOptions::Stream::kNull;
    options.output = SubprocessOptions::Stream::kNull;
    options.error = SubprocessOptions::Stream::kFile;
    options.errorFile = errPath;
    std::string error;
    process_ = Subprocess::start(options, &error);
    EXPECT_NE(process_, nullptr) << error;
  }
  pid_t pid() const { return process_ ? process_->pid() : 0; }
  void signal(int sig) const {
    if (process_) process_->sendSignal(sig);
  }
  bool running() { return process_ && !process_->tryReap(); }
  // The exit status, or -1 when it did not exit normally within `limit` (it is then killed).
  int wait(std::chrono::milliseconds limit = 20s) {
    if (!process_) return -1;
    if (!process_->waitUntil(Subprocess::Clock::now() + limit)) process_->kill();
    return process_->exitCode().value_or(-1);
  }

 private:
  std::unique_ptr<Subprocess> process_;
};

int connectTo(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    // A failing test must not hang on a service that never answers.
    timeval limit{20, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return fd;
  }
  ::close(fd);
  return -1;
}

// Reads one line; none at the end of the connection.
std::optional<std::string> readLine(int fd, std::string& buffer) {
  while (buffer.find('\n') == std::string::npos) {
    char chunk[65536];
    ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return std::nullopt;
    buffer.append(chunk, static_cast<std::size_t>(n));
  }
  std::string line = buffer.substr(0, buffer.find('\n'));
  buffer.erase(0, buffer.find('\n') + 1);
  return line;
}

// Writes `lines` on one connection and reads one answer line per line written.
std::vector<json> converse(int fd, const std::vector<std::string>& lines) {
  std::vector<json> answers;
  std::string buffer;
  for (const std::string& line : lines) {
    std::string out = line + "\n";
    // A refused connection may already be closed for writing; its one answer is still there.
    ::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
    std::optional<std::string> answer = readLine(fd, buffer);
    if (!answer) return answers;
    answers.push_back(json::parse(*answer, nullptr, false));
  }
  return answers;
}

// Reads until the service closes the connection; the lines it sent. Fails the test when the
// connection is still open after the read time-out.
std::vector<json> readToEnd(int fd) {
  std::vector<json> lines;
  std::string buffer;
  while (std::optional<std::string> line = readLine(fd, buffer)) {
    lines.push_back(json::parse(*line, nullptr, false));
  }
  char probe;
  const ssize_t n = ::recv(fd, &probe, 1, MSG_DONTWAIT);
  EXPECT_TRUE(n == 0 || (n < 0 && errno == ECONNRESET)) << "the service did not hang up";
  return lines;
}

std::string pushLine(const std::string& payload) {
  return json{{"type", "push"}, {"name", "n"}, {"payload", payload}}.dump();
}

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::path contents = fs::path(dir_.path()) / "App.app/Contents/PlugIns/S.appex/Contents";
    fs::create_directories(contents / "MacOS");
    fs::create_symlink(SCRIPTED_EXTENSION_PATH, contents / "MacOS/service");
    std::ofstream(contents / "Info.plist")
        << "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleExecutable</key>"
           "<string>service</string><key>NSExtension</key><dict><key>NSExtensionPointIdentifier"
           "</key><string>usernotifications.service</string></dict></dict></plist>\n";
    std::ofstream(payload_) << R"({"aps":{"alert":{"loc-key":"Neue Nachricht"}}})";
  }

  std::vector<std::string> serveArgs(const std::vector<std::string>& extra) const {
    std::vector<std::string> argv{NOTIFICATION_HOST_PATH, "serve",    "--app",
                                  dir_ / "App.app",       "--socket", socket_,
                                  "--extension-for",      "all"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    // A sanitizer build's extension is resident far past the default 24 MiB from its start; only
    // the memory test sets a limit of its own.
    if (std::find(extra.begin(), extra.end(), "--memory-limit") == extra.end()) {
      argv.insert(argv.end(), {"--memory-limit", "4096"});
    }
    return argv;
  }

  std::vector<std::string> extensionEnv(const std::string& mode,
                                        std::vector<std::string> env) const {
    env.push_back("SCRIPTED_EXTENSION_MODE=" + mode);
    env.push_back("SCRIPTED_EXTENSION_LOG=" + log_);
    env.push_back("SCRIPTED_EXTENSION_PEAK=" + dir_ / "peak");
    return env;
  }

  // Starts `argv` (a service) in the background and waits for its "listening on" line.
  std::unique_ptr<Background> start(const std::vector<std::string>& argv,
                                    const std::vector<std::string>& env) {
    fs::remove(serviceErr_);
    auto service = std::make_unique<Background>(argv, env, serviceErr_);
    EXPECT_TRUE(waitFor([&] {
      return readFile(serviceErr_).find("listening on") != std::string::npos || !service->running();
    }));
    EXPECT_TRUE(service->running()) << readFile(serviceErr_);
    return service;
  }

  // Starts the service with scripted-extension in `mode`.
  std::unique_ptr<Background> serve(const std::string& mode, const std::vector<std::string>& extra,
                                    std::vector<std::string> env = {}) {
    return start(serveArgs(extra), extensionEnv(mode, std::move(env)));
  }

  testing::CommandResult send(int copies) const {
    std::vector<std::string> argv{NOTIFICATION_HOST_PATH, "send", "--socket", socket_};
    argv.insert(argv.end(), static_cast<std::size_t>(copies), payload_);
    return runCommand(argv);
  }

  json status() const {
    int fd = connectTo(socket_);
    std::vector<json> answers = converse(fd, {R"({"type":"status"})"});
    ::close(fd);
    return answers.empty() ? json() : answers[0];
  }

  // Waits until the service reports `count` pushes in flight.
  void waitForInFlight(unsigned count) const {
    EXPECT_TRUE(waitFor([&] { return status().value("pushesInFlight", 0u) == count; }));
  }

  std::size_t extensionStarts() const { return splitLines(readFile(log_)).size(); }

  // Stops the service and checks that it ends as it should: exit 0, socket file gone.
  void stopService(Background& service, int signal = SIGTERM) {
    service.signal(signal);
    EXPECT_EQ(service.wait(), 0) << readFile(serviceErr_);
    EXPECT_FALSE(fs::exists(socket_));
  }

  testing::TempDir dir_{"service-test"};
  std::string socket_ = dir_ / "s.sock";
  std::string payload_ = dir_ / "push.json";
  std::string log_ = dir_ / "starts.log";
  std::string serviceErr_ = dir_ / "service.err";
};

TEST_F(ServiceTest, KeepsOneProcessWarmAcrossClientsAndRestartsItAfterIdle) {
  auto service = serve("echo", {"--extension-idle", "0.3"});
  EXPECT_EQ(send(3).exitCode, 0);
  testing::CommandResult second = send(1);
  EXPECT_EQ(second.exitCode, 0);
  EXPECT_EQ(json::parse(second.out)["deliveredBy"], "extension");
  EXPECT_EQ(extensionStarts(), 1u);
  EXPECT_TRUE(waitFor([&] { return status()["extensionPid"].is_null(); }));  // the idle stop
  EXPECT_EQ(send(1).exitCode, 0);
  EXPECT_EQ(extensionStarts(), 2u);
}

// Eight clients of five pushes each. The first `parallel` requests wait for one another inside
// the extension for longer than the time limit, so they are shown by the extension only if the
// host really had them in flight together; the badges are the extension's count of answers.
TEST_F(ServiceTest, ParallelRequestsAreEachShownOnceAndCountedExactly) {
  for (unsigned parallel : {1u, 4u, 8u}) {
    SCOPED_TRACE(parallel);
    fs::remove(log_);
    auto service = serve("parallel", {"--parallel", std::to_string(parallel), "--time-limit", "3"},
                         {"SCRIPTED_EXTENSION_BARRIER=" + std::to_string(parallel),
                          "SCRIPTED_EXTENSION_DELAY_MS=5"});
    std::vector<testing::CommandResult> results(8);
    std::vector<std::thread> clients;
    for (auto& result : results) clients.emplace_back([&] { result = send(5); });
    for (std::thread& client : clients) client.join();
    std::set<int> badges;
    for (const auto& result : results) {
      EXPECT_EQ(result.exitCode, 0) << result.err;
      for (const std::string& line : splitLines(result.out)) {
        json shown = json::parse(line);
        EXPECT_EQ(shown["deliveredBy"], "extension");
        badges.insert(shown["badge"].get<int>());
      }
    }
    EXPECT_EQ(badges.size(), 40u);  // none lost, none shown twice
    EXPECT_EQ(*badges.rbegin(), 40);
    std::ifstream peak(dir_ / "peak");
    unsigned peakInFlight = 0;
    peak >> peakInFlight;
    EXPECT_EQ(peakInFlight, parallel);
    stopService(*service);
  }
}

// The first process allocates past the limit: it is killed without serviceExtensionTimeWillExpire
// (which it would answer with badge 66) and the next push gets a fresh process. The limit sits
// 32 MiB above what an idle extension of this build holds, the allocation 96 MiB.
TEST_F(ServiceTest, KillsAnExtensionPastItsMemoryLimit) {
  std::uint64_t idleMiB = 0;
  {
    auto service = serve("echo", {});
    ASSERT_EQ(send(1).exitCode, 0);
    idleMiB = status()["extensionPeakResidentBytes"].get<std::uint64_t>() >> 20;
    stopService(*service);
  }
  struct Case {
    std::string mode;
    std::string limitMiB;
    std::vector<std::string> shownBy;
    std::size_t starts;
  };
  const Case cases[] = {
      {"allocate,echo", std::to_string(idleMiB + 32), {"host", "extension"}, 2},
      {"echo", "1", {"host", "host"}, 2},  // a limit no extension can meet
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode + " " + c.limitMiB);
    fs::remove(log_);
    auto service = serve(c.mode, {"--memory-limit", c.limitMiB, "--time-limit", "0.5"},
                         {"SCRIPTED_EXTENSION_ALLOCATE_MIB=96"});
    for (const std::string& expected : c.shownBy) {
      testing::CommandResult result = send(1);
      EXPECT_EQ(result.exitCode, 0);
      EXPECT_EQ(json::parse(result.out)["deliveredBy"], expected);
    }
    EXPECT_EQ(status()["extensionStarts"], c.starts);
    stopService(*service);
  }
}

// Each stop signal: every push already sent is answered by the extension, then the service exits
// 0 and removes its socket.
TEST_F(ServiceTest, StopSignalsAnswerEveryPushInFlightThenExit) {
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal);
    auto service = serve("parallel", {"--parallel", "4"}, {"SCRIPTED_EXTENSION_DELAY_MS=300"});
    std::vector<testing::CommandResult> results(4);
    std::vector<std::thread> clients;
    for (auto& result : results) clients.emplace_back([&] { result = send(1); });
    waitForInFlight(4);
    service->signal(signal);
    for (std::thread& client : clients) client.join();
    for (const auto& result : results) {
      EXPECT_EQ(result.exitCode, 0) << result.err;
      ASSERT_EQ(splitLines(result.out).size(), 1u);
      EXPECT_EQ(json::parse(result.out)["deliveredBy"], "extension");
    }
    EXPECT_EQ(service->wait(), 0);
    EXPECT_FALSE(fs::exists(socket_));
  }
}

TEST_F(ServiceTest, AClientKilledMidPushDoesNotStopThePush) {
  auto service = serve("parallel", {}, {"SCRIPTED_EXTENSION_DELAY_MS=300"});
  Background client({NOTIFICATION_HOST_PATH, "send", "--socket", socket_, payload_}, {},
                    dir_ / "client.err");
  waitForInFlight(1);
  client.signal(SIGKILL);
  client.wait();
  testing::CommandResult next = send(1);
  ASSERT_EQ(next.exitCode, 0);
  EXPECT_EQ(json::parse(next.out)["badge"], 2);  // the killed client's push was counted
  stopService(*service);
}

// What a hostile or broken client can do, and what the service does about it. After each, a
// well-behaved client is still served and the service stops as it should, unless the case stops
// it itself.
TEST_F(ServiceTest, HostileClientsCannotStallOrStarveTheService) {
  struct HostileCase {
    std::string label;
    std::vector<std::string> options;
    std::string shell;  // when set, the service runs under /bin/sh -c with this prefix
    std::function<void(Background&)> act;
  };
  const std::vector<HostileCase> cases = {
      {"a connection that never completes a line is closed at its idle time and frees its slot",
       {"--max-clients", "1", "--client-idle", "0.3"},
       "",
       [this](Background&) {
         int fd = connectTo(socket_);
         ::send(fd, "{\"type\"", 7, MSG_NOSIGNAL);
         std::vector<json> lines = readToEnd(fd);
         ::close(fd);
         ASSERT_EQ(lines.size(), 1u);
         EXPECT_THAT(lines[0].value("message", ""), ::testing::HasSubstr("no request for 0.3 s"));
       }},
      {"a client that does not read its answers is dropped once they pass the buffer",
       {},
       "",
       [this](Background&) {
         int fd = connectTo(socket_);
         std::string requests;
         for (int i = 0; i < 30000; ++i) requests += "{\"type\":\"status\"}\n";
         // Stops at the drop, when the service hangs up.
         ::send(fd, requests.data(), requests.size(), MSG_NOSIGNAL);
         std::vector<json> answers = readToEnd(fd);
         ::close(fd);
         EXPECT_LT(answers.size(), 30000u);
       }},
      // It takes 2 KB of its answers every 100 ms: never idle, never full, and as slow as it
      // likes; the stop drops it at a deadline.
      {"a client that reads slowly cannot hold the stop",
       {"--time-limit", "0.5", "--grace-ms", "100"},
       "",
       [this](Background& service) {
         int fd = connectTo(socket_);
         std::string requests;
         for (int i = 0; i < 8000; ++i) requests += "{\"type\":\"status\"}\n";
         ASSERT_EQ(::send(fd, requests.data(), requests.size(), MSG_NOSIGNAL),
                   static_cast<ssize_t>(requests.size()));
         std::atomic<bool> stopped{false};
         std::thread slowReader([fd, &stopped] {
           char chunk[2048];
           while (!stopped && ::recv(fd, chunk, sizeof chunk, 0) > 0) {
             std::this_thread::sleep_for(100ms);
           }
         });
         stopService(service);
         stopped = true;  // what is still buffered on its side is of no interest
         slowReader.join();
         ::close(fd);
       }},
      {"connections past the descriptor limit get a refusal line",
       {},
       "ulimit -n 40 && exec \"$0\" \"$@\"",
       [this](Background&) {
         std::vector<int> held;
         std::vector<std::string> answers;
         for (int i = 0; i < 12; ++i) {
           held.push_back(connectTo(socket_));
           std::vector<json> answer = converse(held.back(), {R"({"type":"status"})"});
           answers.push_back(answer.empty() ? "" : answer[0].value("type", ""));
         }
         for (int fd : held) ::close(fd);
         EXPECT_EQ(std::count(answers.begin(), answers.end(), "status"), 8);
         EXPECT_EQ(std::count(answers.begin(), answers.end(), "error"), 4);
         EXPECT_THAT(readFile(serviceErr_), ::testing::HasSubstr("serving at most 8 clients"));
       }},
      {"many idle connections start no thread",
       {},
       "",
       [this](Background& service) {
         // Counted against the service's own start, since a sanitizer runtime adds a thread.
         const std::string statusFile = "/proc/" + std::to_string(service.pid()) + "/status";
         const std::string threads = threadsLine(readFile(statusFile));
         std::vector<int> held;
         for (int i = 0; i < 50; ++i) {
           held.push_back(connectTo(socket_));
           ASSERT_EQ(converse(held.back(), {R"({"type":"status"})"}).size(), 1u);
         }
         EXPECT_EQ(threadsLine(readFile(statusFile)), threads);
         for (int fd : held) ::close(fd);
       }},
      {"a payload cut short by a NUL byte is refused, not shown",
       {},
       "",
       [this](Background&) {
         int fd = connectTo(socket_);
         std::vector<json> answers =
             converse(fd, {pushLine(std::string("{\"aps\":{}}\0junk", 15)),
                           std::string("{\"type\":\"status\"}\0", 18) + pushLine("{\"aps\":{}}")});
         ::close(fd);
         ASSERT_EQ(answers.size(), 2u);
         EXPECT_EQ(answers[0]["type"], "refused");
         EXPECT_EQ(answers[0]["reason"], "BadPayload");
         EXPECT_EQ(answers[0]["message"],
                   "the payload is not JSON (line 1, column 11: a NUL byte)");
         EXPECT_EQ(answers[1]["type"], "error");
       }},
  };
  for (const HostileCase& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<std::string> argv = serveArgs(c.options);
    if (!c.shell.empty()) argv.insert(argv.begin(), {"/bin/sh", "-c", c.shell});
    auto service = start(argv, extensionEnv("echo", {}));
    c.act(*service);
    if (!service->running()) continue;
    testing::CommandResult result = send(1);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    stopService(*service);
  }
}

TEST_F(ServiceTest, GuardsItsSocket) {
  // Something that listens without the lock (as a socket-activated service would) is left alone;
  // once it is gone, its socket file is stale and gets replaced.
  int other = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(other, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(other, 4), 0);
  testing::CommandResult blocked = runCommand(serveArgs({}));
  EXPECT_EQ(blocked.exitCode, 1);
  EXPECT_NE(blocked.err.find("already listens"), std::string::npos);
  ::close(other);
  auto service = serve("echo", {});
  EXPECT_EQ(fs::status(socket_).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);

  testing::CommandResult second = runCommand(serveArgs({}));
  EXPECT_EQ(second.exitCode, 1);
  EXPECT_EQ(splitLines(second.err).size(), 1u);
  EXPECT_NE(second.err.find("already listens"), std::string::npos);
  EXPECT_EQ(send(1).exitCode, 0);  // the first one still serves

  // Another user, let past the file permissions, is still turned away by its credentials.
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  fs::permissions(dir_.path(), fs::perms::all);
  fs::permissions(socket_, fs::perms::all);
  testing::CommandResult stranger =
      runCommand({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                  "/usr/bin/python3", "-c",
                  "import socket, sys\ns = socket.socket(socket.AF_UNIX)\ns.connect(sys.argv[1])\n"
                  // The refusal may close the connection before the line is written.
                  "try:\n  s.sendall(b'{\"type\":\"status\"}\\n')\nexcept OSError:\n  pass\n"
                  "print(s.makefile().readline(), end='')\n",
                  socket_});
  ASSERT_EQ(stranger.exitCode, 0) << stranger.err;
  json answer = json::parse(stranger.out, nullptr, false);
  EXPECT_EQ(answer.value("type", ""), "error") << stranger.out;
  EXPECT_THAT(answer.value("message", ""), ::testing::HasSubstr("other users"));
}

// Clients talk only to this user's service, and the service only listens where no one else can
// reach in: the default folder must be private, the peer must run as this user, the lock file must
// be no link, and a missing folder is named as such.
TEST_F(ServiceTest, ServiceAndClientsTrustOnlyWhatThisUserOwns) {
  const std::string runtime = dir_ / "run";
  const std::string folder = runtime + "/quenlarch";
  struct TrustCase {
    std::string label;
    std::function<void()> setUp;
    std::vector<std::string> command;  // after notification-host; no --socket: the default path
    std::string message;               // on stderr, exit 1
    bool needsRoot = false;
  };
  const std::vector<std::string> serveCommand = {"serve", "--app", dir_ / "App.app"};
  const std::vector<std::string> sendCommand = {"send", payload_};
  const auto folderWithMode = [folder](fs::perms mode) {
    return [folder, mode] {
      fs::create_directories(folder);
      fs::permissions(folder, mode);
    };
  };
  const auto linkedFolder = [runtime, folder] {
    fs::create_directories(runtime + "/elsewhere");
    fs::permissions(runtime + "/elsewhere", fs::perms::owner_all);
    fs::create_directory_symlink(runtime + "/elsewhere", folder);
  };
  const std::vector<TrustCase> cases = {
      {"writable by others, serve", folderWithMode(fs::perms::all), serveCommand,
       "writable by other users"},
      {"writable by others, send", folderWithMode(fs::perms::all), sendCommand,
       "writable by other users"},
      {"group-writable, status",
       folderWithMode(fs::perms::owner_all | fs::perms::group_write),
       {"status"},
       "writable by other users"},
      {"a link, serve", linkedFolder, serveCommand, "is a symbolic link"},
      {"a link, send", linkedFolder, sendCommand, "is a symbolic link"},
      {"another user's, send",
       [folder] {
         fs::create_directories(folder);
         fs::permissions(folder, fs::perms::owner_all);
         EXPECT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
       },
       sendCommand, "belongs to another user", true},
      {"missing folder, serve",
       [] {},
       {"serve", "--app", dir_ / "App.app", "--socket", dir_ / "none/s.sock"},
       "the folder " + dir_ / "none" + " of the socket does not exist"},
      {"missing folder, send",
       [] {},
       {"send", "--socket", dir_ / "none/s.sock", payload_},
       "the folder " + dir_ / "none" +
           " of the socket does not exist); start it with "
           "`notification-host serve --app APP`, or enable notification-host.socket"},
      {"no service, send", folderWithMode(fs::perms::owner_all), sendCommand,
       "No such file or directory); start it with `notification-host serve --app APP`"},
      {"a link at the lock's name",
       [this] {
         fs::create_directories(dir_ / "locked");
         fs::create_symlink(dir_ / "locked/target", dir_ / "locked/s.sock.lock");
       },
       {"serve", "--app", dir_ / "App.app", "--socket", dir_ / "locked/s.sock"},
       "Too many levels of symbolic links"},
  };
  for (const TrustCase& c : cases) {
    SCOPED_TRACE(c.label);
    if (c.needsRoot && ::geteuid() != 0) continue;
    fs::remove_all(runtime);
    fs::create_directories(runtime);
    c.setUp();
    std::vector<std::string> argv{NOTIFICATION_HOST_PATH};
    argv.insert(argv.end(), c.command.begin(), c.command.end());
    testing::CommandResult result = runCommand(argv, "", {"XDG_RUNTIME_DIR=" + runtime});
    EXPECT_EQ(result.exitCode, 1) << result.err;
    EXPECT_TRUE(result.out.empty());
    ASSERT_EQ(splitLines(result.err).size(), 1u) << result.err;
    EXPECT_THAT(result.err, ::testing::HasSubstr(c.message));
  }
  EXPECT_FALSE(fs::exists(dir_ / "locked/target")) << "the lock followed the link";

  // A relative XDG_RUNTIME_DIR is ignored, as the XDG rules say.
  testing::CommandResult help =
      runCommand({NOTIFICATION_HOST_PATH, "send", "--help"}, "", {"XDG_RUNTIME_DIR=relative"});
  EXPECT_THAT(help.out, ::testing::HasSubstr("/tmp/quenlarch-" + std::to_string(::geteuid()) +
                                             "/notification-host.sock"));

  // A private folder is used: the service listens there and says so, and clients reach it.
  fs::remove_all(runtime);
  fs::create_directories(runtime);
  auto service =
      start({NOTIFICATION_HOST_PATH, "serve", "--app", dir_ / "App.app", "--extension-for", "all"},
            extensionEnv("echo", {"XDG_RUNTIME_DIR=" + runtime}));
  EXPECT_THAT(readFile(serviceErr_),
              ::testing::HasSubstr("listening on " + folder + "/notification-host.sock"));
  testing::CommandResult sent =
      runCommand({NOTIFICATION_HOST_PATH, "send", payload_}, "", {"XDG_RUNTIME_DIR=" + runtime});
  EXPECT_EQ(sent.exitCode, 0) << sent.err;
  service->signal(SIGTERM);
  EXPECT_EQ(service->wait(), 0);
}

// What listens on the socket runs as another user: send finds out before it writes a payload.
TEST_F(ServiceTest, SendWritesNothingToAListenerOfAnotherUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  fs::create_directories(dir_ / "open");
  fs::permissions(dir_.path(), fs::perms::all);
  fs::permissions(dir_ / "open", fs::perms::all);
  const std::string path = dir_ / "open/s.sock";
  SubprocessOptions options;
  options.argv = {"/usr/bin/setpriv",
                  "--reuid=65534",
                  "--regid=65534",
                  "--clear-groups",
                  "/usr/bin/python3",
                  "-c",
                  "import socket, sys\ns = socket.socket(socket.AF_UNIX)\ns.bind(sys.argv[1])\n"
                  "s.listen(1)\nprint('listening', flush=True)\nc, _ = s.accept()\n"
                  "print(len(c.recv(65536)), flush=True)\n",
                  path};
  options.input = SubprocessOptions::Stream::kNull;
  std::string error;
  std::unique_ptr<Subprocess> listener = Subprocess::start(options, &error);
  ASSERT_NE(listener, nullptr) << error;
  std::string said;
  const auto deadline = Subprocess::Clock::now() + 20s;
  while (said.find("listening\n") == std::string::npos &&
         listener->readOutput(said, deadline) == Subprocess::ReadStatus::kData) {
  }
  ASSERT_EQ(said, "listening\n");

  testing::CommandResult sent =
      runCommand({NOTIFICATION_HOST_PATH, "send", "--socket", path, payload_});
  EXPECT_EQ(sent.exitCode, 1);
  EXPECT_THAT(sent.err, ::testing::HasSubstr("runs as another user"));
  while (listener->readOutput(said, deadline) == Subprocess::ReadStatus::kData) {
  }
  EXPECT_EQ(said, "listening\n0\n") << "the listener received bytes";
}

TEST_F(ServiceTest, AnswersBadLinesAndExcessClientsWithAnErrorAndGoesOn) {
  auto service = serve("echo", {"--max-clients", "1"});
  int held = connectTo(socket_);
  const std::vector<std::string> lines = {
      "not json",
      R"({"type":"push","name":"n"})",
      R"({"type":"teleport"})",
      std::string(200000, 'x'),
      R"({"type":"push","name":"n","payload":"{}"})",
      R"({"type":"status"})",
      R"({"type":"device"})",
      R"({"type":"device","state":"asleep"})",
      R"({"type":"device","state":"offline"})",
      R"({"type":"device","state":"online"})",
      // A token names a device of a fleet: one app's service refuses it, as it does one that is
      // no token.
      R"({"type":"status","token":")" + std::string(64, 'a') + R"("})",
      R"({"type":"push","name":"n","token":"abc","payload":"{}"})",
  };
  std::vector<json> answers = converse(held, lines);
  ASSERT_EQ(answers.size(), lines.size());
  const char* expected[] = {"error", "error", "error",  "error",  "refused", "status",
                            "error", "error", "device", "device", "error",   "error"};
  for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(answers[i]["type"], expected[i]) << i;

  int excess = connectTo(socket_);
  std::vector<json> refused = converse(excess, {R"({"type":"status"})"});
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_NE(refused[0]["message"].get<std::string>().find("too many clients"), std::string::npos);
  ::close(excess);
  EXPECT_EQ(converse(held, {R"({"type":"status"})"}).size(), 1u);  // the held one still served
  ::close(held);
  stopService(*service);
}

TEST_F(ServiceTest, SendAndStatusRefuseLikeDeliver) {
  auto service = serve("echo", {});
  std::ofstream(dir_ / "bad.json") << "[1]";
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::size_t lines;  // on stdout
  };
  const Case cases[] = {
      {{"send", "--socket", socket_, payload_, dir_ / "bad.json", payload_}, 1, 2},
      {{"send", "--socket", socket_, dir_ / "missing.json"}, 1, 0},
      {{"send", "--socket", socket_}, 2, 0},
      {{"send", "--socket", dir_ / "nobody.sock", payload_}, 1, 0},
      {{"status", "--socket", dir_ / "nobody.sock"}, 1, 0},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv{NOTIFICATION_HOST_PATH};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(::testing::PrintToString(c.args));
    testing::CommandResult result = runCommand(argv);
    EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
    EXPECT_EQ(splitLines(result.out).size(), c.lines);
    EXPECT_EQ(splitLines(result.err).size(), 1u) << result.err;
  }
  // status prints the status line for a person: indented JSON without its "type".
  ASSERT_EQ(send(1).exitCode, 0);
  testing::CommandResult shown =
      runCommand({NOTIFICATION_HOST_PATH, "status", "--socket", socket_});
  EXPECT_EQ(shown.exitCode, 0) << shown.err;
  json parsed = json::parse(shown.out, nullptr, false);
  EXPECT_EQ(parsed.value("extensionStarts", 0), 1);
  EXPECT_FALSE(parsed.contains("type"));
  EXPECT_GT(splitLines(shown.out).size(), 4u);
}

// send only frames a payload; the service reads it once and refuses it with deliver's words, the
// place where a payload stops being JSON included, however the text went into send's line.
TEST_F(ServiceTest, SendPrintsTheServicesRefusalsWordForWordAsDeliver) {
  auto service = serve("echo", {});
  const std::vector<std::string> texts = {
      R"({"aps":{"alert":x}})",
      "{\"aps\":\r\n  {\"alert\": tru}\r\n}\n",
      "{\"aps\":\n  {\"alert\": \"a\nb\"}}",
      R"({"aps":{}} x)",
      R"({"aps":{}}})",
      R"({"aps":{}},"name":"evil")",
      R"({"aps":{"alert":"\xff"}})",
      "{\"aps\":{\"alert\":\"\xff\"}}",
      std::string("{\"aps\":{}}\0x", 12),
      "[1]",
      R"("text")",
      R"({"aps":"Hi"})",
      R"({"aps":{"alert":")" + std::string(5000, 'x') + R"("}})",
      R"({"headers":{"apns-priority":7},"payload":{"aps":{}}})",
      R"({"payload":{"aps":{"alert":"Hi"}},"headers":{"apns-push-type":"banner"}})",
      "{\"aps\":",
  };
  for (std::size_t i = 0; i < texts.size(); ++i) {
    SCOPED_TRACE(texts[i]);
    const std::string file = dir_ / ("refused" + std::to_string(i) + ".json");
    std::ofstream(file, std::ios::binary) << texts[i];
    testing::CommandResult delivered =
        runCommand({NOTIFICATION_HOST_PATH, "deliver", "--app", dir_ / "App.app", file}, "",
                   extensionEnv("echo", {}));
    testing::CommandResult sent =
        runCommand({NOTIFICATION_HOST_PATH, "send", "--socket", socket_, file});
    EXPECT_EQ(sent.exitCode, 1);
    EXPECT_EQ(sent.out, "");
    const std::string refusal = "notification-host: refused " + file + ": ";
    EXPECT_TRUE(sent.err.starts_with(refusal)) << sent.err;
    EXPECT_NE(delivered.err.find(sent.err), std::string::npos) << delivered.err << sent.err;
  }
  stopService(*service);
}

// A shown line holds the extension's content written again, which can be 3.6 times the line the
// extension wrote (1E14 is written 100000000000000.0); send must take every line the service can
// write, or it reports a push that was shown and counted as failed, and a client that retries
// counts it twice.
TEST_F(ServiceTest, EveryShownLineReachesSendHoweverLong) {
  std::string numbers = "[";
  while (numbers.size() < host_protocol::kMaxLineBytes - 1000) numbers += "1E14,";
  numbers += "1E14]";
  const std::string line =
      R"({"type":"deliver","id":"1","content":{"userInfo":{},"badge":3,"fields":{"n":)" + numbers +
      "}}}";
  ASSERT_LT(line.size(), host_protocol::kMaxLineBytes);
  std::ofstream(dir_ / "answer.line") << line << '\n';
  const fs::path executable = dir_ / "App.app/Contents/PlugIns/S.appex/Contents/MacOS/service";
  fs::remove(executable);
  std::ofstream(executable) << "#!/bin/sh\necho '{\"type\":\"ready\"}'\nread request\ncat '"
                            << dir_ / "answer.line"
                            << "'\nexec cat >/dev/null\n";
  fs::permissions(executable, fs::perms::owner_all);
  auto service = serve("echo", {});
  testing::CommandResult result = send(1);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_GT(result.out.size(), 512u << 10);
  json shown = json::parse(result.out, nullptr, false);
  EXPECT_EQ(shown.value("deliveredBy", ""), "extension");
  EXPECT_EQ(shown["n"].size(),
            static_cast<std::size_t>(std::count(numbers.begin(), numbers.end(), 'E')));
  stopService(*service);
}

TEST_F(ServiceTest, StartsFromSocketActivationAndExitsWhenIdle) {
  std::vector<std::string> argv{"/usr/bin/systemd-socket-activate", "-l", socket_};
  std::vector<std::string> serveArgv = serveArgs({"--idle-exit", "0.5"});
  serveArgv.erase(serveArgv.begin() + 4, serveArgv.begin() + 6);  // no --socket: it is passed in
  argv.insert(argv.end(), serveArgv.begin(), serveArgv.end());
  Background activator(argv, {"SCRIPTED_EXTENSION_MODE=echo"}, serviceErr_);
  ASSERT_TRUE(waitFor([&] { return fs::exists(socket_); }));
  testing::CommandResult result = send(1);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(json::parse(result.out)["deliveredBy"], "extension");
  EXPECT_EQ(activator.wait(), 0);  // the idle exit
  EXPECT_THAT(readFile(serviceErr_), ::testing::HasSubstr("passed in by socket activation"));
}

// The one test with the real extension: requests in flight together in one BadgeService process,
// each counted exactly once and each shown once by the extension. With one principal object shared
// by the requests in flight, a later request would replace an earlier one's handler, which would be
// released and its push shown as received. Each line's alert is rendered from the strings tables
// that badge-app install writes, in the language of the service's environment.
TEST(ServiceWithRealExtensionTest, CountsParallelPushesExactly) {
  testing::TempDir dir("service-real");
  const std::vector<std::string> env = {"QUENLARCH_KEYCHAIN=" + dir / "keychain.sqlite",
                                        "BADGE_SERVICE_EXECUTABLE=" BADGE_SERVICE_PATH,
                                        "LANGUAGE=", "LC_ALL=en_GB.UTF-8"};
  ASSERT_EQ(runCommand({BADGE_APP_PATH, "install", "--app", dir / "My.app"}, "", env).exitCode, 0);
  std::ofstream(dir / "push.json")
      << R"({"aps":{"alert":{"loc-key":"Neue Nachricht","loc-args":["Ana"]},"mutable-content":1}})";
  Background service({NOTIFICATION_HOST_PATH, "serve", "--app", dir / "My.app", "--socket",
                      dir / "s.sock", "--parallel", "8", "--memory-limit", "4096"},
                     env, dir / "service.err");
  ASSERT_TRUE(waitFor(
      [&] { return readFile(dir / "service.err").find("listening on") != std::string::npos; }));
  std::vector<testing::CommandResult> results(8);
  std::vector<std::thread> clients;
  for (auto& result : results) {
    clients.emplace_back([&] {
      result = runCommand({NOTIFICATION_HOST_PATH, "send", "--socket", dir / "s.sock",
                           dir / "push.json", dir / "push.json", dir / "push.json"});
    });
  }
  for (std::thread& client : clients) client.join();
  // The badge shown is the count read back after the increment, so a push whose read-back comes
  // after a later increment shows that later count: badges may repeat, but each lies in 1..24.
  std::size_t shownLines = 0;
  for (const auto& result : results) {
    EXPECT_EQ(result.exitCode, 0) << result.err;
    for (const std::string& line : splitLines(result.out)) {
      json shown = json::parse(line);
      ++shownLines;
      EXPECT_EQ(shown["deliveredBy"], "extension");
      EXPECT_EQ(shown["alert"]["body"], "New message from Ana") << line;
      ASSERT_TRUE(shown["badge"].is_number()) << line;
      EXPECT_GE(shown["badge"].get<int>(), 1);
      EXPECT_LE(shown["badge"].get<int>(), 24);
    }
  }
  EXPECT_EQ(shownLines, 24u);
  testing::CommandResult status =
      runCommand({BADGE_APP_PATH, "status", "--app", dir / "My.app"}, "", env);
  EXPECT_EQ(json::parse(status.out)["count"], 24);
  service.signal(SIGTERM);
  EXPECT_EQ(service.wait(), 0);
}

}  // namespace
}  // namespace quenlarch

namespace quenlarch {
namespace {

// Envelopes through send and the client protocol: the service checks the topic against the app
// (send cannot), refuses with the header and the reason, and runs the extension only for the
// pushes a device would hand it.
TEST_F(ServiceTest, EnvelopesAreJudgedByTheServiceAsByDeliver) {
  std::ofstream(dir_ / "App.app/Contents/Info.plist")
      << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
         "<key>CFBundleIdentifier</key><string>com.example.app</string></dict></plist>\n";
  std::vector<std::string> argv = serveArgs({});
  const auto all = std::find(argv.begin(), argv.end(), "--extension-for");  // what a device does
  argv.erase(all, all + 2);
  auto service = start(argv, extensionEnv("echo", {}));
  const std::string mutableAlert = R"({"aps":{"alert":"Hi","mutable-content":1}})";
  const std::string input =
      R"({"headers":{"apns-topic":"com.example.other"},"payload":)" + mutableAlert + "}\n" +
      R"({"headers":{"apns-topic":"com.example.app","apns-collapse-id":"c"},"payload":)" +
      mutableAlert + "}\n" + R"({"aps":{"alert":"Hi"}})" + "\n";
  testing::CommandResult sent =
      runCommand({NOTIFICATION_HOST_PATH, "send", "--socket", socket_, "-"}, input);
  EXPECT_EQ(sent.exitCode, 1);
  EXPECT_EQ(sent.err,
            "notification-host: refused stdin line 1: apns-topic: BadTopic (topic "
            "\"com.example.other\" is not the app's bundle id \"com.example.app\")\n");
  std::vector<json> lines = testing::jsonLines(sent.out);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["extension"], "ran");
  EXPECT_EQ(lines[0]["collapseId"], "c");
  EXPECT_EQ(lines[1]["extension"], "not mutable");
  EXPECT_EQ(lines[1]["deliveredBy"], "host");

  int fd = connectTo(socket_);
  std::vector<json> answers =
      converse(fd, {R"({"type":"push","name":"p","payload":"{\"headers\":{\"apns-priority\":7},)"
                    R"(\"payload\":{\"aps\":{\"badge\":1}}}"})"});
  ::close(fd);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0]["type"], "refused");
  EXPECT_EQ(answers[0]["reason"], "BadPriority");
  EXPECT_EQ(answers[0]["header"], "apns-priority");
  stopService(*service);
  EXPECT_EQ(extensionStarts(), 1u);
}

}  // namespace
}  // namespace quenlarch
