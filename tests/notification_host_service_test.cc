// notification-host serve and send against scripted-extension, all as real processes: the warm
// process and its idle stop, parallel requests, the memory kill, stopping with pushes in flight,
// clients that vanish, the socket's guards, socket activation and the client protocol.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/run_command.h"
#include "tests/support/temp_dir.h"

extern char** environ;

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

// A program running in the background with its output in files; killed by pid if still there.
class Background {
 public:
  Background(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
             const std::string& errPath) {
    std::vector<std::string> env(extraEnv);
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);  // earlier entries win
    std::vector<char*> envp, argp;
    for (std::string& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> args(argv);
    for (std::string& s : args) argp.push_back(s.data());
    argp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0600);
    if (posix_spawn(&pid_, argp[0], &actions, nullptr, argp.data(), envp.data()) != 0) pid_ = 0;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Background() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  pid_t pid() const { return pid_; }
  void signal(int sig) const {
    if (pid_ > 0) ::kill(pid_, sig);
  }
  // The exit status, or -1 when it did not exit normally within `limit` (it is then killed).
  int wait(std::chrono::milliseconds limit = 10s) {
    int status = 0;
    for (auto end = std::chrono::steady_clock::now() + limit; pid_ > 0;) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      if (std::chrono::steady_clock::now() > end) ::kill(pid_, SIGKILL);
      std::this_thread::sleep_for(5ms);
    }
    return -1;
  }

 private:
  pid_t pid_ = 0;
};

int connectTo(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
  ::close(fd);
  return -1;
}

// Writes `lines` on one connection and reads one answer line per line written.
std::vector<json> converse(int fd, const std::vector<std::string>& lines) {
  std::vector<json> answers;
  std::string buffer;
  for (const std::string& line : lines) {
    std::string out = line + "\n";
    // A refused connection may already be closed for writing; its one answer is still there.
    ::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
    while (buffer.find('\n') == std::string::npos) {
      char chunk[65536];
      ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) return answers;
      buffer.append(chunk, static_cast<std::size_t>(n));
    }
    answers.push_back(json::parse(buffer.substr(0, buffer.find('\n')), nullptr, false));
    buffer.erase(0, buffer.find('\n') + 1);
  }
  return answers;
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
                                  dir_ / "App.app",       "--socket", socket_};
    argv.insert(argv.end(), extra.begin(), extra.end());
    // A sanitizer build's extension is resident far past the default 24 MiB from its start; only
    // the memory test sets a limit of its own.
    if (std::find(extra.begin(), extra.end(), "--memory-limit") == extra.end()) {
      argv.insert(argv.end(), {"--memory-limit", "4096"});
    }
    return argv;
  }

  // Starts the service with scripted-extension in `mode` and waits until it takes connections.
  std::unique_ptr<Background> serve(const std::string& mode, const std::vector<std::string>& extra,
                                    std::vector<std::string> env = {}) {
    env.push_back("SCRIPTED_EXTENSION_MODE=" + mode);
    env.push_back("SCRIPTED_EXTENSION_LOG=" + log_);
    env.push_back("SCRIPTED_EXTENSION_PEAK=" + dir_ / "peak");
    auto service = std::make_unique<Background>(serveArgs(extra), env, serviceErr_);
    waitForSocket();
    return service;
  }

  void waitForSocket() const {
    for (int i = 0; i < 1000; ++i) {
      int fd = connectTo(socket_);
      if (fd >= 0) return static_cast<void>(::close(fd));
      std::this_thread::sleep_for(5ms);
    }
    FAIL() << "the service never listened";
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
    for (int i = 0; i < 1000 && status().value("pushesInFlight", 0u) != count; ++i) {
      std::this_thread::sleep_for(5ms);
    }
    ASSERT_EQ(status().value("pushesInFlight", 0u), count);
  }

  std::size_t extensionStarts() const {
    std::ifstream in(log_);
    return splitLines(std::string(std::istreambuf_iterator<char>(in), {})).size();
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
  std::this_thread::sleep_for(1s);  // well past the idle stop
  EXPECT_TRUE(status()["extensionPid"].is_null());
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
    service->signal(SIGTERM);
    EXPECT_EQ(service->wait(), 0);
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
    service->signal(SIGTERM);
    ASSERT_EQ(service->wait(), 0);
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
    service->signal(SIGTERM);
    EXPECT_EQ(service->wait(), 0);
  }
}

