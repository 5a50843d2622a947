// The install tag: 8 bytes that name one installation of the app, derived from the location of
// its app bundle, and the 4-byte mask with which that installation's stored count is XOR-masked.
// The containing app derives the same values from its own bundle, the extension from the
// extension bundle inside it; both arrive at the app bundle's path before hashing.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/plist_value.h"
#include "platform/sha256.h"

namespace quenlarch {

inline constexpr std::size_t kInstallTagSize = 8;
inline constexpr std::size_t kCountMaskSize = 4;

struct HomeScreenBadgeInstallTag {
  ByteString bytes;
  std::optional<ByteString> countMask;  // none when no mask is at hand

  // Tags are equal when their bytes are; the mask takes no part.
  friend bool operator==(const HomeScreenBadgeInstallTag& a, const HomeScreenBadgeInstallTag& b) {
    return a.bytes == b.bytes;
  }
};

// The path that is hashed for a bundle at `bundleURL`: standardized; an "appex" bundle is replaced
// by the app bundle holding it (dropping a "Contents" folder); "/private/var/" becomes "/var/";
// trailing slashes go.
std::string installTagPath(std::string_view bundleURL);

// The tag and mask of the installation whose app or extension bundle is at `bundleURL`. Never the
// zero tag.
HomeScreenBadgeInstallTag makeInstallTag(std::string_view bundleURL, const Sha256& sha256);

// 8 zero bytes, no mask: the absence of an installation. Process-wide, built once.
const HomeScreenBadgeInstallTag& zeroInstallTag();
bool isZeroInstallTag(const HomeScreenBadgeInstallTag& tag);

}  // namespace quenlarch
