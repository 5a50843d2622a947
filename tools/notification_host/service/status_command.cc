// status and device: one request on a connection of their own; the answer printed as indented
// JSON.
#include "tools/notification_host/service/status_command.h"

#include <unistd.h>

#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "platform/linux/file_io.h"
#include "platform/linux/line_reader.h"
#include "tools/common/command_line.h"
#include "tools/notification_host/diagnostics.h"
#include "tools/notification_host/host_options.h"
#include "tools/notification_host/service/client_protocol.h"
#include "tools/notification_host/service/service_socket.h"

namespace quenlarch::notification_host {
namespace {

namespace cp = client_protocol;

// Sends `request` and prints the answer of type `type`.
int askService(const std::optional<std::string>& socket, const nlohmann::json& request,
               const std::string& type) {
  const tools::Console& out = console();
  Expected<int> connected = connectToService(socket);
  if (!connected) return out.fail(tools::kExitFailed, connected.error());
  const int fd = *connected;
  std::optional<Line> line;
  if (writeAll(fd, request.dump() + "\n")) {
    line = LineReader(fd, cp::kMaxAnswerBytes).next();
  }
  ::close(fd);
  nlohmann::ordered_json answer;
  if (line && !line->oversized) {
    answer = nlohmann::ordered_json::parse(line->text, nullptr, /*allow_exceptions=*/false);
  }
  if (!answer.is_object() || answer.value("type", "") != type) {
    std::string why = !line ? "hung up" : "gave an answer that is no " + type;
    if (answer.is_object() && answer.value("type", "") == "error") {
      why = "answered: " + answer.value("message", "");
    }
    return out.fail(tools::kExitFailed, "the service " + why);
  }
  answer.erase("type");
  std::cout << answer.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
  if (!tools::stdoutIntact()) {
    return out.fail(tools::kExitFailed, "could not write to standard output");
  }
  return tools::kExitOk;
}

}  // namespace

void addStatusCommand(CLI::App& app, int& exitCode) {
  auto socket = std::make_shared<std::optional<std::string>>();
  CLI::App* status =
      app.add_subcommand("status", "Show what the running notification-host service is doing");
  auto token = std::make_shared<std::optional<std::string>>();
  status->add_option("--socket", *socket, "The service's Unix socket")->check(pathValidator());
  addTokenOption(*status, *token, "With serve --fleet: that device's state, not the fleet's");
  status->callback([socket, token, &exitCode] {
    nlohmann::json request{{"type", "status"}};
    if (*token) request["token"] = **token;
    exitCode = askService(*socket, request, "status");
  });
}

void addDeviceCommand(CLI::App& app, int& exitCode) {
  auto socket = std::make_shared<std::optional<std::string>>();
  auto state = std::make_shared<std::string>();
  CLI::App* device = app.add_subcommand(
      "device",
      "Tell the running service that its device went offline (provider pushes are then stored, "
      "one per app) or came back online (the stored push is delivered)");
  device->add_option("state", *state, "offline or online")
      ->required()
      ->check(CLI::IsMember({"offline", "online"}));
  auto token = std::make_shared<std::optional<std::string>>();
  device->add_option("--socket", *socket, "The service's Unix socket")->check(pathValidator());
  addTokenOption(*device, *token, "With serve --fleet: the device that left or came back");
  device->callback([socket, state, token, &exitCode] {
    nlohmann::json request{{"type", "device"}, {"state", *state}};
    if (*token) request["token"] = **token;
    exitCode = askService(*socket, request, "device");
  });
}

}  // namespace quenlarch::notification_host
