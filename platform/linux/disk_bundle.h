// Bundles on disk: a Bundle over a directory, the running executable's own bundle, and the
// extension's entitlements file.
//
// Two layouts are understood: the nested one, with Contents/Info.plist, Contents/Entitlements.plist
// and the executable in Contents/MacOS/, and the flat one, with Info.plist, Entitlements.plist
// and the executable directly in the bundle directory. A file in Contents/ is used when it exists;
// the flat location is consulted only when it does not.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bundle.h"
#include "platform/plist_value.h"

namespace quenlarch {

class DiskBundle final : public Bundle {
 public:
  // Never null. The path is made absolute (relative to the working directory) and stripped of
  // trailing slashes, but otherwise kept as given: symlinks are not resolved. The Info.plist is
  // read here, once; when it is missing, unreadable or its root is not a dictionary, the bundle
  // simply has no Info.plist values.
  static std::unique_ptr<DiskBundle> open(const std::string& bundlePath);

  std::string bundleURL() const override { return path_; }
  std::optional<PlistValue> objectForInfoDictionaryKey(std::string_view key) const override;

 private:
  DiskBundle(std::string path, PlistValue info);

  const std::string path_;
  const PlistValue info_;  // the Info.plist root dictionary, empty when there is none
};

// The bundle containing the running executable (found through /proc/self/exe); none when it cannot
// be determined.
std::optional<std::string> mainBundlePath();

// The bundle containing the executable at `executablePath`: the directory above Contents/ when the
// executable sits in Contents/MacOS/, otherwise the executable's own directory. Purely lexical
// (a relative path gives a relative answer); none when the path has no directory part.
std::optional<std::string> bundlePathForExecutable(const std::string& executablePath);

// Where a bundle's entitlements file lives in the nested layout (the default) or the flat one.
std::string entitlementsPlistPath(const std::string& bundlePath, bool flatLayout = false);

// The "keychain-access-groups" entitlement of the bundle: none when the entitlements file is
// missing or not a property-list dictionary, or the entry is absent or not an array of strings.
std::optional<std::vector<std::string>> keychainAccessGroupsEntitlement(
    const std::string& bundlePath);

}  // namespace quenlarch
