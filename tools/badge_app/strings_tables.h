// The app's localized alert texts: the English and German Localizable.strings tables that turn the
// counted alerts' localization keys into what a person reads, and the development region that
// names the language used when the person's own has no table.
#pragma once

#include <string>

#include "platform/linux/expected.h"

namespace quenlarch::badge_app {

// Writes Contents/Resources/{en,de}.lproj/Localizable.strings (XML property lists) into the app
// bundle at `appPath`, and sets CFBundleDevelopmentRegion in its Info.plist (written before) when
// it is missing. Files already holding the same content are left alone. The reason names the file.
Expected<void> writeStringsTables(const std::string& appPath);

}  // namespace quenlarch::badge_app
