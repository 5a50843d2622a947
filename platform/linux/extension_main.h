// The process entry of an extension on Linux. The extension's `main` registers its principal class
// and calls NSExtensionMain, which finds the extension's own bundle from the executable's location,
// reads the principal class name from Info.plist (NSExtension / NSExtensionPrincipalClass),
// makes the class object once with the real platform services and serves the host over standard
// input and output, one principal object per request, until the host closes the connection. It
// does not return.
#pragma once

#include <string>

#include "platform/principal_class.h"

namespace quenlarch {

// Makes `name` instantiable as a principal class. Call before NSExtensionMain.
void registerPrincipalClass(const std::string& name, PrincipalClassFactory factory);

// Exits 0 when the host closes the connection; 70 (with a line on stderr) when the bundle or the
// principal class cannot be found.
[[noreturn]] void NSExtensionMain(int argc, char** argv);

}  // namespace quenlarch
