// Pushes as people write them: a bare payload ({"aps": {...}, ...}, default headers) or an
// envelope {"headers": {...}, "payload": {...}} that gives request headers with the provider
// API's names. Used for payload files, deliver's and send's standard input and the service's
// client protocol, so that every way into the host takes the same headers as the provider
// endpoint.
#pragma once

#include <string>
#include <string_view>

#include "platform/linux/expected.h"
#include "tools/notification_host/push/push_headers.h"

namespace quenlarch::notification_host::push {

struct PushEnvelope {
  GivenHeaders headers;  // all absent for a bare payload
  std::string payload;   // the payload's bytes: a bare payload as given, an envelope's re-encoded
};

// Reads `text`. A JSON object with "headers" or "payload" and without "aps" is an envelope: only
// "headers" (an object, read by readHeaderObject) and "payload" (an object) may appear in it, and
// an envelope without "payload" is refused as PayloadEmpty. Anything else is a bare payload, left
// for resolvePush to judge.
Expected<PushEnvelope, PushRefusal> readEnvelope(std::string_view text);

}  // namespace quenlarch::notification_host::push
