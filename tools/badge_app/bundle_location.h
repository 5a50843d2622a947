// The one form of a bundle path that every badge-app command hashes into an install tag: absolute,
// symbolic links resolved as far as the path exists, "." and ".." gone. The extension finds its
// bundle through the resolved path of its own executable, so only this form gives the tag it uses.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quenlarch::badge_app {

// None when the path is empty or cannot be resolved (no working directory).
std::optional<std::string> canonicalBundlePath(std::string_view path);

// Whether the last component of `path` has the extension "appex". An app bundle there can never
// match its extension: the tag derivation strips two components from such a path.
bool endsInExtensionBundle(std::string_view path);

}  // namespace quenlarch::badge_app
