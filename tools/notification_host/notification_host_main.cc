// notification-host: the operating system's side of push delivery, for Linux. Validates push
// payloads, hands each to the app's notification service extension and prints what would be shown.
// Each subcommand registers itself; this file only wires them to the command line.
#include <signal.h>

#include <CLI/CLI.hpp>

#include "tools/common/command_line.h"
#include "tools/notification_host/deliver_command.h"
#include "tools/notification_host/diagnostics.h"
#include "tools/notification_host/rules_command.h"
#include "tools/notification_host/service/send_command.h"
#include "tools/notification_host/service/serve_command.h"
#include "tools/notification_host/service/status_command.h"

int main(int argc, char** argv) {
  using namespace quenlarch;
  // An extension that dies mid-conversation, or a reader of our output that goes away, must cost
  // a notification or a line (reported), not the host.
  ::signal(SIGPIPE, SIG_IGN);

  CLI::App app{"notification-host: the system's side of push notifications, for Linux"};
  app.require_subcommand(1);
  int exitCode = tools::kExitOk;
  notification_host::addDeliverCommand(app, exitCode);
  notification_host::addServeCommand(app, exitCode);
  notification_host::addSendCommand(app, exitCode);
  notification_host::addStatusCommand(app, exitCode);
  notification_host::addDeviceCommand(app, exitCode);
  notification_host::addRulesCommand(app, exitCode);
  const int code = tools::parseAndRun(app, notification_host::console(), argc, argv, exitCode);
  // Counts of notes held back by the rate limit, then: a note lost on the way is a lost line.
  notification_host::flushNoteCounts();
  if (code == tools::kExitOk && notification_host::lostNoteLines() > 0) return tools::kExitFailed;
  return code;
}
