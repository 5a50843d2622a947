// Current-tag derivation and mask resolution.
#include "badge/badge_environment.h"

#include <algorithm>

namespace quenlarch {

HomeScreenBadgeEnvironment::HomeScreenBadgeEnvironment(const Bundle& mainBundle,
                                                       const Sha256& sha256)
    : mainBundle_(&mainBundle), sha256_(&sha256) {}

HomeScreenBadgeEnvironment::HomeScreenBadgeEnvironment(HomeScreenBadgeInstallTag currentTag)
    : current_(std::move(currentTag)) {}

const HomeScreenBadgeInstallTag& HomeScreenBadgeEnvironment::currentInstallTag() const {
  std::call_once(once_, [this] {
    if (!current_) current_ = makeInstallTag(mainBundle_->bundleURL(), *sha256_);
  });
  return *current_;
}

HomeScreenBadgeInstallTag resolvedInstallTag(std::span<const std::uint8_t> recordTag,
                                             const HomeScreenBadgeInstallTag& knownTag,
                                             const HomeScreenBadgeEnvironment& env) {
  auto bytesEqual = [&](const ByteString& b) {
    return std::equal(b.begin(), b.end(), recordTag.begin(), recordTag.end());
  };
  if (bytesEqual(knownTag.bytes) && knownTag.countMask) return knownTag;
  const HomeScreenBadgeInstallTag& current = env.currentInstallTag();
  if (bytesEqual(current.bytes) && current.countMask) return current;
  return HomeScreenBadgeInstallTag{ByteString(recordTag.begin(), recordTag.end()), std::nullopt};
}

ByteString resolvedCountMask(const HomeScreenBadgeInstallTag& tag,
                             const HomeScreenBadgeInstallTag& knownTag,
                             const HomeScreenBadgeEnvironment& env) {
  if (tag.countMask) return *tag.countMask;
  if (knownTag.bytes == tag.bytes && knownTag.countMask) return *knownTag.countMask;
  const HomeScreenBadgeInstallTag& current = env.currentInstallTag();
  if (current.bytes == tag.bytes && current.countMask) return *current.countMask;
  return ByteString(kCountMaskSize, 0x00);
}

}  // namespace quenlarch
