// The push header rules: each header's values, duplicates, the payload rules that depend on the
// headers, the defaults, expiry, and envelopes against bare payloads.
#include "tools/notification_host/push/push_headers.h"

#include <gtest/gtest.h>

#include <cctype>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tools/notification_host/push/push_envelope.h"

namespace quenlarch::notification_host::push {
namespace {

using Fields = std::vector<HeaderField>;
constexpr const char* kUuid = "8d3c1a6e-58b2-4f43-9e3c-2d57a1b0c4f9";

// The reason a result was refused with, or "" when it was not.
template <typename T>
std::string reasonOf(const Expected<T, PushRefusal>& result) {
  return result ? "" : result.error().reason;
}

// A payload of exactly `size` bytes whose "aps" carries an alert.
std::string alertPayloadOfSize(std::size_t size) {
  std::string payload = R"({"aps":{"alert":"x"},"pad":""})";
  payload.insert(payload.size() - 2, size - payload.size(), 'p');
  return payload;
}

TEST(PushHeadersTest, EachHeaderValueIsCheckedByItsRule) {
  struct Case {
    Fields fields;
    const char* reason;  // "" when accepted
  };
  const std::string longest(64, 'c');
  const std::vector<Case> cases = {
      {{{"apns-id", kUuid}}, ""},
      {{{"apns-id", "8D3C1A6E-58B2-4F43-9E3C-2D57A1B0C4F9"}}, ""},
      {{{"apns-id", "8d3c1a6e58b2-4f43-9e3c-2d57a1b0c4f9-"}}, "BadMessageId"},
      {{{"apns-id", "8d3c1a6e-58b2-4f43-9e3c-2d57a1b0c4fg"}}, "BadMessageId"},
      {{{"apns-push-type", "voip"}}, ""},
      {{{"apns-push-type", "Alert"}}, "InvalidPushType"},
      {{{"apns-priority", "1"}}, ""},
      {{{"apns-priority", "7"}}, "BadPriority"},
      {{{"apns-priority", "010"}}, "BadPriority"},
      {{{"apns-priority", "10 "}}, "BadPriority"},
      {{{"apns-expiration", "0"}}, ""},
      {{{"apns-expiration", "1700000000"}}, ""},
      {{{"apns-expiration", "-1"}}, "BadExpirationDate"},
      {{{"apns-expiration", "1.5"}}, "BadExpirationDate"},
      {{{"apns-expiration", "99999999999999999999"}}, "BadExpirationDate"},
      {{{"apns-collapse-id", longest}}, ""},
      {{{"apns-collapse-id", longest + "c"}}, "BadCollapseId"},
      {{{"apns-collapse-id", ""}}, "BadCollapseId"},
      {{{"apns-topic", "com.quenlarch.app.voip"}}, ""},
      {{{"apns-topic", "com quenlarch"}}, "BadTopic"},
      {{{"apns-topic", "com.x\n"}}, "BadTopic"},
      {{{"apns-id", kUuid}, {"apns-id", kUuid}}, "DuplicateHeaders"},
      {{{"apns-topic", "a"}, {"apns-priority", "5"}, {"apns-topic", "b"}}, "DuplicateHeaders"},
      // Headers the rules do not read may repeat and hold anything.
      {{{"x-trace", "1"}, {"x-trace", "2"}, {"apns-unknown", "?"}}, ""},
  };
  for (const Case& c : cases) {
    auto read = readHeaderFields(c.fields);
    SCOPED_TRACE(c.fields.back().name + ": " + c.fields.back().value);
    EXPECT_EQ(reasonOf(read), c.reason);
    if (!read) {
      EXPECT_EQ(read.error().header, c.fields.back().name);
      EXPECT_EQ(read.error().status, 400u);
      EXPECT_EQ(read.error().message.find('\n'), std::string::npos) << read.error().message;
    }
  }
}

TEST(PushHeadersTest, EnvelopeHeaderObjectsTakeNumbersAndAnyCase) {
  struct Case {
    const char* headers;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {R"({"apns-priority": 5, "apns-expiration": 1700000000})", ""},
      {R"({"APNS-Priority": "5"})", ""},
      {R"({"apns-priority": 5.5})", "BadPriority"},
      {R"({"apns-expiration": true})", "BadExpirationDate"},
      {R"({"apns-expiration": -3})", "BadExpirationDate"},
      {R"({"apns-id": 12})", "BadMessageId"},
      {R"({"apns-topic": null})", "BadTopic"},
      {R"({"apns-push-type": ["alert"]})", "InvalidPushType"},
      {R"({"apns-topic": "a", "APNS-TOPIC": "b"})", "DuplicateHeaders"},
      {R"({"x-anything": {"at": "all"}})", ""},
      {R"(["apns-priority", 5])", "BadPayload"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.headers);
    EXPECT_EQ(reasonOf(readHeaderObject(nlohmann::json::parse(c.headers))), c.reason);
  }
  auto read = readHeaderObject(nlohmann::json::parse(R"({"apns-priority": 5})"));
  ASSERT_TRUE(read);
  EXPECT_EQ(read->priority, 5u);
}

TEST(PushHeadersTest, PayloadRulesDefaultsAndTopics) {
  struct Case {
    const char* name;
    Fields fields;
    std::string payload;
    const char* reason;     // "" when accepted
    unsigned status = 400;  // of a refusal
    PushType type = PushType::kAlert;
    unsigned priority = 10;
  };
  const std::string alert = R"({"aps":{"alert":"Hi"}})";
  const std::string silent = R"({"aps":{"content-available":1}})";
  const std::vector<Case> cases = {
      {"empty", {}, "", "PayloadEmpty"},
      {"only whitespace", {}, " \r\n\t", "PayloadEmpty"},
      {"4096 bytes and trailing whitespace", {}, alertPayloadOfSize(4096) + "\n  ", ""},
      {"4097 bytes", {}, alertPayloadOfSize(4097), "PayloadTooLarge", 413},
      {"voip may have 5120",
       {{"apns-push-type", "voip"}},
       alertPayloadOfSize(5120),
       "",
       400,
       PushType::kVoip},
      {"voip 5121", {{"apns-push-type", "voip"}}, alertPayloadOfSize(5121), "PayloadTooLarge", 413},
      {"not JSON", {}, "{\"aps\":", "BadPayload"},
      {"an array", {}, "[1]", "BadPayload"},
      {"no aps", {}, R"({"alert":"Hi"})", "BadPayload"},
      {"aps not an object", {}, R"({"aps":"Hi"})", "BadPayload"},
      {"background with an alert", {{"apns-push-type", "background"}}, alert, "InvalidPushType"},
      {"alert that shows nothing", {{"apns-push-type", "alert"}}, silent, "InvalidPushType"},
      {"alert with only a badge", {{"apns-push-type", "alert"}}, R"({"aps":{"badge":3}})", ""},
      {"default for an alert", {}, alert, ""},
      {"default for content-available", {}, silent, "", 400, PushType::kBackground, 5},
      {"default for an empty aps", {}, R"({"aps":{}})", "", 400, PushType::kBackground, 5},
      {"priority given", {{"apns-priority", "1"}}, silent, "", 400, PushType::kBackground, 1},
      {"the app's topic", {{"apns-topic", "com.quenlarch.app"}}, alert, ""},
      {"voip topic for voip",
       {{"apns-push-type", "voip"}, {"apns-topic", "com.quenlarch.app.voip"}},
       alert,
       "",
       400,
       PushType::kVoip},
      {"voip topic for an alert",
       {{"apns-topic", "com.quenlarch.app.voip"}},
       alert,
       "TopicDisallowed"},
      {"bare topic for voip",
       {{"apns-push-type", "voip"}, {"apns-topic", "com.quenlarch.app"}},
       alert,
       "TopicDisallowed"},
      {"another app's topic", {{"apns-topic", "com.quenlarch.other"}}, alert, "BadTopic"},
      {"the app's topic as a prefix", {{"apns-topic", "com.quenlarch.apple"}}, alert, "BadTopic"},
  };
  const PushDestination destination{"com.quenlarch.app", false, "BadTopic"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto given = readHeaderFields(c.fields);
    ASSERT_TRUE(given);
    auto resolved = resolvePush(*given, c.payload, destination);
    EXPECT_EQ(reasonOf(resolved), c.reason);
    if (!resolved) {
      EXPECT_EQ(resolved.error().status, c.status);
      continue;
    }
    EXPECT_EQ(resolved->pushType, c.type);
    EXPECT_EQ(resolved->priority, c.priority);
  }
}

TEST(PushHeadersTest, TheRequestsIdIsKeptAndANewOneIsARandomUuid) {
  const PushDestination destination{"com.quenlarch.app"};
  const std::string alert = R"({"aps":{"alert":"Hi"}})";
  GivenHeaders given;
  given.apnsId = kUuid;
  EXPECT_EQ(resolvePush(given, alert, destination)->apnsId, kUuid);
  const std::string first = resolvePush({}, alert, destination)->apnsId;
  // Upper-case 8-4-4-4-12 hexadecimal digits, version 4, the RFC 4122 variant.
  std::string shape = first;
  for (char& c : shape)
    c = std::isxdigit(static_cast<unsigned char>(c)) && !std::islower(static_cast<unsigned char>(c))
            ? 'x'
            : c;
  EXPECT_EQ(shape, "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx") << first;
  EXPECT_EQ(first[14], '4');
  EXPECT_NE(std::string("89AB").find(first[19]), std::string::npos) << first;
  EXPECT_NE(first, newApnsId());
}

TEST(PushHeadersTest, ExpiryPassesOnlyForAPastNonZeroTime) {
  struct Case {
    std::optional<std::int64_t> expiration;
    bool expired;
  };
  const std::int64_t now = 1'700'000'000;
  const std::vector<Case> cases = {
      {std::nullopt, false}, {0, false}, {now - 1, true}, {now, false}, {now + 60, false}};
  for (const Case& c : cases) {
    PushHeaders headers;
    headers.expiration = c.expiration;
    EXPECT_EQ(hasExpired(headers, now), c.expired) << c.expiration.value_or(-1);
  }
}

TEST(PushEnvelopeTest, EnvelopesAndBarePayloads) {
  struct Case {
    const char* text;
    const char* reason;   // "" when read
    const char* payload;  // what the push carries, when read
    bool headersGiven = false;
  };
  const std::vector<Case> cases = {
      {R"({"aps":{"alert":"Hi"}, "headers": 1})", "", R"({"aps":{"alert":"Hi"}, "headers": 1})"},
      {"not json", "", "not json"},
      {R"({"alert":"no aps"})", "", R"({"alert":"no aps"})"},
      {"", "", ""},
      {R"({"headers":{"apns-priority":"5"},"payload":{"aps":{"badge":1}}})", "",
       R"({"aps":{"badge":1}})", true},
      {R"({"payload": {"aps": {"alert": "é"}}})", "", R"({"aps":{"alert":"é"}})"},
      {R"({"headers":{"apns-priority":"5"}})", "PayloadEmpty", ""},
      {R"({"payload":null})", "PayloadEmpty", ""},
      {R"({"payload":"{\"aps\":{}}"})", "BadPayload", ""},
      {R"({"payload":{"aps":{}},"extra":1})", "BadPayload", ""},
      {R"({"headers":[],"payload":{"aps":{}}})", "BadPayload", ""},
      {R"({"headers":{"apns-priority":"2"},"payload":{"aps":{}}})", "BadPriority", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto envelope = readEnvelope(c.text);
    EXPECT_EQ(reasonOf(envelope), c.reason);
    if (!envelope) continue;
    EXPECT_EQ(envelope->payload, c.payload);
    EXPECT_EQ(envelope->headers.priority.has_value(), c.headersGiven);
  }
}

}  // namespace
}  // namespace quenlarch::notification_host::push
