// The gate reads the payload as received; "aps" that is no dictionary shows nothing.
#include "tools/notification_host/push/push_gate.h"

#include <array>

namespace quenlarch::notification_host {
namespace {

bool nonEmptyString(const PlistValue* value) {
  return value != nullptr && value->isString() && !value->asString()->empty();
}

}  // namespace

std::string_view extensionDecisionText(ExtensionDecision decision) {
  switch (decision) {
    case ExtensionDecision::kRan:
      return "ran";
    case ExtensionDecision::kNotMutable:
      return "not mutable";
    case ExtensionDecision::kNoAlert:
      return "no alert";
    case ExtensionDecision::kNoExtension:
      return "no extension";
    case ExtensionDecision::kNotForType:
      return "not for this push type";
  }
  return "no extension";
}

bool showsAlert(const PlistValue& aps) {
  const PlistValue* alert = aps.find("alert");
  if (alert == nullptr) return false;
  if (alert->isString()) return !alert->asString()->empty();
  if (!alert->isDictionary()) return false;
  static constexpr std::array<std::string_view, 6> kShownKeys{
      "title", "subtitle", "body", "title-loc-key", "subtitle-loc-key", "loc-key"};
  for (std::string_view key : kShownKeys) {
    if (nonEmptyString(alert->find(key))) return true;
  }
  return false;
}

ExtensionDecision extensionDecision(const PlistValue& userInfo, ExtensionFor extensionFor) {
  if (extensionFor == ExtensionFor::kAll) return ExtensionDecision::kRan;
  const PlistValue* aps = userInfo.find("aps");
  if (aps == nullptr || !showsAlert(*aps)) return ExtensionDecision::kNoAlert;
  const PlistValue* mutableContent = aps->find("mutable-content");
  if (mutableContent == nullptr || mutableContent->asInt64() != 1) {
    return ExtensionDecision::kNotMutable;
  }
  return ExtensionDecision::kRan;
}

bool presentsAnything(const PlistValue& userInfo) {
  const PlistValue* aps = userInfo.find("aps");
  if (aps == nullptr) return false;
  const PlistValue* sound = aps->find("sound");
  const bool namesSound = nonEmptyString(sound) || (sound != nullptr && sound->isDictionary());
  const PlistValue* badge = aps->find("badge");
  return showsAlert(*aps) || namesSound || (badge != nullptr && badge->isInteger());
}

}  // namespace quenlarch::notification_host
