// A fleet: many installed apps, each standing for one device, made at once by `badge-app fleet
// create --dir DIR` and listed in DIR/fleet.jsonl for the tools that drive them all (a service
// that delivers to every device of the fleet). This is the one writer and reader of that list, so
// both sides agree on its form:
//
//   One line per device, each a JSON object ending in "\n", in the order the devices were made:
//     {"deviceToken":"<64 lowercase hex>","app":"/abs/App.app","keychain":"/abs/kc.sqlite",
//      "team":"<1 to 32 letters or digits>"}
//   app        the canonical path of the app bundle (its install tag is derived from it)
//   keychain   the keychain file holding that app's badge item
//   team       the team its token was issued for (as in the app's push registration)
//
// Other members are ignored on reading, so that later writers may add some. No two lines share a
// device token, an app or a keychain. The lines are appended as devices are made, so after a
// failed creation the list holds exactly the devices that were made; a last line without its
// newline is a write cut short and is refused.
#pragma once

#include <string>
#include <vector>

#include "platform/linux/expected.h"

namespace quenlarch {

inline constexpr const char* kFleetManifestName = "fleet.jsonl";

struct FleetDevice {
  std::string deviceToken;
  std::string app;
  std::string keychain;
  std::string team;

  friend bool operator==(const FleetDevice&, const FleetDevice&) = default;
};

// <dir>/fleet.jsonl
std::string fleetManifestPath(const std::string& dir);

// The manifest line for `device`, without its newline.
std::string fleetManifestLine(const FleetDevice& device);

// The devices the manifest in `dir` lists, in its order (none for an empty manifest). Fails when
// there is no manifest or it cannot be read, and, naming the file and the line, when a line is not
// such an object or repeats another line's token, app or keychain.
Expected<std::vector<FleetDevice>> readFleetManifest(const std::string& dir);

}  // namespace quenlarch
