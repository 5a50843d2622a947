// Service figures: the harness speaks the client protocol itself over the socket, so that the
// warm figure holds the service's work and the connection, not a client process start.
#include "bench/service_figures.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "bench/child_process.h"
#include "bench/durable_commit.h"
#include "bench/proc_memory.h"
#include "bench/scratch_folder.h"
#include "bench/stats.h"

namespace quenlarch::bench {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kClients = 8;

double millisSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// One client connection speaking the service's line protocol.
class Client {
 public:
  explicit Client(const std::string& path) : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~Client() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool connected() const { return fd_ >= 0; }

  // Sends `line` and returns the answer line; throws when the service hangs up.
  nlohmann::json ask(const std::string& line) {
    std::string out = line + "\n";
    if (::send(fd_, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) {
      throw std::runtime_error("the service hung up");
    }
    std::size_t newline;
    while ((newline = buffer_.find('\n')) == std::string::npos) {
      char chunk[65536];
      ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) throw std::runtime_error("the service hung up");
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
    nlohmann::json answer = nlohmann::json::parse(buffer_.substr(0, newline));
    buffer_.erase(0, newline + 1);
    return answer;
  }

 private:
  int fd_;
  std::string buffer_;
};

// A thread that wakes every millisecond while it lives. The service samples its extension's memory
// every millisecond while a push is in flight, which keeps the CPUs from idling through the
// extension's fsync; on a virtual machine an idle CPU can notice that fsync's completion only at
// the next clock tick (4 ms here), a wait a commit timed in a quiet process pays and the warm
// push does not. Timing the floor beside a waker gives it the same wake-ups.
class Waker {
 public:
  Waker()
      : thread_([this] {
          while (!stop_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }) {}
  ~Waker() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::int64_t storedCount(const ServiceSetup& setup) {
  auto status = ChildProcess::spawn(
      {{setup.badgeApp, "status", "--app", setup.app}, {{"QUENLARCH_KEYCHAIN", setup.keychain}}});
  nlohmann::json json = nlohmann::json::parse(status->readAll());
  status->wait();
  return json.at("count").get<std::int64_t>();
}

void setCount(const ServiceSetup& setup, int count) {
  timeCommand({{setup.badgeApp, "set-count", "--app", setup.app, std::to_string(count)},
               {{"QUENLARCH_KEYCHAIN", setup.keychain}},
               false});
}

// `total` pushes spread over kClients connections at once; the number shown by the extension.
long pushFromClients(const std::string& socket, const std::string& push, int total) {
  std::atomic<long> byExtension{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    int share = total / kClients + (c < total % kClients ? 1 : 0);
    clients.emplace_back([&, share] {
      Client client(socket);
      for (int i = 0; i < share; ++i) {
        nlohmann::json answer = client.ask(push);
        if (answer.at("line").at("deliveredBy") == "extension") ++byExtension;
      }
    });
  }
  for (std::thread& client : clients) client.join();
  return byExtension;
}

}  // namespace

nlohmann::json measureService(const ServiceSetup& setup) {
  ScratchFolder scratch;
  // The floor: one durable commit. Past SQLite's automatic checkpoint (1000 pages) the log is
  // rewritten in place instead of growing with every commit, as the long-lived keychain store's
  // log is; the timed commits start from there, so the floor pays no file growth the extension
  // does not pay either.
  DurableCommit::create(scratch.file("floor.sqlite"));
  DurableCommit floor(scratch.file("floor.sqlite"));
  for (int i = 0; i < 1100; ++i) floor.commit(i);

  setCount(setup, 0);
  const std::string socket = scratch.file("service.sock");
  auto service =
      ChildProcess::spawn({{setup.host, "serve", "--app", setup.app, "--socket", socket,
                            "--keychain", setup.keychain, "--parallel", std::to_string(kClients)},
                           {},
                           false});
  std::unique_ptr<Client> client;
  for (int i = 0; i < 2000 && !(client && client->connected()); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    client = std::make_unique<Client>(socket);
  }
  if (!client->connected()) throw std::runtime_error("the service did not listen");

  const std::string push =
      nlohmann::json{{"type", "push"}, {"name", "bench"}, {"payload", readFile(setup.payload)}}
          .dump();
  long sent = 0;
  for (int i = 0; i < 20; ++i, ++sent) client->ask(push);  // the process is warm from here on
  // Push and floor commits take turns, so that all meet the same load and the same fsync latency,
  // which drifts by a factor of ten on a shared machine. The floor is timed beside a waker, and
  // for comparison also in a quiet process.
  std::vector<double> warm, commits, quietCommits;
  for (int i = 0; i < setup.runs; ++i, ++sent) {
    Clock::time_point start = Clock::now();
    client->ask(push);
    warm.push_back(millisSince(start));
    {
      Waker waker;
      start = Clock::now();
      floor.commit(2 * i);
      commits.push_back(millisSince(start));
    }
    start = Clock::now();
    floor.commit(2 * i + 1);
    quietCommits.push_back(millisSince(start));
  }

  // Many pushes from eight clients: the first 100 settle the process, the rest are timed.
  long byExtension = pushFromClients(socket, push, 100);
  const pid_t extension = client->ask(R"({"type":"status"})").at("extensionPid").get<pid_t>();
  const long hwmAt100 = statusKiB(extension, "VmHWM").value_or(-1);
  const long anonAt100 = statusKiB(extension, "RssAnon").value_or(-1);
  const int timed = setup.pushes - 100;
  Clock::time_point start = Clock::now();
  byExtension += pushFromClients(socket, push, timed);
  const double seconds = millisSince(start) / 1000;
  nlohmann::json status = client->ask(R"({"type":"status"})");
  const long hwmAtEnd = statusKiB(extension, "VmHWM").value_or(-1);
  const long anonAtEnd = statusKiB(extension, "RssAnon").value_or(-1);
  sent += setup.pushes;
  client.reset();
  ::kill(service->pid(), SIGTERM);
  service->wait();

  return {{"runs", setup.runs},
          {"warmPushMs", median(warm)},
          {"commitMs", median(commits)},
          {"quietCommitMs", median(quietCommits)},
          {"parallelPushesPerSecond", timed / seconds},
          {"serialCommitsPerSecond", 1000 / median(commits)},
          {"pushes", setup.pushes},
          {"shownByExtension", byExtension},
          {"sent", sent},
          {"stored", storedCount(setup)},
          {"extensionStarts", status.at("extensionStarts")},
          {"samePid", status.at("extensionPid") == extension},
          {"hwmAfter100", hwmAt100},
          {"hwmAfterAll", hwmAtEnd},
          {"anonAfter100", anonAt100},
          {"anonAfterAll", anonAtEnd}};
}

}  // namespace quenlarch::bench
