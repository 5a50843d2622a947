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
constexpr int kIdleConnections = 50;
constexpr int kIdleSeconds = 3;

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

// CPU time of `pid` so far, in clock ticks (user + system, fields 14 and 15 of /proc/PID/stat).
long cpuTicks(pid_t pid) {
  const std::string stat = readWholeFile("/proc/" + std::to_string(pid) + "/stat");
  // The command name (field 2) may hold spaces; the fields after it start past its ')'.
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return utime + stime;
}

struct IdleFigures {
  long threads = -1;
  long cpuTicks = -1;
};

// The service idle with kIdleConnections open: its threads, and the CPU it uses meanwhile. Each
// connection has been answered once, so the service has taken them all.
IdleFigures measureIdle(const std::string& socket, pid_t service) {
  std::vector<std::unique_ptr<Client>> idle;
  for (int i = 0; i < kIdleConnections; ++i) {
    idle.push_back(std::make_unique<Client>(socket));
    idle.back()->ask(R"({"type":"status"})");
  }
  IdleFigures figures;
  figures.threads = statusKiB(service, "Threads").value_or(-1);
  const long before = cpuTicks(service);
  std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
  figures.cpuTicks = cpuTicks(service) - before;
  return figures;
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
      nlohmann::json{{"type", "push"}, {"name", "bench"}, {"payload", readWholeFile(setup.payload)}}
          .dump();
  long sent = 0;
  for (int i = 0; i < 20; ++i, ++sent) client->ask(push);  // the process is warm from here on
  // Push and floor commit take turns, so that both meet the same load and the same fsync latency,
  // which drifts by a factor of ten on a shared machine, and both run beside the same waker. The
  // floor is timed once more afterwards in a quiet process, for comparison.
  std::vector<double> warm, commits, quietCommits;
  {
    Waker waker;
    for (int i = 0; i < setup.runs; ++i, ++sent) {
      Clock::time_point start = Clock::now();
      client->ask(push);
      warm.push_back(millisSince(start));
      start = Clock::now();
      floor.commit(2 * i);
      commits.push_back(millisSince(start));
    }
  }
  for (int i = 0; i < setup.runs / 3; ++i) {
    const Clock::time_point start = Clock::now();
    floor.commit(2 * (setup.runs + i));
    quietCommits.push_back(millisSince(start));
  }

  // Many pushes from eight clients: the first 100 settle the process, the rest are timed.
  long byExtension = pushFromClients(socket, push, 100);
  const pid_t extension = client->ask(R"({"type":"status"})").at("extensionPid").get<pid_t>();
  const long hwmAt100 = statusKiB(extension, "VmHWM").value_or(-1);
  const long anonAt100 = statusKiB(extension, "RssAnon").value_or(-1);
  const int timed = setup.pushes - 100;
  const long serviceTicks = cpuTicks(service->pid());
  const long extensionTicks = cpuTicks(extension);
  Clock::time_point start = Clock::now();
  byExtension += pushFromClients(socket, push, timed);
  const double seconds = millisSince(start) / 1000;
  // CPU per push, where the parallel rate is bounded by the CPUs rather than by commits.
  const double microsPerTick = 1e6 / static_cast<double>(::sysconf(_SC_CLK_TCK));
  const double serviceCpuMicros =
      static_cast<double>(cpuTicks(service->pid()) - serviceTicks) * microsPerTick / timed;
  const double extensionCpuMicros =
      static_cast<double>(cpuTicks(extension) - extensionTicks) * microsPerTick / timed;
  nlohmann::json status = client->ask(R"({"type":"status"})");
  const long hwmAtEnd = statusKiB(extension, "VmHWM").value_or(-1);
  const long anonAtEnd = statusKiB(extension, "RssAnon").value_or(-1);
  sent += setup.pushes;
  const IdleFigures idle = measureIdle(socket, service->pid());
  client.reset();
  ::kill(service->pid(), SIGTERM);
  service->wait();

  return {{"runs", setup.runs},
          {"warmPushMs", median(warm)},
          {"commitMs", median(commits)},
          {"quietCommitMs", median(quietCommits)},
          {"parallelPushesPerSecond", timed / seconds},
          {"serviceCpuMicrosPerPush", serviceCpuMicros},
          {"extensionCpuMicrosPerPush", extensionCpuMicros},
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
          {"anonAfterAll", anonAtEnd},
          {"idleConnections", kIdleConnections},
          {"idleThreads", idle.threads},
          {"idleSeconds", kIdleSeconds},
          {"idleCpuTicks", idle.cpuTicks}};
}

}  // namespace quenlarch::bench
