// badge-app: the containing app's side of the badge counter, as a command-line tool.
#include <CLI/CLI.hpp>

#include "tools/badge_app/command_output.h"
#include "tools/badge_app/counter_commands.h"
#include "tools/badge_app/fleet_commands.h"
#include "tools/badge_app/install_commands.h"
#include "tools/badge_app/record_commands.h"

int main(int argc, char** argv) {
  using namespace quenlarch;
  CLI::App app{"badge-app: the containing app's side of the home-screen badge counter"};
  app.require_subcommand(1);
  int exitCode = tools::kExitOk;
  badge_app::addRecordCommands(app, exitCode);
  badge_app::addInstallCommands(app, exitCode);
  badge_app::addCounterCommands(app, exitCode);
  badge_app::addFleetCommands(app, exitCode);
  return tools::parseAndRun(app, badge_app::console(), argc, argv, exitCode);
}
