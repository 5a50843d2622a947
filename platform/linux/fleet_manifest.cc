// The fleet manifest: its lines written and read back with their checks.
#include "platform/linux/fleet_manifest.h"

#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>

#include "platform/linux/file_io.h"
#include "platform/linux/json_text.h"
#include "platform/linux/push_registration.h"

namespace quenlarch {
namespace {

// A line is a few hundred bytes; this allows a fleet of well over 100,000 devices.
constexpr std::size_t kMaxManifestBytes = 64u << 20;

Expected<std::string> stringMember(const nlohmann::json& line, const char* name) {
  auto member = line.find(name);
  if (member == line.end() || !member->is_string()) {
    return unexpected(std::string("no \"") + name + "\" string");
  }
  return member->get<std::string>();
}

Expected<std::string> absolutePath(const nlohmann::json& line, const char* name) {
  Expected<std::string> path = stringMember(line, name);
  if (path && !path->starts_with('/')) {
    return unexpected(std::string("\"") + name + "\" is not an absolute path");
  }
  return path;
}

Expected<FleetDevice> deviceFromLine(std::string_view text) {
  Expected<nlohmann::json, JsonSyntaxError> line = parseJson(text);
  if (!line) return unexpected("not JSON: " + line.error().text());
  if (!line->is_object()) return unexpected("not a JSON object");
  Expected<std::string> token = stringMember(*line, "deviceToken");
  if (!token) return unexpected(token.error());
  if (!isDeviceToken(*token)) return unexpected("\"deviceToken\" is not 64 lowercase hex digits");
  Expected<std::string> app = absolutePath(*line, "app");
  if (!app) return unexpected(app.error());
  Expected<std::string> keychain = absolutePath(*line, "keychain");
  if (!keychain) return unexpected(keychain.error());
  Expected<std::string> team = stringMember(*line, "team");
  if (!team) return unexpected(team.error());
  if (!isTeamIdentifier(*team)) return unexpected("\"team\" is not 1 to 32 letters or digits");
  return FleetDevice{std::move(*token), std::move(*app), std::move(*keychain), std::move(*team)};
}

// The lines that first named each token, app and keychain, to name a repeat by its first use.
class FirstUses {
 public:
  // Why `device` cannot join the fleet; none when it names nothing an earlier line did.
  std::optional<std::string> repeat(const FleetDevice& device, std::size_t lineNumber) {
    for (auto [name, value, seen] : {std::tuple{"deviceToken", &device.deviceToken, &tokens_},
                                     std::tuple{"app", &device.app, &apps_},
                                     std::tuple{"keychain", &device.keychain, &keychains_}}) {
      auto [first, fresh] = seen->emplace(*value, lineNumber);
      if (!fresh) {
        return std::string("the \"") + name + "\" of line " + std::to_string(first->second) +
               " again";
      }
    }
    return std::nullopt;
  }

 private:
  std::map<std::string, std::size_t> tokens_, apps_, keychains_;
};

}  // namespace

std::string fleetManifestPath(const std::string& dir) { return dir + "/" + kFleetManifestName; }

std::string fleetManifestLine(const FleetDevice& device) {
  return jsonLine({{"deviceToken", device.deviceToken},
                   {"app", device.app},
                   {"keychain", device.keychain},
                   {"team", device.team}});
}

Expected<std::vector<FleetDevice>> readFleetManifest(const std::string& dir) {
  const std::string path = fleetManifestPath(dir);
  FileContents file = readRegularFile(path, kMaxManifestBytes);
  if (file.error) return unexpected(path + ": " + file.error->message(kMaxManifestBytes));
  std::vector<FleetDevice> devices;
  FirstUses firstUses;
  std::string_view rest = file.bytes;
  for (std::size_t number = 1; !rest.empty(); ++number) {
    const std::size_t end = rest.find('\n');
    const std::string where = path + ": line " + std::to_string(number);
    if (end == std::string_view::npos) {
      return unexpected(where + " is cut off (no newline at its end)");
    }
    Expected<FleetDevice> device = deviceFromLine(rest.substr(0, end));
    if (!device) return unexpected(where + ": " + device.error());
    if (std::optional<std::string> repeat = firstUses.repeat(*device, number)) {
      return unexpected(where + ": " + *repeat);
    }
    devices.push_back(std::move(*device));
    rest.remove_prefix(end + 1);
  }
  return devices;
}

}  // namespace quenlarch
