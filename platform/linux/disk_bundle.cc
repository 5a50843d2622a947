// Bundles on disk: locating the Info.plist and entitlements in either layout, and the running
// executable's bundle.
#include "platform/linux/disk_bundle.h"

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <utility>

#include "platform/linux/plist_file.h"

namespace quenlarch {
namespace {

std::string joinPath(std::string base, std::string_view relative) {
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  if (!base.empty() && base.back() != '/') base += '/';
  base += relative;
  return base;
}

// Only a path that is positively absent counts as missing: a file we may not look at is not a
// reason to silently read another one instead.
bool isMissing(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

// Reads `<bundle>/Contents/<name>`, or `<bundle>/<name>` when the former does not exist.
std::optional<PlistValue> readBundlePlist(const std::string& bundlePath, std::string_view name) {
  std::string path = joinPath(joinPath(bundlePath, "Contents"), name);
  if (isMissing(path)) path = joinPath(bundlePath, name);
  return readPlistFile(path);
}

std::string absoluteBundlePath(std::string path) {
  if (path.empty() || path.front() != '/') {
    std::error_code error;
    const std::filesystem::path cwd = std::filesystem::current_path(error);
    // Without a working directory there is nothing to anchor to; keep the path as given.
    if (!error) path = path.empty() ? cwd.string() : joinPath(cwd.string(), path);
  }
  // "X.appex/" and "X.appex/." name the same directory as "X.appex"; "/" stays "/".
  while (path.size() > 1) {
    if (path.back() == '/') {
      path.pop_back();
    } else if (path.ends_with("/.")) {
      path.pop_back();
    } else {
      break;
    }
  }
  return path;
}

}  // namespace

DiskBundle::DiskBundle(std::string path, PlistValue info)
    : path_(std::move(path)), info_(std::move(info)) {}

std::unique_ptr<DiskBundle> DiskBundle::open(const std::string& bundlePath) {
  std::string path = absoluteBundlePath(bundlePath);
  std::optional<PlistValue> info = readBundlePlist(path, "Info.plist");
  if (!info || !info->isDictionary()) info = PlistValue();
  return std::unique_ptr<DiskBundle>(new DiskBundle(std::move(path), std::move(*info)));
}

std::optional<PlistValue> DiskBundle::objectForInfoDictionaryKey(std::string_view key) const {
  const PlistValue* value = info_.find(key);
  if (value == nullptr) return std::nullopt;
  return *value;
}

std::optional<std::string> mainBundlePath() {
  std::error_code error;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return std::nullopt;
  return bundlePathForExecutable(exe.string());
}

std::optional<std::string> bundlePathForExecutable(const std::string& executablePath) {
  if (executablePath.empty()) return std::nullopt;
  const std::filesystem::path exe = std::filesystem::path(executablePath).lexically_normal();
  if (!exe.has_filename()) return std::nullopt;  // names a directory, not a file
  std::filesystem::path dir = exe.parent_path();
  if (dir.empty()) return std::nullopt;
  if (dir.filename() == "MacOS" && dir.parent_path().filename() == "Contents") {
    dir = dir.parent_path().parent_path();
    if (dir.empty()) return std::nullopt;  // a relative "Contents/MacOS/exe"
  }
  return dir.string();
}

std::string entitlementsPlistPath(const std::string& bundlePath, bool flatLayout) {
  return joinPath(bundlePath, flatLayout ? "Entitlements.plist" : "Contents/Entitlements.plist");
}

std::optional<std::vector<std::string>> keychainAccessGroupsEntitlement(
    const std::string& bundlePath) {
  const std::optional<PlistValue> entitlements = readBundlePlist(bundlePath, "Entitlements.plist");
  if (!entitlements || !entitlements->isDictionary()) return std::nullopt;
  const PlistValue* groups = entitlements->find("keychain-access-groups");
  if (groups == nullptr || !groups->isArray()) return std::nullopt;
  std::vector<std::string> result;
  for (const PlistValue& group : *groups->asArray()) {
    const std::string* name = group.asString();
    if (name == nullptr) return std::nullopt;
    result.push_back(*name);
  }
  return result;
}

}  // namespace quenlarch
