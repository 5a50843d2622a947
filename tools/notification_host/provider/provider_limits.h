// What one hostile or slow client can take from the provider endpoint, and so what all of them
// together can: at most maxConnections connections, each holding at most maxConcurrentStreams
// requests of at most maxHeaderListBytes of headers and maxBodyBytes of body, plus its TLS and
// HTTP/2 state and the output of one read's worth of input. With the defaults that is about
// 64 × (128 × 9 KiB + 200 KiB) ≈ 85 MiB at the very worst, and a few KiB per idle connection.
#pragma once

#include <chrono>
#include <cstddef>

#include "tools/notification_host/push/push_headers.h"

namespace quenlarch::notification_host::provider {

struct ProviderLimits {
  // Connections open at once, handshaking ones included; a newcomer past it takes the slot of the
  // connection idle longest.
  unsigned maxConnections = 64;
  // SETTINGS_MAX_CONCURRENT_STREAMS: requests in flight on one connection.
  unsigned maxConcurrentStreams = 128;
  // SETTINGS_MAX_HEADER_LIST_SIZE; a request past it is reset (ENHANCE_YOUR_CALM).
  std::size_t maxHeaderListBytes = 4096;
  // The largest body read; past it the request is answered 413 PayloadTooLarge at once and the
  // rest is not kept. The largest payload any push type may carry.
  std::size_t maxBodyBytes = push::kMaxVoipPayloadBytes;
  // Input read from one connection before the loop turns to the others; and no input is read
  // from a connection while its output waits for the socket, so a client that does not read
  // cannot make the service queue answers for it.
  std::size_t inputPerTurnBytes = 64 * 1024;
  // From accepting a connection to the end of its TLS handshake.
  std::chrono::milliseconds handshakeTimeout{5'000};
  // A connection that brought no request frame (HEADERS or DATA) for this long is closed: control
  // frames alone are no progress. Providers open connections again as they need them, and one
  // held open idle would keep a slot from the next.
  std::chrono::milliseconds idleTimeout{5'000};
  // Lines about connections dropped before a request: one per cause per this long, the rest
  // counted.
  std::chrono::milliseconds dropNoteWindow{10'000};
};

}  // namespace quenlarch::notification_host::provider
