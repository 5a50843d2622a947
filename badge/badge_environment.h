// The process-wide values the badge logic relies on: the current installation's tag (derived once,
// on first use, from the main bundle) and the zero tag. The extension builds one default instance
// per process; tests build their own with a chosen current tag, so nothing depends on test order.
// Also the two rules that attach a known count mask to tag bytes read from a record.
#pragma once

#include <mutex>
#include <optional>
#include <span>

#include "badge/install_tag.h"
#include "platform/bundle.h"
#include "platform/sha256.h"

namespace quenlarch {

class HomeScreenBadgeEnvironment {
 public:
  // The current tag is `makeInstallTag(mainBundle.bundleURL())`, computed on first use. Both
  // references must outlive this object.
  HomeScreenBadgeEnvironment(const Bundle& mainBundle, const Sha256& sha256);
  // A fixed current tag.
  explicit HomeScreenBadgeEnvironment(HomeScreenBadgeInstallTag currentTag);
  HomeScreenBadgeEnvironment(const HomeScreenBadgeEnvironment&) = delete;
  HomeScreenBadgeEnvironment& operator=(const HomeScreenBadgeEnvironment&) = delete;

  // Safe against concurrent first use; never recomputed.
  const HomeScreenBadgeInstallTag& currentInstallTag() const;
  const HomeScreenBadgeInstallTag& zeroInstallTag() const { return quenlarch::zeroInstallTag(); }

 private:
  const Bundle* mainBundle_ = nullptr;
  const Sha256* sha256_ = nullptr;
  mutable std::once_flag once_;
  mutable std::optional<HomeScreenBadgeInstallTag> current_;
};

// Tag bytes `recordTag` with a count mask attached when one is known: the known tag's, else the
// current tag's, else none.
HomeScreenBadgeInstallTag resolvedInstallTag(std::span<const std::uint8_t> recordTag,
                                             const HomeScreenBadgeInstallTag& knownTag,
                                             const HomeScreenBadgeEnvironment& env);

// The mask for `tag`: its own, else the known tag's or the current tag's when the bytes match,
// else 4 zero bytes.
ByteString resolvedCountMask(const HomeScreenBadgeInstallTag& tag,
                             const HomeScreenBadgeInstallTag& knownTag,
                             const HomeScreenBadgeEnvironment& env);

}  // namespace quenlarch
