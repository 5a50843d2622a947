// Fuzzes the extension's side of the host protocol. Each line of the input goes through
// host_protocol::decode, which must never crash, must refuse contents nested deeper than the
// protocol allows, and whose result must survive encode: the encoded message decodes to an equal
// one, answers' log entries included. Then the whole input is served, as the host's side of a
// connection, by serveHostConnection to an extension whose objects deliver every request's content
// at once; the extension must answer "ready" first and exactly one "deliver" per request, whatever
// the time-outs in between.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <variant>

#include "fuzz/fuzz_check.h"
#include "platform/linux/file_io.h"
#include "platform/linux/host_connection.h"
#include "platform/linux/host_protocol.h"
#include "platform/linux/push_content.h"
#include "platform/principal_class.h"

namespace quenlarch {
namespace {

using quenlarch::fuzz::check;

namespace hp = host_protocol;

// Levels of arrays and dictionaries in `value` (0 for a scalar).
std::size_t nestingDepth(const PlistValue& value) {
  std::size_t deepest = 0;
  if (const auto* array = value.asArray()) {
    for (const PlistValue& element : *array) deepest = std::max(deepest, nestingDepth(element));
  } else if (const auto* dict = value.asDictionary()) {
    for (const PlistEntry& entry : *dict) {
      deepest = std::max({deepest, nestingDepth(entry.key), nestingDepth(entry.value)});
    }
  } else {
    return 0;
  }
  return deepest + 1;
}

// A decoded content never nests deeper than the protocol allows (the content object is a level).
bool withinNestingLimit(const PushContent& content) {
  return 1 + nestingDepth(content.userInfo()) <= hp::kMaxContentNestingDepth &&
         1 + nestingDepth(content.displayFields()) <= hp::kMaxContentNestingDepth;
}

bool sameContent(const PushContent& a, const PushContent& b) {
  return a.userInfo() == b.userInfo() && a.badge() == b.badge() &&
         a.displayFields() == b.displayFields();
}

bool sameMessage(const hp::Message& a, const hp::Message& b) {
  if (a.index() != b.index()) return false;
  if (const auto* x = std::get_if<hp::Request>(&a)) {
    const auto& y = std::get<hp::Request>(b);
    return x->id == y.id && sameContent(*x->content, *y.content);
  }
  if (const auto* x = std::get_if<hp::Deliver>(&a)) {
    const auto& y = std::get<hp::Deliver>(b);
    return x->id == y.id && sameContent(*x->content, *y.content) && x->log == y.log;
  }
  if (const auto* x = std::get_if<hp::Released>(&a)) {
    const auto& y = std::get<hp::Released>(b);
    return x->id == y.id && x->log == y.log;
  }
  if (const auto* x = std::get_if<hp::Error>(&a)) {
    return x->message == std::get<hp::Error>(b).message;
  }
  if (const auto* x = std::get_if<hp::TimeWillExpire>(&a)) {
    return x->id == std::get<hp::TimeWillExpire>(b).id;
  }
  return true;  // Ready: no fields
}

// Delivers each request's content unchanged, right away; time-outs find nothing left to do.
class DeliveringExtension : public NotificationServiceExtension {
 public:
  void didReceiveNotificationRequest(const NotificationRequest& request,
                                     ContentHandler contentHandler) override {
    contentHandler(request.content);
  }
  void serviceExtensionTimeWillExpire() override {}
};

class DeliveringClass : public PrincipalClass {
 public:
  std::unique_ptr<NotificationServiceExtension> makeObject() override {
    return std::make_unique<DeliveringExtension>();
  }
};

// The input's lines as the line reader hands them over: split at '\n', a final unterminated line
// included, empty lines skipped (as the connection does).
template <typename F>
void forEachLine(std::string_view input, F&& f) {
  while (!input.empty()) {
    const std::size_t newline = input.find('\n');
    const std::string_view line = input.substr(0, newline);
    if (!line.empty()) f(line);
    if (newline == std::string_view::npos) break;
    input.remove_prefix(newline + 1);
  }
}

std::string readAll(int fd) {
  std::string out;
  char chunk[16384];
  while (true) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return out;
    out.append(chunk, static_cast<std::size_t>(n));
  }
}

// Runs the connection over two pipes; returns what the extension wrote.
std::string serve(std::string_view input) {
  int toExtension[2];
  int fromExtension[2];
  check(::pipe2(toExtension, O_CLOEXEC) == 0);
  check(::pipe2(fromExtension, O_CLOEXEC) == 0);

  std::thread host([&] {
    (void)writeAll(toExtension[1], input);  // the extension may stop reading early
    ::close(toExtension[1]);
  });
  std::string output;
  std::thread collector([&] { output = readAll(fromExtension[0]); });

  DeliveringClass principalClass;
  check(serveHostConnection(principalClass, toExtension[0], fromExtension[1]) == 0);
  ::close(fromExtension[1]);
  host.join();
  collector.join();
  ::close(toExtension[0]);
  ::close(fromExtension[0]);
  return output;
}

}  // namespace
}  // namespace quenlarch

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ::signal(SIGPIPE, SIG_IGN);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quenlarch;
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  std::size_t requests = 0;
  forEachLine(input, [&](std::string_view line) {
    const hp::Message message = hp::decode(line);
    if (const auto* request = std::get_if<hp::Request>(&message)) {
      check(withinNestingLimit(*request->content));
    } else if (const auto* deliver = std::get_if<hp::Deliver>(&message)) {
      check(withinNestingLimit(*deliver->content));
    }
    const std::string encoded = hp::encode(message);
    check(encoded.find('\n') == std::string::npos);
    check(sameMessage(hp::decode(encoded), message));
    if (std::holds_alternative<hp::Request>(message)) ++requests;
  });

  // Lines beyond the protocol's limit are skipped by the connection, not decoded.
  if (size > hp::kMaxLineBytes) return 0;
  const std::string output = serve(input);
  std::size_t lines = 0;
  std::size_t deliveries = 0;
  forEachLine(output, [&](std::string_view line) {
    const hp::Message message = hp::decode(line);
    if (lines++ == 0) check(std::holds_alternative<hp::Ready>(message));
    check(!std::holds_alternative<hp::Released>(message));
    if (std::holds_alternative<hp::Deliver>(message)) ++deliveries;
  });
  check(lines >= 1 && output.back() == '\n');
  check(deliveries == requests);
  return 0;
}
