// Fuzzes what any local user can send to notification-host serve: bytes split into lines by the
// line buffer the service reads with, and each line decoded as a client message.
// Properties: the buffer gives the same lines however the bytes arrive (in one piece or in chunks
// of any size), with lines over the cap reported as oversized and not kept; decoding never crashes;
// a line with a NUL byte is never a request; a decoded push encodes to a line that decodes to the
// same push, and send's line for its payload to a push of the same name; and a payload with a NUL
// byte is refused as not JSON.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/linux/line_reader.h"
#include "tools/notification_host/push/push_intake.h"
#include "tools/notification_host/service/client_protocol.h"

namespace quenlarch {
namespace {

using quenlarch::fuzz::check;

namespace cp = notification_host::client_protocol;

bool sameLines(const std::vector<Line>& a, const std::vector<Line>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const Line& x, const Line& y) {
    return x.oversized == y.oversized && x.text == y.text;
  });
}

// The lines of `input` as the rules say: split at '\n', the last one even without its newline,
// and any longer than `cap` reported as oversized with no text.
std::vector<Line> expectedLines(std::string_view input, std::size_t cap) {
  std::vector<Line> lines;
  while (!input.empty()) {
    const std::size_t newline = input.find('\n');
    const std::string_view text = input.substr(0, newline);
    lines.push_back(text.size() > cap ? Line{"", true} : Line{std::string(text), false});
    if (newline == std::string_view::npos) break;
    input.remove_prefix(newline + 1);
  }
  return lines;
}

// The lines a LineBuffer gives for `input` appended in chunks whose sizes cycle through `sizes`.
std::vector<Line> bufferedLines(std::string_view input, std::size_t cap, std::string_view sizes) {
  LineBuffer buffer(cap);
  std::vector<Line> lines;
  std::size_t turn = 0;
  while (!input.empty()) {
    const std::size_t size =
        sizes.empty() ? input.size() : 1 + static_cast<unsigned char>(sizes[turn++ % sizes.size()]);
    buffer.append(input.substr(0, size));
    input.remove_prefix(std::min(size, input.size()));
    while (std::optional<Line> line = buffer.next()) lines.push_back(std::move(*line));
  }
  while (std::optional<Line> line = buffer.finish()) lines.push_back(std::move(*line));
  return lines;
}

void checkDecoding(const std::string& line) {
  const cp::ClientMessage message = cp::decodeClientLine(line);
  if (line.find('\0') != std::string::npos) {
    check(std::holds_alternative<cp::Malformed>(message));
  }
  const auto* push = std::get_if<cp::Push>(&message);
  const auto* text = push != nullptr ? std::get_if<std::string>(&push->payload) : nullptr;
  if (text == nullptr) return;
  const cp::ClientMessage again = cp::decodeClientLine(cp::encodePush(push->name, *text));
  const auto* same = std::get_if<cp::Push>(&again);
  const auto* sameText = same != nullptr ? std::get_if<std::string>(&same->payload) : nullptr;
  check(sameText != nullptr && same->name == push->name && *sameText == *text);
  // The line send writes is a push of the same name whatever the payload's text holds.
  const cp::ClientMessage sent = cp::decodeClientLine(cp::pushLine(push->name, *text));
  const auto* framed = std::get_if<cp::Push>(&sent);
  check(framed != nullptr && framed->name == push->name);
  if (text->find('\0') != std::string::npos) {
    const auto accepted = notification_host::acceptPush(*text, {"com.quenlarch.app"});
    check(!accepted && accepted.error().reason == "BadPayload");
  }
}

}  // namespace
}  // namespace quenlarch

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quenlarch;
  std::string_view all(reinterpret_cast<const char*>(data), size);
  // Up to 8 bytes before a first newline choose the chunk sizes; the rest is what was sent.
  const std::size_t newline = all.find('\n');
  const bool chosen = newline != std::string_view::npos && newline <= 8;
  const std::string_view sizes = chosen ? all.substr(0, newline) : std::string_view();
  const std::string_view input = chosen ? all.substr(newline + 1) : all;

  // A small cap reaches the oversized paths with short inputs; the service's own cap is the one
  // its lines are decoded under.
  for (std::size_t cap : {std::size_t{16}, cp::kMaxClientLineBytes}) {
    const std::vector<Line> expected = expectedLines(input, cap);
    check(sameLines(bufferedLines(input, cap, ""), expected));
    check(sameLines(bufferedLines(input, cap, sizes), expected));
  }
  for (const Line& line : expectedLines(input, cp::kMaxClientLineBytes)) {
    if (!line.oversized) checkDecoding(line.text);
  }
  return 0;
}
