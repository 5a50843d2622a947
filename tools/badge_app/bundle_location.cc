// Canonical bundle paths.
#include "tools/badge_app/bundle_location.h"

#include <filesystem>

#include "badge/bundle_path.h"

namespace quenlarch::badge_app {

std::optional<std::string> canonicalBundlePath(std::string_view path) {
  if (path.empty()) return std::nullopt;
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(std::filesystem::path(path), ec);
  if (ec) return std::nullopt;
  std::filesystem::path canonical = std::filesystem::weakly_canonical(absolute, ec);
  if (ec) return std::nullopt;
  return canonical.string();
}

bool endsInExtensionBundle(std::string_view path) {
  return BundlePath::standardized(path).pathExtension() == "appex";
}

}  // namespace quenlarch::badge_app
