// Which pushes a device hands to the notification service extension, and which show a person
// anything. The extension runs only for an alert push that shows an alert and asks for it with
// "mutable-content": 1; every other alert push is shown as received, and a push of another type
// goes to its own handler (push::handledBy) and is not shown at all. A push with no alert, sound or
// badge (content-available only, a background push) shows nothing at all.
#pragma once

#include <string_view>

#include "platform/plist_value.h"

namespace quenlarch::notification_host {

// Which pushes the host hands to the extension: those a device would (mutable), or every push, to
// exercise the extension with any payload (all).
enum class ExtensionFor { kMutable, kAll };

// Why a push was or was not handed to the extension; each has its word in the shown line.
enum class ExtensionDecision {
  kRan,          // "ran"
  kNotMutable,   // "not mutable": it shows an alert but does not ask for the extension
  kNoAlert,      // "no alert": it shows no alert, so there is nothing to modify
  kNoExtension,  // "no extension": the app has none that can run
  kNotForType,   // "not for this push type": its type goes to another handler (push::handledBy)
};

std::string_view extensionDecisionText(ExtensionDecision decision);

// True when `aps` has an alert a person would read: a non-empty string, or a dictionary with any
// of title, subtitle, body or their localization keys.
bool showsAlert(const PlistValue& aps);

// Whether the push with payload `userInfo` goes to the extension under `extensionFor`.
ExtensionDecision extensionDecision(const PlistValue& userInfo, ExtensionFor extensionFor);

// True when the push with payload `userInfo` shows a person anything: an alert, a sound or a badge.
bool presentsAnything(const PlistValue& userInfo);

}  // namespace quenlarch::notification_host
