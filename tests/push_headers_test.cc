// The push rules: each header's values, duplicates, the intake's payload rules that depend on the
// headers, the defaults, expiry, envelopes against bare payloads, and one parse per push.
#include "tools/notification_host/push/push_headers.h"

#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/linux/host_protocol.h"
#include "platform/linux/json_text.h"
#include "platform/linux/plist_json.h"
#include "tools/notification_host/push/push_intake.h"
#include "tools/notification_host/service/client_protocol.h"

namespace quenlarch::notification_host::push {
namespace {

using notification_host::acceptPush;
using notification_host::acceptRequest;

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
    std::size_t warnings = 0;  // taken, with this many warnings on its line
  };
  const std::string alert = R"({"aps":{"alert":"Hi"}})";
  const std::string silent = R"({"aps":{"content-available":1}})";
  const std::string deep =
      R"({"aps":{"alert":"Hi"},"x":)" + std::string(600, '[') + std::string(600, ']') + "}";
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
      // Where the platform only may delay or drop a push, it is taken and warned of.
      {"background with an alert",
       {{"apns-push-type", "background"}, {"apns-priority", "5"}},
       alert,
       "",
       400,
       PushType::kBackground,
       5,
       1},
      {"alert that shows nothing",
       {{"apns-push-type", "alert"}},
       silent,
       "",
       400,
       PushType::kAlert,
       10,
       1},
      {"alert with only a badge", {{"apns-push-type", "alert"}}, R"({"aps":{"badge":3}})", ""},
      // What shows a person something is one rule, the push gate's, for the type as for the line.
      {"alert with only a sound dictionary",
       {{"apns-push-type", "alert"}},
       R"({"aps":{"sound":{"name":"x"}}})",
       ""},
      {"alert push with an empty alert",
       {{"apns-push-type", "alert"}},
       R"({"aps":{"alert":""}})",
       "",
       400,
       PushType::kAlert,
       10,
       1},
      {"alert push with a badge that is no number",
       {{"apns-push-type", "alert"}},
       R"({"aps":{"badge":"3"}})",
       "",
       400,
       PushType::kAlert,
       10,
       1},
      // Omitted, the priority is 10 for every type, which for background is warned of.
      {"default for an empty alert",
       {},
       R"({"aps":{"alert":{}}})",
       "",
       400,
       PushType::kBackground,
       10,
       1},
      {"background with an empty alert",
       {{"apns-push-type", "background"}, {"apns-priority", "5"}},
       R"({"aps":{"alert":""}})",
       "",
       400,
       PushType::kBackground,
       5},
      {"background at 10 with an alert",
       {{"apns-push-type", "background"}, {"apns-priority", "10"}},
       alert,
       "",
       400,
       PushType::kBackground,
       10,
       2},
      {"voip without priority", {{"apns-push-type", "voip"}}, silent, "", 400, PushType::kVoip},
      {"nested past the content's depth", {}, deep, "BadPayload"},
      {"default for an alert", {}, alert, ""},
      {"default for content-available", {}, silent, "", 400, PushType::kBackground, 10, 1},
      {"default for an empty aps", {}, R"({"aps":{}})", "", 400, PushType::kBackground, 10, 1},
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
    auto accepted = acceptRequest(*given, c.payload, destination);
    EXPECT_EQ(reasonOf(accepted), c.reason);
    if (!accepted) {
      EXPECT_EQ(accepted.error().status, c.status);
      continue;
    }
    EXPECT_EQ(accepted->headers.pushType, c.type);
    EXPECT_EQ(accepted->headers.priority, c.priority);
    EXPECT_EQ(accepted->warnings.size(), c.warnings) << testing::PrintToString(accepted->warnings);
    for (const std::string& warning : accepted->warnings) {
      EXPECT_EQ(warning.find('\n'), std::string::npos) << warning;
    }
  }
}

TEST(PushHeadersTest, TheRequestsIdIsKeptAndANewOneIsARandomUuid) {
  const PushDestination destination{"com.quenlarch.app"};
  const std::string alert = R"({"aps":{"alert":"Hi"}})";
  GivenHeaders given;
  given.apnsId = kUuid;
  EXPECT_EQ(acceptRequest(given, alert, destination)->headers.apnsId, kUuid);
  const std::string first = acceptRequest({}, alert, destination)->headers.apnsId;
  // Lower-case 8-4-4-4-12 hexadecimal digits, version 4, the RFC 4122 variant.
  std::string shape = first;
  for (char& c : shape)
    c = std::isxdigit(static_cast<unsigned char>(c)) && !std::isupper(static_cast<unsigned char>(c))
            ? 'x'
            : c;
  EXPECT_EQ(shape, "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx") << first;
  EXPECT_EQ(first[14], '4');
  EXPECT_NE(std::string("89ab").find(first[19]), std::string::npos) << first;
  EXPECT_NE(first, newApnsId());
}

TEST(PushEnvelopeTest, EnvelopesAndBarePayloads) {
  struct Case {
    const char* text;
    const char* reason;   // "" when accepted
    const char* payload;  // what the push carries, when accepted
    bool headersGiven = false;
  };
  const std::vector<Case> cases = {
      {R"({"aps":{"alert":"Hi"}, "headers": 1})", "", R"({"aps":{"alert":"Hi"}, "headers": 1})"},
      {"not json", "BadPayload", ""},
      {R"({"alert":"no aps"})", "BadPayload", ""},
      {"", "PayloadEmpty", ""},
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
    auto accepted = acceptPush(c.text, {"com.quenlarch.app"});
    EXPECT_EQ(reasonOf(accepted), c.reason);
    if (!accepted) continue;
    EXPECT_EQ(jsonFromPlist(accepted->content->userInfo()), nlohmann::json::parse(c.payload));
    EXPECT_EQ(accepted->headers.priority == 5u, c.headersGiven);
  }
}

