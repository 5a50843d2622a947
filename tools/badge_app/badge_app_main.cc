// badge-app: the containing app's side of the badge counter, as a command-line tool.
#include <CLI/CLI.hpp>

#include "tools/badge_app/cli_support.h"
#include "tools/badge_app/keychain_commands.h"
#include "tools/badge_app/record_commands.h"

int main(int argc, char** argv) {
  using namespace quenlarch::badge_app;
  CLI::App app{"badge-app: the containing app's side of the home-screen badge counter"};
  app.require_subcommand(1);
  int exitCode = kExitOk;
  addRecordCommands(app, exitCode);
  addKeychainCommands(app, exitCode);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kExitUsage;
  }
  return exitCode;
}
