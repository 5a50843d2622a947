// The desktop presenter's helpers: text as the session bus takes it, and when to try again.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tools/notification_host/bus_text.h"
#include "tools/notification_host/retry_backoff.h"

namespace quenlarch::notification_host {
namespace {

TEST(BusTextTest, ReplacesWhatTheBusRefusesAndKeepsTheRest) {
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"Grüße 👋 \uFFFD", "Grüße 👋 \uFFFD"},
      {std::string("a\0b", 3), "a\uFFFDb"},
      {"a\xFF"
       "b",
       "a\uFFFDb"},
      {"\xE2\x82", "\uFFFD"},                  // cut short: one replacement
      {"\xC0\xAF", "\uFFFD\uFFFD"},            // overlong
      {"\xED\xA0\x80", "\uFFFD\uFFFD\uFFFD"},  // a surrogate
      {"\xEF\xBF\xBE \xEF\xB7\x90 \xF4\x8F\xBF\xBF", "\uFFFD \uFFFD \uFFFD"},  // noncharacters
  };
  for (const auto& [text, expected] : rows) EXPECT_EQ(busText(text), expected) << text;
}

TEST(RetryBackoffTest, WaitsDoubleUpToTheLastAndSuccessStartsOver) {
  RetryBackoff backoff(1000, 4000);
  struct Step {
    bool fails;  // else succeeds
    std::uint64_t at;
    bool returns;  // failed: starts a spell; succeeded: ends one
    std::uint64_t allowedFrom;
  };
  const std::vector<Step> steps = {
      {true, 0, true, 1000},      {true, 1000, false, 3000}, {true, 3000, false, 7000},
      {true, 7000, false, 11000},  // the longest wait
      {true, 8000, false, 11000},  // the answer to an attempt made before the wait
      {false, 12000, true, 0},    {false, 12000, false, 0},  {true, 20000, true, 21000},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.at);
    EXPECT_EQ(step.fails ? backoff.failed(step.at) : backoff.succeeded(), step.returns);
    EXPECT_EQ(backoff.allows(step.allowedFrom - 1), step.allowedFrom == 0);
    EXPECT_TRUE(backoff.allows(step.allowedFrom));
  }
}

}  // namespace
}  // namespace quenlarch::notification_host