// A payload that is not JSON is refused with where it stops being JSON; a CRLF file and its LF
// copy name the same place.
TEST(PushIntakeTest, BadPayloadSaysWhereTheJsonStops) {
  struct Case {
    std::string text;
    const char* where;  // the start of the message's parenthesis
  };
  const std::vector<Case> cases = {
      {R"({"aps":{"alert":x}})", "(line 1, column 17: syntax error"},
      {"{\"aps\":\n  {\"alert\": tru}\n}", "(line 2, column 16: syntax error"},
      {"{\"aps\":\r\n  {\"alert\": tru}\r\n}", "(line 2, column 16: syntax error"},
      {"{\"aps\":\r  {\"alert\": tru}\r}", "(line 2, column 16: syntax error"},
      {"{\"aps\":{}}\n\n x", "(line 3, column 2: text after the JSON value)"},
      {"{\"aps\":{}}\r\n\r\n x", "(line 3, column 2: text after the JSON value)"},
      {std::string("{\"aps\":{}}\0", 11), "(line 1, column 11: a NUL byte)"},
      {"{\"aps\":{", "(line 1, column 9: the text ends inside the JSON value)"},
      {"{\"aps\":{}", "(line 1, column 10: the text ends inside the JSON value)"},
      {R"({"aps":{}}})", "(line 1, column 11: text after the JSON value)"},
      {R"({"aps":{}},"name":"x")", "(line 1, column 11: text after the JSON value)"},
      {R"({"aps":{"badge":1e400}})", "(line 1, column 17: number overflow parsing '1e400')"},
      {"-1E999", "(line 1, column 1: number overflow parsing '-1E999')"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto accepted = acceptPush(c.text, {"com.quenlarch.app"});
    ASSERT_FALSE(accepted);
    EXPECT_EQ(accepted.error().reason, "BadPayload");
    EXPECT_TRUE(
        accepted.error().message.starts_with("the payload is not JSON " + std::string(c.where)))
        << accepted.error().message;
    EXPECT_EQ(accepted.error().message.find('\n'), std::string::npos);
    // The same text in the line send writes is refused with the same words.
    const auto line = std::get<client_protocol::Push>(
        client_protocol::decodeClientLine(client_protocol::pushLine("p", c.text)));
    auto viaLine = client_protocol::acceptPush(line, {"com.quenlarch.app"});
    ASSERT_FALSE(viaLine);
    EXPECT_EQ(viaLine.error().message, accepted.error().message);
  }
}

// Each way a push comes into a process parses it as JSON once: the intake reads the text and
// builds the content from the same value, and the provider's body is read once, after the
// headers. The extension reads the host's request once, and the host the extension's answer.
TEST(PushIntakeTest, EachWayInParsesAPushOnce) {
  namespace cp = client_protocol;
  const std::string payload = R"({"aps":{"alert":"Hi","badge":1}})";
  const std::string envelope = R"({"headers":{"apns-priority":5},"payload":)" + payload + "}";
  const PushDestination destination{"com.quenlarch.app"};
  const auto content = acceptPush(payload, destination)->content;
  const std::string request = host_protocol::encode(host_protocol::Request{"1", content});
  const std::string answer = host_protocol::encode(host_protocol::Deliver{"1", content});
  struct Way {
    const char* name;
    std::function<bool()> take;  // true when the push was accepted
    std::size_t parses;
  };
  const std::vector<Way> ways = {
      {"deliver: a payload file or stdin line",
       [&] { return bool(acceptPush(payload, destination)); }, 1},
      {"deliver: an envelope", [&] { return bool(acceptPush(envelope, destination)); }, 1},
      {"send: framing only", [&] { return !cp::pushLine("p", envelope).empty(); }, 0},
      {"serve: send's line, the payload read with it",
       [&] {
         auto push = std::get<cp::Push>(cp::decodeClientLine(cp::pushLine("p", envelope)));
         return bool(cp::acceptPush(push, destination));
       },
       1},
      {"serve: a client line that carries the payload as text",
       [&] {
         auto push = std::get<cp::Push>(cp::decodeClientLine(cp::encodePush("p", envelope)));
         return bool(cp::acceptPush(push, destination));
       },
       2},
      {"serve: the provider endpoint",
       [&] {
         auto given = readHeaderFields(Fields{{"apns-push-type", "alert"}});
         return given && acceptRequest(*given, payload, destination);
       },
       1},
      {"the extension: the host's request",
       [&] {
         return std::holds_alternative<host_protocol::Request>(host_protocol::decode(request));
       },
       1},
      {"the host: the extension's answer",
       [&] {
         return std::holds_alternative<host_protocol::Deliver>(host_protocol::decode(answer));
       },
       1},
  };
  for (const Way& way : ways) {
    SCOPED_TRACE(way.name);
    const std::size_t before = jsonParses();
    EXPECT_TRUE(way.take());
    EXPECT_EQ(jsonParses() - before, way.parses);
  }
}

}  // namespace
}  // namespace quenlarch::notification_host::push
