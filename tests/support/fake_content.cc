// Test contents.
#include "tests/support/fake_content.h"

namespace quenlarch::testing {

FakeContent::FakeContent(PlistValue userInfo, std::optional<std::int64_t> badge, CopyKind copyKind)
    : userInfo_(std::move(userInfo)), badge_(badge), copyKind_(copyKind) {}

std::shared_ptr<NotificationContent> FakeContent::mutableCopy() const {
  copies_.fetch_add(1);
  if (copyKind_ == CopyKind::kImmutable) {
    return std::make_shared<ReadOnlyContent>(userInfo_, badge_);
  }
  return std::make_shared<FakeContent>(userInfo_, badge_, copyKind_);
}

PlistValue payloadWithLocKey(std::string_view locKey) {
  PlistValue aps;
  if (!locKey.empty()) {
    PlistValue alert;
    alert.set("loc-key", PlistValue(locKey));
    aps.set("alert", alert);
  }
  PlistValue payload;
  payload.set("aps", aps);
  return payload;
}

}  // namespace quenlarch::testing
