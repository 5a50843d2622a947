// Extension lookup: APP/Contents/PlugIns/*.appex in name order, each judged by its
// Contents/Info.plist; the executable is Contents/MacOS/<CFBundleExecutable>.
#include "tools/notification_host/extension_locator.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <vector>

#include "platform/linux/plist_file.h"

namespace quenlarch::notification_host {
namespace {

namespace fs = std::filesystem;

std::vector<fs::path> appexBundles(const fs::path& plugIns) {
  std::vector<fs::path> bundles;
  std::error_code ec;
  for (fs::directory_iterator it(plugIns, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code typeError;
    if (it->path().extension() == ".appex" && it->is_directory(typeError)) {
      bundles.push_back(it->path());
    }
  }
  std::sort(bundles.begin(), bundles.end());
  return bundles;
}

bool declaresServiceExtension(const PlistValue& info) {
  const PlistValue* extension = info.find("NSExtension");
  if (extension == nullptr) return false;
  const PlistValue* point = extension->find("NSExtensionPointIdentifier");
  return point != nullptr && point->isString() && *point->asString() == kServiceExtensionPoint;
}

}  // namespace

std::variant<std::string, NotFound> locateServiceExtension(const std::string& appPath) {
  fs::path plugIns = fs::path(appPath) / "Contents" / "PlugIns";
  std::error_code ec;
  if (!fs::is_directory(plugIns, ec)) {
    return NotFound{"no plug-ins directory " + plugIns.string()};
  }
  for (const fs::path& bundle : appexBundles(plugIns)) {
    std::optional<PlistValue> info = readPlistFile((bundle / "Contents" / "Info.plist").string());
    if (!info || !declaresServiceExtension(*info)) continue;

    const PlistValue* name = info->find("CFBundleExecutable");
    if (name == nullptr || !name->isString() || name->asString()->empty()) {
      return NotFound{bundle.string() + " names no CFBundleExecutable"};
    }
    // The name is a file inside Contents/MacOS, never a path leading out of the bundle.
    if (name->asString()->find('/') != std::string::npos) {
      return NotFound{bundle.string() + ": CFBundleExecutable \"" + *name->asString() +
                      "\" is not a file name"};
    }
    fs::path executable = bundle / "Contents" / "MacOS" / *name->asString();
    struct stat st {};
    if (::stat(executable.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        ::access(executable.c_str(), X_OK) != 0) {
      return NotFound{executable.string() + " is not an executable file"};
    }
    return executable.string();
  }
  return NotFound{"no plug-in in " + plugIns.string() + " declares " + kServiceExtensionPoint};
}

std::string noExtensionText(const std::string& appPath, const NotFound& notFound) {
  return "no notification service extension to run in " + appPath + ": " + notFound.reason +
         "; install it with `badge-app install --app " + appPath + "`";
}

}  // namespace quenlarch::notification_host
