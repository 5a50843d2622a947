// The fleet manifest as its readers meet it: what fleet create writes reads back as written, and a
// damaged line is refused, naming the file and the line, rather than dropping a device.
#include "platform/linux/fleet_manifest.h"

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "tests/support/temp_dir.h"

namespace quenlarch {
namespace {

TEST(FleetManifestTest, RoundTripsAndRefusesDamagedLines) {
  testing::TempDir dir("fleet-manifest");
  const std::string path = fleetManifestPath(dir.path());
  auto write = [&](const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; };
  const std::vector<FleetDevice> fleet = {
      {std::string(64, 'a'), "/f/device-1/Q.app", "/f/device-1/kc.sqlite", "TEAM1"},
      {std::string(64, 'b'), "/f/device-2/Q.app", "/f/device-2/kc.sqlite", "TEAM1"}};
  const std::string first = fleetManifestLine(fleet[0]) + "\n";
  write(first + fleetManifestLine(fleet[1]) + "\n");
  EXPECT_EQ(readFleetManifest(dir.path()).value(), fleet);
  write("");
  EXPECT_TRUE(readFleetManifest(dir.path()).value().empty()) << "no device made, none listed";

  // The first device with one member changed.
  auto with = [&](const char* name, const nlohmann::json& value) {
    nlohmann::json line = nlohmann::json::parse(first);
    line[name] = value;
    return line.dump() + "\n";
  };
  const struct {
    const char* name;
    std::string bytes;
    const char* reason;
  } cases[] = {
      {"cut off", first + fleetManifestLine(fleet[1]), "line 2 is cut off (no newline at its end)"},
      {"empty line", first + "\n", "line 2: not JSON: "},
      {"not JSON", "{\"deviceToken\":\n", "line 1: not JSON: "},
      {"array", "[]\n", "line 1: not a JSON object"},
      {"no token", "{}\n", "line 1: no \"deviceToken\" string"},
      {"uppercase token", with("deviceToken", std::string(64, 'A')),
       "line 1: \"deviceToken\" is not 64 lowercase hex digits"},
      {"relative app", with("app", "Q.app"), "line 1: \"app\" is not an absolute path"},
      {"keychain as a number", with("keychain", 7), "line 1: no \"keychain\" string"},
      {"team with a dot", with("team", "a.b"), "line 1: \"team\" is not 1 to 32 letters or digits"},
      {"token again", first + with("app", "/other/Q.app"),
       "line 2: the \"deviceToken\" of line 1 again"},
      {"app again",
       first + fleetManifestLine({std::string(64, 'c'), fleet[0].app, "/k", "T"}) + "\n",
       "line 2: the \"app\" of line 1 again"},
  };
  for (const auto& c : cases) {
    write(c.bytes);
    Expected<std::vector<FleetDevice>> read = readFleetManifest(dir.path());
    ASSERT_FALSE(read) << c.name;
    EXPECT_TRUE(read.error().starts_with(path + ": " + c.reason)) << c.name << ": " << read.error();
  }
  std::filesystem::remove(path);
  Expected<std::vector<FleetDevice>> missing = readFleetManifest(dir.path());
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), path + ": cannot open: No such file or directory");
}

}  // namespace
}  // namespace quenlarch
