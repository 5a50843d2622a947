// Client connection: blocking reads and writes on the connection's own thread; a client that stops
// reading its answers is given up on after kSendTimeout instead of holding the thread forever.
#include "tools/notification_host/service/client_connection.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <string>
#include <variant>

#include "platform/linux/line_reader.h"
#include "tools/common/command_line.h"
#include "tools/notification_host/payload.h"
#include "tools/notification_host/service/client_protocol.h"

namespace quenlarch::notification_host {
namespace {

namespace cp = client_protocol;

constexpr timeval kSendTimeout{10, 0};

bool writeAll(int fd, std::string text, int flags) {
  text += '\n';
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL | flags);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string statusAnswer(const WarmStatus& status) {
  nlohmann::ordered_json line{{"type", "status"}};
  line["extensionPid"] = nullptr;
  if (status.extensionPid != 0) line["extensionPid"] = status.extensionPid;
  line["extensionStarts"] = status.extensionStarts;
  line["pushesInFlight"] = status.pushesInFlight;
  line["extensionPeakResidentBytes"] = status.peakResidentBytes;
  return tools::jsonLine(line);
}

std::string answerFor(const cp::ClientMessage& message, WarmExtension& extension,
                      ServiceDisplay& display) {
  if (const auto* malformed = std::get_if<cp::Malformed>(&message)) {
    return cp::errorAnswer(malformed->reason);
  }
  if (std::holds_alternative<cp::StatusRequest>(message)) return statusAnswer(extension.status());
  const auto& push = std::get<cp::Push>(message);
  auto built = contentFromPayload(push.payload);
  if (const auto* refusal = std::get_if<Refusal>(&built)) return cp::refusedAnswer(refusal->reason);
  Shown shown = extension.deliver(std::get<std::shared_ptr<const PushContent>>(built));
  return cp::shownAnswer(display.show(push.name, shown));
}

}  // namespace

void serveClient(int fd, WarmExtension& extension, ServiceDisplay& display,
                 const std::atomic<bool>& stopping) {
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &kSendTimeout, sizeof kSendTimeout);
  LineReader reader(fd, cp::kMaxClientLineBytes);
  bool clientGone = false;
  while (std::optional<Line> line = reader.next()) {
    if (!line->oversized && line->text.find_first_not_of(" \t\r") == std::string::npos) continue;
    std::string answer =
        line->oversized
            ? cp::errorAnswer("a line longer than " + std::to_string(cp::kMaxClientLineBytes) +
                              " bytes was skipped")
            : answerFor(cp::decodeClientLine(line->text), extension, display);
    // A client that has gone keeps nothing from failing here: its push has already run.
    if (!clientGone && !writeAll(fd, answer, 0)) clientGone = true;
  }
  if (stopping.load() && !clientGone) writeAll(fd, cp::errorAnswer("the service is stopping"), 0);
}

void refuseClient(int fd, std::string_view message) {
  writeAll(fd, cp::errorAnswer(message), MSG_DONTWAIT);
}

}  // namespace quenlarch::notification_host
