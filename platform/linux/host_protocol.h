// The line protocol between the notification host and an extension process: one JSON object per
// line on the extension's standard input (host to extension) and standard output (extension to
// host).
//
//   host -> extension
//     {"type":"request","id":ID,"content":CONTENT}   didReceiveNotificationRequest
//     {"type":"timeWillExpire","id":ID}               serviceExtensionTimeWillExpire for request ID
//     {"type":"timeWillExpire"}                       the same for every request in flight
//   extension -> host
//     {"type":"ready"}                                the principal object exists
//     {"type":"deliver","id":ID,"content":CONTENT[,"log":LOG]}
//                                                     request ID's handler was called
//     {"type":"released","id":ID[,"log":LOG]}         request ID's handler was released uncalled
//     {"type":"error","message":TEXT}                 a line could not be understood
//
// CONTENT is {"userInfo":{...},"badge":N|null,"fields":{...}}: the payload, the badge, and the
// displayed fields (title, body, sound, ...) that pass through untouched. IDs are strings.
//
// LOG carries the extension's log entries of that request, made while it was prepared and before
// this answer: [{"badgeNote":TEXT[,"detail":TEXT]}, ...], in the order they were made. badgeNote
// is how the request's badge work ended ("counted", "keychain unusable", ...: badgeNoteText in
// platform/outcome_log.h); detail, when present, says more (the keychain's problem). A request
// answered before its work ended (a time-out) has no entry for it. "log" is left out when there
// are no entries, and a host reads an answer without it, or with a malformed one, as having none:
// the content is what counts, so a log that cannot be read never costs the answer.
//
// Several requests may be in flight at once; each gets a principal object of its own and is
// answered exactly once, by "deliver" or "released", in whatever order they finish. A request the
// extension has not started yet when its time-out arrives is answered with its content as
// received. A timeWillExpire naming no request in flight is ignored. A host that sends one request
// at a time may leave out the ID of timeWillExpire.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/linux/push_content.h"
#include "platform/notification_content.h"

namespace quenlarch::host_protocol {

// Longest line either side accepts; longer lines are skipped and answered with an error.
inline constexpr std::size_t kMaxLineBytes = 256 * 1024;
// Deepest nesting of arrays and objects a content may have, counting the content object itself.
// Property-list values are built and taken apart recursively, one stack frame per level, and a
// line within kMaxLineBytes can nest over 100,000 levels deep; real payloads stay far below this.
inline constexpr std::size_t kMaxContentNestingDepth = 512;

struct Request {
  std::string id;
  std::shared_ptr<const PushContent> content;
};
struct TimeWillExpire {
  std::optional<std::string> id;  // none: every request in flight
};
struct Ready {};
// One entry of an answer's log.
struct LogEntry {
  std::string badgeNote;
  std::optional<std::string> detail;
  friend bool operator==(const LogEntry&, const LogEntry&) = default;
};
struct Deliver {
  std::string id;
  std::shared_ptr<const PushContent> content;
  std::vector<LogEntry> log = {};  // oldest first; empty when the answer carried none
};
struct Released {
  std::string id;
  std::vector<LogEntry> log = {};  // oldest first; empty when the answer carried none
};
struct Error {
  std::string message;
};

using Message = std::variant<Request, TimeWillExpire, Ready, Deliver, Released, Error>;

// Whether arrays and objects in `json` nest more than `maxDepth` levels deep (the outermost one is
// level 1). Walks with a heap-allocated stack, so any depth is measured safely.
bool nestsDeeperThan(const nlohmann::json& json, std::size_t maxDepth);

nlohmann::json contentToJson(const NotificationContent& content);
// None when the JSON is not a content object (userInfo must be an object, badge an integer or
// null, fields an object when present) or nests deeper than kMaxContentNestingDepth.
std::optional<std::shared_ptr<const PushContent>> contentFromJson(const nlohmann::json& json);

std::string encode(const Message& message);  // one line, without the newline
// Parses one line; an Error message (with the reason) for anything malformed. Never throws.
Message decode(std::string_view line);

}  // namespace quenlarch::host_protocol
