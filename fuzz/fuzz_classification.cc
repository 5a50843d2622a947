// Fuzzes push-payload handling: JSON text becomes a property-list payload (plistFromJson), which
// the extension classifies (isCountedNotification). Neither may crash on any payload; the
// classification must agree with the rule read straight off the JSON; and the payload must come
// back from jsonFromPlist exactly as it was sent.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "extension/counted_notification.h"
#include "fuzz/fuzz_check.h"
#include "platform/linux/plist_json.h"

namespace quenlarch {
namespace {

using quenlarch::fuzz::check;

// The counted rule on the JSON itself: aps.alert.loc-key is one of the two counted keys.
bool countedByJson(const nlohmann::json& payload) {
  if (!payload.is_object()) return false;
  auto aps = payload.find("aps");
  if (aps == payload.end() || !aps->is_object()) return false;
  auto alert = aps->find("alert");
  if (alert == aps->end() || !alert->is_object()) return false;
  auto locKey = alert->find("loc-key");
  if (locKey == alert->end() || !locKey->is_string()) return false;
  const std::string& key = locKey->get_ref<const std::string&>();
  return key == "Neue Nachricht" || key == "Verpasster Anruf";
}

}  // namespace
}  // namespace quenlarch

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quenlarch;
  const nlohmann::json json =
      nlohmann::json::parse(data, data + size, nullptr, /*allow_exceptions=*/false);
  if (json.is_discarded()) return 0;

  const PlistValue payload = plistFromJson(json);
  check(isCountedNotification(payload) == countedByJson(json));
  check(jsonFromPlist(payload) == json);
  return 0;
}
