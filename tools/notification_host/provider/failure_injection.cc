// One uniform draw per request, laid over the injections' rates one after the other.
#include "tools/notification_host/provider/failure_injection.h"

#include <array>
#include <charconv>
#include <cmath>

namespace quenlarch::notification_host::provider {
namespace {

struct Injectable {
  std::string_view reason;
  unsigned status;
};
constexpr std::array<Injectable, 4> kInjectable{{
    {"TooManyRequests", 429},
    {"InternalServerError", 500},
    {"ServiceUnavailable", 503},
    {"Shutdown", 503},
}};

}  // namespace

Expected<Injection> parseInjection(std::string_view option) {
  const std::size_t colon = option.rfind(':');
  const std::string_view reason = option.substr(0, colon);
  const Injectable* injectable = nullptr;
  for (const Injectable& candidate : kInjectable) {
    if (candidate.reason == reason) injectable = &candidate;
  }
  if (colon == std::string_view::npos || injectable == nullptr) {
    return unexpected(
        "--inject takes REASON:RATE with REASON one of TooManyRequests, "
        "InternalServerError, ServiceUnavailable or Shutdown, not \"" +
        std::string(option) + "\"");
  }
  const std::string_view text = option.substr(colon + 1);
  double rate = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), rate);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(rate) ||
      rate <= 0 || rate > 1) {
    return unexpected("--inject " + std::string(option) +
                      ": the rate is a share of requests above 0 and at most 1, such as 0.05");
  }
  return Injection{std::string(reason), injectable->status, rate};
}

Expected<FailureInjector> FailureInjector::create(std::vector<Injection> injections,
                                                  std::optional<std::uint64_t> seed) {
  double total = 0;
  for (const Injection& injection : injections) total += injection.rate;
  if (total > 1 + 1e-9) {
    return unexpected("the --inject rates add up to more than every request (" +
                      std::to_string(total) + ")");
  }
  return FailureInjector(std::move(injections), seed ? *seed : std::random_device{}());
}

const Injection* FailureInjector::draw() {
  if (injections_.empty()) return nullptr;
  double at = std::uniform_real_distribution<double>(0, 1)(generator_);
  for (const Injection& injection : injections_) {
    if (at < injection.rate) return &injection;
    at -= injection.rate;
  }
  return nullptr;
}

}  // namespace quenlarch::notification_host::provider
