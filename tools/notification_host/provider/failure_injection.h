// Failures on purpose, for testing a provider's retries: `serve --inject REASON:RATE` (repeatable)
// answers that share of provider requests with REASON and its documented status instead of taking
// them, before anything else is checked. Only the answers the platform documents for a service
// that is busy or failing may be injected: TooManyRequests (429), InternalServerError (500),
// ServiceUnavailable (503) and Shutdown (503). The draws come from a generator seeded with
// --inject-seed, so that a run can be repeated request for request; without it, from the system's
// random source.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/expected.h"

namespace quenlarch::notification_host::provider {

struct Injection {
  std::string reason;
  unsigned status = 0;
  double rate = 0;  // the share of requests, above 0 and at most 1
};

// One --inject value; one line when the reason is not injectable or the rate not a share.
Expected<Injection> parseInjection(std::string_view option);

class FailureInjector {
 public:
  // The rates together may not pass 1; one line when they do.
  static Expected<FailureInjector> create(std::vector<Injection> injections,
                                          std::optional<std::uint64_t> seed);

  // The injection that answers the next request, or none: it is taken as usual.
  const Injection* draw();
  bool empty() const { return injections_.empty(); }

 private:
  FailureInjector(std::vector<Injection> injections, std::uint64_t seed)
      : injections_(std::move(injections)), generator_(seed) {}

  std::vector<Injection> injections_;
  std::mt19937_64 generator_;
};

}  // namespace quenlarch::notification_host::provider
