// App layout on disk. Files are replaced durably and atomically (file_io) and only when they
// differ, so running install twice changes nothing.
#include "tools/badge_app/app_layout.h"

#include <filesystem>

#include "badge/keychain_item.h"
#include "platform/linux/disk_bundle.h"
#include "platform/linux/file_io.h"
#include "platform/linux/plist_file.h"
#include "tools/badge_app/bundle_location.h"
#include "tools/badge_app/strings_tables.h"

namespace quenlarch::badge_app {
namespace fs = std::filesystem;

std::optional<AppLayout> AppLayout::forApp(const std::string& appPath) {
  std::optional<std::string> canonical = canonicalBundlePath(appPath);
  if (!canonical) return std::nullopt;
  const fs::path app = *canonical;
  AppLayout layout;
  layout.app = app.string();
  fs::path extension = app / "Contents" / "PlugIns" / kExtensionBundleName;
  layout.extension = extension.string();
  layout.appInfoPlist = (app / "Contents" / "Info.plist").string();
  layout.extensionInfoPlist = (extension / "Contents" / "Info.plist").string();
  layout.entitlementsPlist = (extension / "Contents" / "Entitlements.plist").string();
  layout.executable = (extension / "Contents" / "MacOS" / kExtensionExecutableName).string();
  return layout;
}

std::optional<std::string> installedAccessGroup(const AppLayout& layout) {
  std::unique_ptr<DiskBundle> extension = DiskBundle::open(layout.extension);
  return keychainAccessGroup(*extension);
}

std::optional<std::string> extensionExecutableToInstall() {
  if (const char* env = std::getenv("BADGE_SERVICE_EXECUTABLE"); env != nullptr && *env != '\0') {
    return std::string(env);
  }
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return std::nullopt;
  // Installed, the extension lives in the private executables folder of the same prefix
  // (BADGE_SERVICE_FROM_BINDIR, relative to the programs' folder); in the build tree, in the
  // extension's own folder beside badge-app's.
  for (fs::path candidate :
       {self.parent_path() / BADGE_SERVICE_FROM_BINDIR / kExtensionExecutableName,
        self.parent_path().parent_path() / "badge_service" / kExtensionExecutableName}) {
    if (fs::is_regular_file(candidate, ec)) return candidate.string();
  }
  return std::nullopt;
}

namespace {

// The extension executable is the largest file laid out; nothing real comes near this.
constexpr std::size_t kMaxLaidOutFileBytes = 256u << 20;

Expected<std::string> readWholeFile(const std::string& path) {
  FileContents file = readRegularFile(path, kMaxLaidOutFileBytes);
  if (file.error) return unexpected(file.error->message(kMaxLaidOutFileBytes));
  return std::move(file.bytes);
}

// Replaces `path` with `content` (durably and atomically, see file_io.h) unless it already holds
// exactly that, so that running install again leaves an app untouched.
Expected<void> writeIfDifferent(const std::string& path, const std::string& content, mode_t mode) {
  if (Expected<std::string> current = readWholeFile(path); current && *current == content)
    return {};
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  if (std::optional<FileError> error = writeFileAtomically(path, content, mode)) {
    return unexpected("cannot write " + path + ": " + error->message());
  }
  return {};
}

// Whether `target` is now a hard link to `source`: a link made into a folder that has none yet.
// False when none could be made; the caller copies instead.
// The source's links are resolved first: a link to a symbolic link would start the executable
// through the link's target, outside the bundle.
bool linkExecutable(const std::string& source, const std::string& target) {
  std::error_code ec;
  const fs::path file = fs::canonical(source, ec);
  if (ec) return false;
  if (fs::exists(target, ec)) return fs::equivalent(file, target, ec);
  fs::create_directories(fs::path(target).parent_path(), ec);
  fs::create_hard_link(file, target, ec);
  return !ec;
}

PlistValue dictionary(std::initializer_list<std::pair<std::string_view, PlistValue>> entries) {
  PlistValue dict;
  for (const auto& [key, value] : entries) dict.set(key, value);
  return dict;
}

Expected<void> writePlistIfDifferent(const std::string& path, const PlistValue& value) {
  std::optional<std::string> xml = plistToXml(value);
  if (!xml) return unexpected("cannot write " + path + ": not expressible as a property list");
  return writeIfDifferent(path, *xml, 0644);
}

}  // namespace

Expected<void> layOutApp(const AppLayout& layout, const std::string& accessGroup,
                         const std::optional<std::string>& executable,
                         ExecutablePlacement placement) {
  const PlistValue appInfo = dictionary({{"CFBundleIdentifier", "com.quenlarch.app"},
                                         {"CFBundleName", "Quenlarch"},
                                         {"CFBundleDevelopmentRegion", "en"},
                                         {"CFBundlePackageType", "APPL"}});
  const PlistValue extensionInfo = dictionary(
      {{"CFBundleIdentifier", "com.quenlarch.app.badge-service"},
       {"CFBundleExecutable", kExtensionExecutableName},
       {"CFBundlePackageType", "XPC!"},
       {"NSExtension", dictionary({{"NSExtensionPointIdentifier", kExtensionPointIdentifier},
                                   {"NSExtensionPrincipalClass", "NotificationService"}})},
       {kBadgeKeychainGroupInfoKey, PlistValue(accessGroup)}});
  const PlistValue entitlements = dictionary(
      {{"keychain-access-groups", PlistValue(PlistValue::Array{PlistValue(accessGroup)})}});

  if (Expected<void> written = writePlistIfDifferent(layout.appInfoPlist, appInfo); !written) {
    return written;
  }
  if (Expected<void> tables = writeStringsTables(layout.app); !tables) return tables;
  if (Expected<void> written = writePlistIfDifferent(layout.extensionInfoPlist, extensionInfo);
      !written) {
    return written;
  }
  if (Expected<void> written = writePlistIfDifferent(layout.entitlementsPlist, entitlements);
      !written) {
    return written;
  }
  if (executable && placement == ExecutablePlacement::kHardLink &&
      linkExecutable(*executable, layout.executable)) {
    return {};
  }
  if (executable) {
    Expected<std::string> binary = readWholeFile(*executable);
    if (!binary) {
      return unexpected("cannot read the extension executable " + *executable + ": " +
                        binary.error());
    }
    return writeIfDifferent(layout.executable, *binary, 0755);
  }
  return {};
}

}  // namespace quenlarch::badge_app
