// rules: one paragraph per row, shaped as help2man makes a tagged paragraph of (a tag line, then
// its text indented further).
#include "tools/notification_host/rules_command.h"

#include <iostream>
#include <string>

#include "tools/common/command_line.h"
#include "tools/notification_host/diagnostics.h"
#include "tools/notification_host/push/push_rules.h"

namespace quenlarch::notification_host {
namespace {

int printRules() {
  for (const PushRuleRow& row : pushRuleRows()) {
    std::cout << "  " << row.reason;
    if (row.action == "refuses") std::cout << " (" << row.status << ")";
    std::cout << " " << row.action << ":\n        " << row.answer << ". ";
    if (row.document.empty()) {
      std::cout << "The host's own rule; the platform documents no answer for it.\n";
    } else {
      std::cout << row.document << ": \"" << row.quote << "\"\n";
    }
  }
  std::cout.flush();
  if (!tools::stdoutIntact()) return console().fail(tools::kExitFailed, "cannot write the rules");
  return tools::kExitOk;
}

}  // namespace

void addRulesCommand(CLI::App& app, int& exitCode) {
  CLI::App* rules = app.add_subcommand(
      "rules",
      "Print every push rule: what it refuses, warns of or sets, and the platform's words");
  rules->callback([&exitCode] { exitCode = printRules(); });
}

}  // namespace quenlarch::notification_host
