// Install-tag derivation.
#include "badge/install_tag.h"

#include <algorithm>
#include <string_view>

#include "badge/bundle_path.h"

namespace quenlarch {
namespace {

// Domain separation for the mask, so it is not a prefix of the tag's own digest.
constexpr std::string_view kCountMaskLabel = "TAVI-TALLY-WEAVE-VEIL-V1";

std::span<const std::uint8_t> asBytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

}  // namespace

std::string installTagPath(std::string_view bundleURL) {
  BundlePath url = BundlePath::standardized(bundleURL);
  if (url.pathExtension() == "appex") {
    url.deleteLastPathComponent();  // Ext.appex
    url.deleteLastPathComponent();  // PlugIns
    if (url.lastPathComponent() == "Contents") url.deleteLastPathComponent();
  }
  std::string p = url.path();
  if (p.starts_with("/private/var/")) p.erase(0, 8);
  while (p.size() >= 2 && p.back() == '/') p.pop_back();
  return p;
}

HomeScreenBadgeInstallTag makeInstallTag(std::string_view bundleURL, const Sha256& sha256) {
  const std::string p = installTagPath(bundleURL);

  HomeScreenBadgeInstallTag tag;
  const Sha256Digest tagDigest = sha256.digest(asBytes(p));
  tag.bytes.assign(tagDigest.begin(), tagDigest.begin() + kInstallTagSize);
  if (std::all_of(tag.bytes.begin(), tag.bytes.end(), [](std::uint8_t b) { return b == 0; })) {
    tag.bytes[7] = 0x01;  // a derived tag must never be the zero tag
  }

  ByteString maskInput(kCountMaskLabel.begin(), kCountMaskLabel.end());
  maskInput.push_back(0x00);
  maskInput.insert(maskInput.end(), p.begin(), p.end());
  const Sha256Digest maskDigest = sha256.digest(maskInput);
  tag.countMask = ByteString(maskDigest.begin(), maskDigest.begin() + kCountMaskSize);
  return tag;
}

const HomeScreenBadgeInstallTag& zeroInstallTag() {
  static const HomeScreenBadgeInstallTag zero{ByteString(kInstallTagSize, 0x00), std::nullopt};
  return zero;
}

bool isZeroInstallTag(const HomeScreenBadgeInstallTag& tag) { return tag == zeroInstallTag(); }

}  // namespace quenlarch
