// send: one connection for all the payloads, one push at a time, so the lines come out in the
// payloads' order. Only the framing is checked here (a payload that can be read and is not past
// the longest push text); the service reads each push once, with the rules deliver applies, and
// its refusals are printed as it gives them.
#include "tools/notification_host/service/send_command.h"

#include <unistd.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/file_io.h"
#include "platform/linux/json_text.h"
#include "platform/linux/line_reader.h"
#include "tools/common/command_line.h"
#include "tools/notification_host/diagnostics.h"
#include "tools/notification_host/host_options.h"
#include "tools/notification_host/push/payload_source.h"
#include "tools/notification_host/push/push_intake.h"
#include "tools/notification_host/service/client_protocol.h"
#include "tools/notification_host/service/service_socket.h"

namespace quenlarch::notification_host {
namespace {

namespace cp = client_protocol;

struct SendArgs {
  std::optional<std::string> socket;
  std::vector<std::string> payloads;
  std::optional<std::string> token;
};

int runSend(const SendArgs& args) {
  const tools::Console& out = console();
  Expected<int> connected = connectToService(args.socket);
  if (!connected) return out.fail(tools::kExitFailed, connected.error());
  const int fd = *connected;
  // The service never writes a longer line, so every push it showed reaches standard output.
  LineReader answers(fd, cp::kMaxAnswerBytes);

  bool anyRefused = false;
  int result = tools::kExitOk;
  PayloadSource source(args.payloads);
  while (std::optional<RawPayload> payload = source.next()) {
    std::optional<std::string> refused = payload->refused;
    if (!refused) {
      if (!writeAll(fd, cp::pushLine(payload->name, payload->bytes, args.token) + "\n")) {
        result = out.fail(tools::kExitFailed, "the service hung up before taking " + payload->name);
        break;
      }
      std::optional<Line> line = answers.next();
      nlohmann::ordered_json answer;
      if (line && !line->oversized) {
        if (auto parsed = parseJson<nlohmann::ordered_json>(line->text))
          answer = std::move(*parsed);
      }
      const std::string type =
          answer.is_object() && answer.value("type", nlohmann::ordered_json()).is_string()
              ? answer["type"].get<std::string>()
              : "";
      if (type == "shown" && answer.contains("line")) {
        if (!tools::printJsonLine(answer["line"])) {
          result = out.fail(tools::kExitFailed, "could not write the line for " + payload->name +
                                                    " to standard output");
          break;
        }
        continue;
      }
      if (type == "refused") {
        auto text = [&answer](const char* key, std::string absent) {
          auto it = answer.find(key);
          return it != answer.end() && it->is_string() ? it->get<std::string>() : absent;
        };
        refused = refusalText({text("reason", "refused by the service"), text("header", ""),
                               text("message", "no reason given"), 400});
      } else {
        std::string why = !line             ? "hung up"
                          : type == "error" ? "answered: " + answer.value("message", "")
                                            : "gave an answer that is no answer";
        result =
            out.fail(tools::kExitFailed, "the service " + why + " before showing " + payload->name);
        break;
      }
    }
    out.note("refused " + payload->name + ": " + *refused);
    anyRefused = true;
  }
  ::close(fd);
  if (result != tools::kExitOk) return result;
  if (!tools::stdoutIntact()) {
    return out.fail(tools::kExitFailed, "could not write to standard output");
  }
  return anyRefused ? tools::kExitFailed : tools::kExitOk;
}

}  // namespace

void addSendCommand(CLI::App& app, int& exitCode) {
  auto args = std::make_shared<SendArgs>();
  CLI::App* send = app.add_subcommand(
      "send", "Send push payloads to a running notification-host service and print what it shows");
  send->add_option("--socket", args->socket,
                   "The service's Unix socket (default: " + defaultSocketPath() + ")")
      ->check(pathValidator());
  addTokenOption(*send, args->token, "With serve --fleet: the device the pushes are for");
  send->add_option("payloads", args->payloads,
                   "JSON payload files, in order; '-' reads one payload per line of stdin")
      ->required();
  send->callback([args, &exitCode] { exitCode = runSend(*args); });
}

}  // namespace quenlarch::notification_host
