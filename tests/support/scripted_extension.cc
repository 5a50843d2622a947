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
// SCRIPTED_EXTENSION_LOG, when set, is a file that gets one line per process started:
//   "<pid> <QUENLARCH_KEYCHAIN or ->".
// SCRIPTED_EXTENSION_IGNORE_EOF=1 makes the process stay after its input closes.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/host_protocol.h"
#include "platform/linux/line_reader.h"

namespace protocol = quenlarch::host_protocol;

namespace {

void writeRaw(const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) std::exit(0);  // the host is gone
    done += static_cast<std::size_t>(n);
  }
}

void send(const protocol::Message& message) { writeRaw(protocol::encode(message) + "\n"); }

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

}  // namespace

int main() {
  const std::string mode = modeForThisProcess();
  send(protocol::Ready{});
  if (mode == "garbage") writeGarbage();

  quenlarch::LineReader reader(STDIN_FILENO, protocol::kMaxLineBytes);
  std::optional<protocol::Request> pending;  // the last request, for timeout-answer
  while (std::optional<quenlarch::Line> line = reader.next()) {
    protocol::Message message = protocol::decode(line->text);
    if (std::holds_alternative<protocol::TimeWillExpire>(message)) {
      if (mode == "timeout-answer" && pending) {
        send(protocol::Deliver{pending->id, pending->content});
        pending.reset();
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
    }
    // hang: nothing.
  }
  if (mode == "hang" || envOr("SCRIPTED_EXTENSION_IGNORE_EOF", "") == "1") {
    while (true) ::pause();
  }
  return 0;
}
