// The header rules: one table of the headers that are read, each with its checker and the reason
// a bad value earns.
#include "tools/notification_host/push/push_headers.h"

#include <stdlib.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

namespace quenlarch::notification_host::push {
namespace {

struct PushTypeInfo {
  PushType type;
  std::string_view name;
  // What the app's bundle identifier is followed by in the topic of such a push.
  std::string_view topicSuffix;
  // Who receives it on a device in place of the notification service extension; "" for alert.
  std::string_view handledBy;
};

constexpr std::array<PushTypeInfo, 11> kPushTypes{{
    {PushType::kAlert, "alert", "", ""},
    {PushType::kBackground, "background", "", "app"},
    {PushType::kControls, "controls", ".push-type.controls", "widgetkit"},
    {PushType::kLocation, "location", ".location-query", "location"},
    {PushType::kVoip, "voip", ".voip", "pushkit"},
    {PushType::kComplication, "complication", ".complication", "complication"},
    {PushType::kFileProvider, "fileprovider", ".pushkit.fileprovider", "fileprovider"},
    {PushType::kMdm, "mdm", "", "mdm"},
    {PushType::kLiveActivity, "liveactivity", ".push-type.liveactivity", "activitykit"},
    {PushType::kPushToTalk, "pushtotalk", ".voip-ptt", "pushkit"},
    {PushType::kWidgets, "widgets", ".push-type.widgets", "widgetkit"},
}};

const PushTypeInfo& infoFor(PushType type) { return kPushTypes[static_cast<std::size_t>(type)]; }

constexpr std::size_t kMaxCollapseIdBytes = 64;
constexpr std::size_t kMaxTopicBytes = 255;
constexpr std::size_t kMaxQuotedBytes = 80;

PushRefusal refusal(std::string reason, std::string header, std::string message,
                    unsigned status = 400) {
  return {std::move(reason), std::move(header), std::move(message), status};
}

bool isHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// 8-4-4-4-12 hexadecimal digits, either case.
bool isUuid(std::string_view text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? text[i] != '-' : !isHex(text[i])) return false;
  }
  return true;
}

// A bundle identifier with an optional suffix: letters, digits, '.', '-' and '_'.
bool isTopicText(std::string_view text) {
  return !text.empty() && text.size() <= kMaxTopicBytes &&
         std::all_of(text.begin(), text.end(), [](char c) {
           return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' ||
                  c == '_';
         });
}

