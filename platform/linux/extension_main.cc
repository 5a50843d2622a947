// NSExtensionMain for Linux: bundle lookup, principal-class registry, platform set-up, serving.
// The platform services and the class object live on this frame, which never returns.
#include "platform/linux/extension_main.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>

#include "platform/linux/disk_bundle.h"
#include "platform/linux/host_connection.h"
#include "platform/linux/openssl_sha256.h"
#include "platform/linux/request_log.h"
#include "platform/linux/sqlite_keychain.h"
#include "platform/linux/system_random_source.h"
#include "platform/linux/system_sleeper.h"

namespace quenlarch {
namespace {

constexpr int kExitSoftware = 70;  // the extension is not set up right

std::map<std::string, PrincipalClassFactory>& registry() {
  static std::map<std::string, PrincipalClassFactory> classes;
  return classes;
}

[[noreturn]] void die(const std::string& message) {
  std::cerr << "extension: " << message << '\n';
  std::exit(kExitSoftware);
}

std::optional<std::string> principalClassName(const Bundle& bundle) {
  std::optional<PlistValue> extension = bundle.objectForInfoDictionaryKey("NSExtension");
  if (!extension) return std::nullopt;
  const PlistValue* name = extension->find("NSExtensionPrincipalClass");
  if (name == nullptr || !name->isString()) return std::nullopt;
  return *name->asString();
}

// Why a keychain has no badge item, when the reason is that the file is not there at all: the
// extension never creates one, so the person has an app to install, not an item to look for.
std::optional<std::string> missingKeychain(const Expected<std::string>& path) {
  struct stat info {};
  if (!path || ::lstat(path->c_str(), &info) == 0 || errno != ENOENT) return std::nullopt;
  return "the keychain " + *path + " does not exist (badge-app install creates it)";
}

}  // namespace

void registerPrincipalClass(const std::string& name, PrincipalClassFactory factory) {
  registry()[name] = factory;
}

void NSExtensionMain(int /*argc*/, char** /*argv*/) {
  // A host that goes away mid-write must not kill the extension before its keychain work ends,
  // and a full file system or file-size limit must come back as a failed write (a keychain
  // status), not as a signal that kills the process.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);

  std::optional<std::string> bundlePath = mainBundlePath();
  if (!bundlePath) die("cannot find the extension's own bundle");
  std::unique_ptr<DiskBundle> mainBundle = DiskBundle::open(*bundlePath);

  std::optional<std::string> className = principalClassName(*mainBundle);
  if (!className) die("Info.plist of " + *bundlePath + " names no NSExtensionPrincipalClass");
  auto factory = registry().find(*className);
  if (factory == registry().end()) die("unknown principal class \"" + *className + "\"");

  // The entitlements decide which keychain items this process may reach; without them, none.
  std::vector<std::string> groups =
      keychainAccessGroupsEntitlement(*bundlePath).value_or(std::vector<std::string>{});
  // Without a path every keychain call fails as the store does on an unusable file.
  Expected<std::string> keychainPath = defaultKeychainPath();
  SqliteKeychain keychain(keychainPath ? *keychainPath : std::string(), std::move(groups));
  OpenSslSha256 sha256;
  SystemSleeper sleeper;
  SystemRandomSource random;
  HostOutcomeLog outcomeLog(
      [&](BadgeOutcome outcome, OSStatus status) -> std::optional<std::string> {
        if (outcome == BadgeOutcome::kNoBadgeItem) return missingKeychain(keychainPath);
        if (outcome != BadgeOutcome::kKeychainUnusable) return std::nullopt;
        if (!keychainPath) return keychainPath.error();
        // Parallel requests share the store: its last problem may be another request's, which met
        // the same store a moment apart.
        return describeKeychainFailure(status, keychain.lastProblem()) + " (keychain " +
               *keychainPath + ")";
      });
  PlatformServices services{*mainBundle, sha256, keychain, sleeper, random, outcomeLog};

  // The class object, and with it what the principal objects share, lives until the process ends.
  std::unique_ptr<PrincipalClass> principalClass = factory->second(services);
  int status = serveHostConnection(*principalClass, STDIN_FILENO, STDOUT_FILENO);
  std::fflush(nullptr);
  // Skip static destructors: process-wide values stay alive for the life of the process.
  std::_Exit(status);
}

}  // namespace quenlarch
