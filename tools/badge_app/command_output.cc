// badge-app output.
#include "tools/badge_app/command_output.h"

#include <iostream>

#include "platform/hex.h"

namespace quenlarch::badge_app {
namespace {

int outputLost() {
  return console().fail(tools::kExitFailed,
                        "the output was lost: writing to standard output failed");
}

}  // namespace

const tools::Console& console() {
  static const tools::Console instance("badge-app");
  return instance;
}

int report(const CommandFailure& failure) {
  return console().fail(failure.exitCode, failure.message);
}

int emitJson(const nlohmann::ordered_json& json) {
  return tools::printJsonLine(json) ? tools::kExitOk : outputLost();
}

int emitLine(std::string_view line) {
  std::cout << line << '\n';
  return tools::stdoutIntact() ? tools::kExitOk : outputLost();
}

nlohmann::ordered_json describeRecord(const ByteString& record, const BadgeRecordDecoding& decoded,
                                      const HomeScreenBadgeInstallTag& knownTag) {
  const HomeScreenBadgeState& state = *decoded.state;
  return {{"enabled", state.isEnabled},
          {"count", decoded.countKnown ? nlohmann::ordered_json(state.count)
                                       : nlohmann::ordered_json(nullptr)},
          {"installTag", hexEncode(state.installTag.bytes)},
          {"ownedByThisInstall", isOwnedByInstallation(state, knownTag)},
          {"record", hexEncode(record)}};
}

}  // namespace quenlarch::badge_app