std::optional<std::int64_t> decimal(std::string_view text) {
  std::int64_t value = 0;
  if (text.empty() || text.front() == '-' || text.front() == '+') return std::nullopt;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// One header the rules read: its name, the reason a bad value earns, and how a value is taken
// into GivenHeaders. `take` answers what is wrong with the value, or none when it was taken.
struct HeaderRule {
  std::string_view name;
  std::string_view reason;
  std::optional<std::string_view> (*take)(std::string_view value, GivenHeaders& into);
};

constexpr std::array<HeaderRule, 6> kHeaderRules{{
    {"apns-id", "BadMessageId",
     [](std::string_view value, GivenHeaders& into) -> std::optional<std::string_view> {
       if (!isUuid(value)) return "is not a UUID (8-4-4-4-12 hexadecimal digits)";
       into.apnsId = std::string(value);
       return std::nullopt;
     }},
    {"apns-push-type", "InvalidPushType",
     [](std::string_view value, GivenHeaders& into) -> std::optional<std::string_view> {
       into.pushType = pushTypeFromName(value);
       if (!into.pushType) return "is not a push type (alert, background, voip, ...)";
       return std::nullopt;
     }},
    {"apns-priority", "BadPriority",
     [](std::string_view value, GivenHeaders& into) -> std::optional<std::string_view> {
       if (value != "10" && value != "5" && value != "1") return "is not 10, 5 or 1";
       into.priority = value == "10" ? 10u : value == "5" ? 5u : 1u;
       return std::nullopt;
     }},
    {"apns-expiration", "BadExpirationDate",
     [](std::string_view value, GivenHeaders& into) -> std::optional<std::string_view> {
       into.expiration = decimal(value);
       if (!into.expiration) return "is not a time in whole seconds since 1970";
       return std::nullopt;
     }},
    {"apns-collapse-id", "BadCollapseId",
     [](std::string_view value, GivenHeaders& into) -> std::optional<std::string_view> {
       if (value.empty() || value.size() > kMaxCollapseIdBytes) return "must have 1 to 64 bytes";
       into.collapseId = std::string(value);
       return std::nullopt;
     }},
    {"apns-topic", "BadTopic",
     [](std::string_view value, GivenHeaders& into) -> std::optional<std::string_view> {
       if (!isTopicText(value)) return "is not a bundle identifier";
       into.topic = std::string(value);
       return std::nullopt;
     }},
}};

const HeaderRule* ruleFor(std::string_view name) {
  for (const HeaderRule& rule : kHeaderRules) {
    if (rule.name == name) return &rule;
  }
  return nullptr;
}

std::string lowercase(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

}  // namespace

std::string_view pushTypeName(PushType type) { return infoFor(type).name; }

std::string_view topicSuffix(PushType type) { return infoFor(type).topicSuffix; }

std::optional<std::string_view> handledBy(PushType type) {
  const std::string_view handler = infoFor(type).handledBy;
  if (handler.empty()) return std::nullopt;
  return handler;
}

std::string quotedValue(std::string_view value) {
  const bool cut = value.size() > kMaxQuotedBytes;
  std::string text = nlohmann::json(std::string(value.substr(0, kMaxQuotedBytes)))
                         .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return cut ? text + "..." : text;
}

std::optional<PushType> pushTypeFromName(std::string_view name) {
  for (const PushTypeInfo& info : kPushTypes) {
    if (info.name == name) return info.type;
  }
  return std::nullopt;
}

std::size_t maxPayloadBytes(PushType type) {
  return type == PushType::kVoip ? kMaxVoipPayloadBytes : kMaxPayloadBytes;
}

Expected<GivenHeaders, PushRefusal> readHeaderFields(std::span<const HeaderField> fields) {
  GivenHeaders given;
  std::array<bool, kHeaderRules.size()> seen{};
  for (const HeaderField& field : fields) {
    const HeaderRule* rule = ruleFor(field.name);
    if (rule == nullptr) continue;
    const auto index = static_cast<std::size_t>(rule - kHeaderRules.data());
    if (std::exchange(seen[index], true)) {
      return unexpected(refusal("DuplicateHeaders", field.name, field.name + " is given twice"));
    }
    if (std::optional<std::string_view> wrong = rule->take(field.value, given)) {
      return unexpected(
          refusal(std::string(rule->reason), field.name,
                  field.name + " " + quotedValue(field.value) + " " + std::string(*wrong)));
    }
  }
  return given;
}

Expected<GivenHeaders, PushRefusal> readHeaderObject(const nlohmann::json& headers) {
  if (!headers.is_object()) {
    return unexpected(refusal("BadPayload", "", "the envelope's \"headers\" is not an object"));
  }
  std::vector<HeaderField> fields;
  for (const auto& [key, value] : headers.items()) {
    HeaderField field{lowercase(key), {}};
    const HeaderRule* rule = ruleFor(field.name);
    if (rule == nullptr) continue;
    const bool numeric = field.name == "apns-priority" || field.name == "apns-expiration";
    if (value.is_string()) {
      field.value = value.get<std::string>();
    } else if (numeric && (value.is_number_unsigned() || value.is_number_integer())) {
      field.value = value.dump();
    } else {
      return unexpected(refusal(std::string(rule->reason), field.name,
                                field.name + " " + value.dump() + " is not " +
                                    (numeric ? "a number or a string" : "a string")));
    }
    fields.push_back(std::move(field));
  }
  return readHeaderFields(fields);
}

std::string newApnsId() {
  std::array<std::uint8_t, 16> bytes{};
  ::arc4random_buf(bytes.data(), bytes.size());  // the system's random source; cannot fail
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0f) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string id;
  id.reserve(36);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) id.push_back('-');
    id.push_back(kDigits[bytes[i] >> 4]);
    id.push_back(kDigits[bytes[i] & 0x0f]);
  }
  return id;
}

}  // namespace quenlarch::notification_host::push