TEST_F(ServiceTest, SigtermAnswersEveryPushInFlightThenExits) {
  auto service = serve("parallel", {"--parallel", "4"}, {"SCRIPTED_EXTENSION_DELAY_MS=300"});
  std::vector<testing::CommandResult> results(4);
  std::vector<std::thread> clients;
  for (auto& result : results) clients.emplace_back([&] { result = send(1); });
  waitForInFlight(4);
  service->signal(SIGTERM);
  for (std::thread& client : clients) client.join();
  for (const auto& result : results) {
    EXPECT_EQ(result.exitCode, 0) << result.err;
    ASSERT_EQ(splitLines(result.out).size(), 1u);
    EXPECT_EQ(json::parse(result.out)["deliveredBy"], "extension");
  }
  EXPECT_EQ(service->wait(), 0);
  EXPECT_FALSE(fs::exists(socket_));
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
  fs::permissions(dir_.path(), fs::perms::all);
  fs::permissions(socket_, fs::perms::all);
  pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
    int fd = connectTo(socket_);
    std::vector<json> answers = converse(fd, {R"({"type":"status"})"});
    bool refused =
        answers.size() == 1 && answers[0]["type"] == "error" &&
        answers[0]["message"].get<std::string>().find("other users") != std::string::npos;
    ::_exit(refused ? 0 : 1);
  }
  int childStatus = 0;
  ASSERT_EQ(::waitpid(child, &childStatus, 0), child);
  EXPECT_TRUE(WIFEXITED(childStatus) && WEXITSTATUS(childStatus) == 0) << childStatus;
}

TEST_F(ServiceTest, AnswersBadLinesAndExcessClientsWithAnErrorAndGoesOn) {
  auto service = serve("echo", {"--max-clients", "1"});
  // The connection that found the service listening may not have been let go yet.
  int held = connectTo(socket_);
  for (int i = 0; i < 100 && converse(held, {R"({"type":"status"})"})[0]["type"] == "error"; ++i) {
    ::close(held);
    std::this_thread::sleep_for(10ms);
    held = connectTo(socket_);
  }
  const std::vector<std::string> lines = {
      "not json",
      R"({"type":"push","name":"n"})",
      R"({"type":"teleport"})",
      std::string(200000, 'x'),
      R"({"type":"push","name":"n","payload":"{}"})",
      R"({"type":"status"})",
  };
  std::vector<json> answers = converse(held, lines);
  ASSERT_EQ(answers.size(), lines.size());
  const char* expected[] = {"error", "error", "error", "error", "refused", "status"};
  for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(answers[i]["type"], expected[i]) << i;

  int excess = connectTo(socket_);
  std::vector<json> refused = converse(excess, {R"({"type":"status"})"});
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_NE(refused[0]["message"].get<std::string>().find("too many clients"), std::string::npos);
  ::close(excess);
  EXPECT_EQ(converse(held, {R"({"type":"status"})"}).size(), 1u);  // the held one still served
  ::close(held);
}

TEST_F(ServiceTest, SendRefusesLikeDeliver) {
  auto service = serve("echo", {});
  std::ofstream(dir_ / "bad.json") << "[1]";
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::size_t shown;
  };
  const Case cases[] = {
      {{"--socket", socket_, payload_, dir_ / "bad.json", payload_}, 1, 2},
      {{"--socket", socket_, dir_ / "missing.json"}, 1, 0},
      {{"--socket", socket_}, 2, 0},
      {{"--socket", dir_ / "nobody.sock", payload_}, 1, 0},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv{NOTIFICATION_HOST_PATH, "send"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    testing::CommandResult result = runCommand(argv);
    EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
    EXPECT_EQ(splitLines(result.out).size(), c.shown);
    EXPECT_FALSE(result.err.empty());
  }
}

TEST_F(ServiceTest, StartsFromSocketActivationAndExitsWhenIdle) {
  std::vector<std::string> argv{"/usr/bin/systemd-socket-activate", "-l", socket_};
  std::vector<std::string> serveArgv = serveArgs({"--idle-exit", "0.5"});
  serveArgv.erase(serveArgv.begin() + 4, serveArgv.begin() + 6);  // no --socket: it is passed in
  argv.insert(argv.end(), serveArgv.begin(), serveArgv.end());
  Background activator(argv, {"SCRIPTED_EXTENSION_MODE=echo"}, serviceErr_);
  waitForSocket();
  testing::CommandResult result = send(1);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(json::parse(result.out)["deliveredBy"], "extension");
  EXPECT_EQ(activator.wait(), 0);  // the idle exit
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
      << R"({"aps":{"alert":{"loc-key":"Neue Nachricht","loc-args":["Ana"]}}})";
  Background service({NOTIFICATION_HOST_PATH, "serve", "--app", dir / "My.app", "--socket",
                      dir / "s.sock", "--parallel", "8", "--memory-limit", "4096"},
                     env, dir / "service.err");
  for (int i = 0; i < 1000 && connectTo(dir / "s.sock") < 0; ++i) std::this_thread::sleep_for(5ms);
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
