// scripted-extension: a test-only stand-in for a notification service extension. It speaks the
// host protocol and misbehaves on request, so that tests can drive notification-host through every
// way an extension can answer, fail to answer, or die.
//
// SCRIPTED_EXTENSION_MODE is a comma-separated list; the k-th process started for one log file
// behaves as the k-th mode (the last one repeats), so "crash,echo" crashes once and then serves:
//   echo            deliver each request's content with badge 7
//   hang            never answer, not even serviceExtensionTimeWillExpire
//   timeout-answer  answer only on serviceExtensionTimeWillExpire, with the content as received
//   crash           abort() on the first request
//   release         answer every request with "released"
//   double          deliver twice for the same request (badge 7, then badge 8)
//   garbage         write junk lines (and one deliver line in two pieces), then echo
//   parallel        each request on its own thread: wait until SCRIPTED_EXTENSION_BARRIER requests
//                   (default 1) have arrived or 5 s have passed, pause SCRIPTED_EXTENSION_DELAY_MS,
//                   then deliver with the badge set to this process's count of answered requests
//   allocate        on a request, touch SCRIPTED_EXTENSION_ALLOCATE_MIB MiB (default 64), wait 2 s,
//                   then echo; answers serviceExtensionTimeWillExpire with badge 66
// SCRIPTED_EXTENSION_LOG, when set, is a file that gets one line per process started:
//   "<pid> <QUENLARCH_KEYCHAIN or ->".
// SCRIPTED_EXTENSION_IGNORE_EOF=1 makes the process stay after its input closes.
// SCRIPTED_EXTENSION_PEAK, when set, is a file rewritten with the most requests "parallel" has had
// in flight at once.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/file_io.h"
#include "platform/linux/host_protocol.h"
#include "platform/linux/line_reader.h"

namespace protocol = quenlarch::host_protocol;

namespace {

void writeRaw(const std::string& text) {
  if (!quenlarch::writeAll(STDOUT_FILENO, text)) std::exit(0);  // the host is gone
}

// Answers may come from several threads; each line goes out whole.
std::mutex writeMutex;

void send(const protocol::Message& message) {
  std::string line = protocol::encode(message) + "\n";
  std::lock_guard lock(writeMutex);
  writeRaw(line);
}

std::string envOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : fallback;
}

// Picks this process's mode and records the start in the log.
std::string modeForThisProcess() {
  std::vector<std::string> modes;
  std::stringstream list(envOr("SCRIPTED_EXTENSION_MODE", "echo"));
  for (std::string mode; std::getline(list, mode, ',');) modes.push_back(mode);
  if (modes.empty()) modes.push_back("echo");

  std::size_t started = 0;
  std::string logPath = envOr("SCRIPTED_EXTENSION_LOG", "");
  if (!logPath.empty()) {
    std::ifstream in(logPath);
    for (std::string line; std::getline(in, line);) ++started;
    std::ofstream(logPath, std::ios::app)
        << ::getpid() << ' ' << envOr("QUENLARCH_KEYCHAIN", "-") << '\n';
  }
  return modes[std::min(started, modes.size() - 1)];
}

std::shared_ptr<const quenlarch::PushContent> withBadge(
    const std::shared_ptr<const quenlarch::PushContent>& content, std::uint32_t badge) {
  auto copy = std::make_shared<quenlarch::PushContent>(content->userInfo(), content->badge(),
                                                       content->displayFields());
  copy->setBadge(badge);
  return copy;
}

void writeGarbage() {
  writeRaw("this is not JSON\n");
  writeRaw("[1, 2, 3]\n");
  writeRaw("{\"type\":\"teleport\"}\n");
  writeRaw("{\"type\":\"deliver\",\"id\":\"1\"}\n");  // no content
  // Answers for a request the host never sent; badge 99 must never be shown.
  auto stray = std::make_shared<const quenlarch::PushContent>(quenlarch::PlistValue(), 99,
                                                              quenlarch::PlistValue());
  send(protocol::Deliver{"999", stray});
  send(protocol::Released{"998"});
  send(protocol::Error{"something went wrong"});
  writeRaw(std::string(protocol::kMaxLineBytes + 10, 'x') + "\n");
  writeRaw("\n");
}

