// Fuzzes where the badge keychain item's access group comes from: the extension's Info.plist
// (XML or binary) is parsed with plistFromBytes and its "TAVIBadgeKeychainGroup" value validated.
// Parsing must never crash, and a group that is accepted must have the shape the keychain item
// needs: "<non-empty prefix>.com.quenlarch.app.badge" without an unexpanded build variable.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "badge/keychain_item.h"
#include "fuzz/fuzz_check.h"
#include "platform/linux/plist_file.h"

namespace quenlarch {
namespace {

using quenlarch::fuzz::check;

void checkAccessGroup(const std::optional<PlistValue>& value) {
  const std::optional<std::string> group = validatedKeychainAccessGroup(value);
  if (!group) return;
  const std::string suffix = "." + std::string(kBadgeKeychainService);
  check(group->ends_with(suffix));
  check(group->size() > suffix.size());
  check(group->find("$(") == std::string::npos);
  // The group is the value itself, not a cleaned-up version of it.
  check(value && value->asString() != nullptr && *value->asString() == *group);
}

}  // namespace
}  // namespace quenlarch

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quenlarch;
  // The raw bytes as the string value of the key.
  checkAccessGroup(PlistValue(std::string(reinterpret_cast<const char*>(data), size)));

  const std::optional<PlistValue> info = plistFromBytes(std::span(data, size));
  if (!info) return 0;
  const PlistValue* value = info->find(kBadgeKeychainGroupInfoKey);
  checkAccessGroup(value != nullptr ? std::optional<PlistValue>(*value) : std::nullopt);
  return 0;
}
