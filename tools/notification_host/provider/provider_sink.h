// Where the provider endpoint hands an accepted push: the host layer that runs it (the same engine
// as `send`), or a recording fake in the tests. The endpoint answers the provider from what
// submit() returns, at once; running and showing the push happens afterwards.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "tools/notification_host/push/push_intake.h"

namespace quenlarch::notification_host::provider {

struct ProviderPush {
  std::string deviceToken;  // lowercase, as registered
  AcceptedPush push;        // through the intake, as every other way in takes it
  std::chrono::system_clock::time_point arrival;
};

struct SinkAnswer {
  enum class Outcome {
    kAccepted,    // 200: the push will run
    kQueueFull,   // 429 TooManyRequests: the bounded push queue is full
    kStopping,    // 503 ServiceUnavailable: the service is shutting down
    kOverloaded,  // 503 ServiceUnavailable: the service's output cannot keep up
    kRefused,     // `refusal` says why
  };
  Outcome outcome = Outcome::kAccepted;
  std::optional<push::PushRefusal> refusal;  // with kRefused
};

class ProviderSink {
 public:
  virtual ~ProviderSink() = default;
  ProviderSink(const ProviderSink&) = delete;
  ProviderSink& operator=(const ProviderSink&) = delete;

  // Takes `push` or says why not. Called on the endpoint's event loop thread; must not block.
  virtual SinkAnswer submit(ProviderPush push) = 0;

 protected:
  ProviderSink() = default;
};

}  // namespace quenlarch::notification_host::provider