// The "parallel" mode's state: requests that arrived, are in flight, were answered.
struct ParallelState {
  std::mutex mutex;
  std::condition_variable arrived;
  unsigned arrivals = 0;
  unsigned inFlight = 0;
  unsigned peak = 0;
  std::uint32_t answered = 0;
};

void answerInParallel(ParallelState& state, protocol::Request request) {
  const unsigned barrier =
      static_cast<unsigned>(std::stoul(envOr("SCRIPTED_EXTENSION_BARRIER", "1")));
  const auto delay =
      std::chrono::milliseconds(std::stoul(envOr("SCRIPTED_EXTENSION_DELAY_MS", "0")));
  {
    std::unique_lock lock(state.mutex);
    ++state.arrivals;
    state.peak = std::max(state.peak, ++state.inFlight);
    std::string peakPath = envOr("SCRIPTED_EXTENSION_PEAK", "");
    if (!peakPath.empty()) std::ofstream(peakPath, std::ios::trunc) << state.peak << '\n';
    state.arrived.notify_all();
    state.arrived.wait_for(lock, std::chrono::seconds(5),
                           [&] { return state.arrivals >= barrier; });
  }
  std::this_thread::sleep_for(delay);
  std::uint32_t badge = 0;
  {
    std::lock_guard lock(state.mutex);
    badge = ++state.answered;
    --state.inFlight;
  }
  send(protocol::Deliver{request.id, withBadge(request.content, badge)});
}

void allocateAndAnswer(const protocol::Request& request) {
  const std::size_t mib = std::stoul(envOr("SCRIPTED_EXTENSION_ALLOCATE_MIB", "64"));
  auto* block = new char[mib << 20];
  std::memset(block, 1, mib << 20);  // touched, so it is resident
  std::this_thread::sleep_for(std::chrono::seconds(2));
  send(protocol::Deliver{request.id, withBadge(request.content, 7)});
  delete[] block;
}

}  // namespace

int main() {
  const std::string mode = modeForThisProcess();
  send(protocol::Ready{});
  if (mode == "garbage") writeGarbage();

  quenlarch::LineReader reader(STDIN_FILENO, protocol::kMaxLineBytes);
  std::optional<protocol::Request> pending;  // the last request, for timeout-answer
  ParallelState parallel;
  std::vector<std::thread> workers;
  while (std::optional<quenlarch::Line> line = reader.next()) {
    protocol::Message message = protocol::decode(line->text);
    if (std::holds_alternative<protocol::TimeWillExpire>(message)) {
      if (mode == "timeout-answer" && pending) {
        send(protocol::Deliver{pending->id, pending->content});
        pending.reset();
      }
      if (mode == "allocate" && pending) {
        send(protocol::Deliver{pending->id, withBadge(pending->content, 66)});
      }
      continue;
    }
    const auto* request = std::get_if<protocol::Request>(&message);
    if (request == nullptr) continue;
    if (mode == "echo") {
      send(protocol::Deliver{request->id, withBadge(request->content, 7)});
    } else if (mode == "crash") {
      std::abort();
    } else if (mode == "release") {
      send(protocol::Released{request->id});
    } else if (mode == "double") {
      send(protocol::Deliver{request->id, withBadge(request->content, 7)});
      send(protocol::Deliver{request->id, withBadge(request->content, 8)});
    } else if (mode == "garbage") {
      // The answer arrives in two pieces with a pause between, as a slow writer's would.
      std::string answer =
          protocol::encode(protocol::Deliver{request->id, withBadge(request->content, 7)});
      writeRaw(answer.substr(0, answer.size() / 2));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      writeRaw(answer.substr(answer.size() / 2) + "\n");
    } else if (mode == "timeout-answer") {
      pending = *request;
    } else if (mode == "parallel") {
      workers.emplace_back(answerInParallel, std::ref(parallel), *request);
    } else if (mode == "allocate") {
      pending = *request;
      allocateAndAnswer(*request);
    }
    // hang: nothing.
  }
  for (std::thread& worker : workers) worker.join();
  if (mode == "hang" || envOr("SCRIPTED_EXTENSION_IGNORE_EOF", "") == "1") {
    while (true) ::pause();
  }
  return 0;
}
