// The extension's side of the host protocol: reads the host's messages and turns each request into
// a call of a principal object of its own, made for that request, on a thread of a small pool, so
// that several requests can be in flight at once and a time-out can overlap a request still being
// prepared, as with the real host. Deliveries and released handlers are reported back.
#pragma once

#include "platform/linux/call_pool.h"
#include "platform/principal_class.h"

namespace quenlarch {

// Serves until the host closes `inFd`, then waits for the calls still running and queued.
// Malformed, unknown or oversized lines are answered with an error message and skipped. Requests
// beyond what the pool's threads can take wait for a thread; a request for which no thread can be
// had at all is answered at once with its content as received. A time-out reaches the principal
// object of each request it names that has started, and answers each such request still waiting
// with its content as received. Returns 0.
int serveHostConnection(PrincipalClass& principalClass, int inFd, int outFd,
                        CallPool::Options calls = {});

}  // namespace quenlarch
