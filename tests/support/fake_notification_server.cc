// fake-notification-server: owns org.freedesktop.Notifications on the session bus
// (DBUS_SESSION_BUS_ADDRESS) so that tests see exactly what a presenter sends. Prints "ready" once
// it owns the name, then one JSON line per Notify call with every argument and the caller.
//   --silent   reads every call and answers none
//   --markup   says it takes body markup
//   --click    after each Notify answer, signals as a person's click would, with decoys around it:
//              ActionInvoked for an id it never gave, another action, "default", then
//              NotificationClosed
#include <systemd/sd-bus.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

namespace {

constexpr const char* kName = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";

struct Options {
  bool silent = false;
  bool markup = false;
  bool click = false;
  std::uint32_t lastId = 0;
};

nlohmann::json readHints(sd_bus_message* m) {
  nlohmann::json hints = nlohmann::json::object();
  sd_bus_message_enter_container(m, 'a', "{sv}");
  while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
    const char* key = nullptr;
    const char* type = nullptr;
    sd_bus_message_read(m, "s", &key);
    sd_bus_message_peek_type(m, nullptr, &type);
    sd_bus_message_enter_container(m, 'v', type);
    const char* text = nullptr;
    std::uint8_t byte = 0;
    if (std::strcmp(type, "s") == 0 && sd_bus_message_read(m, "s", &text) >= 0) {
      hints[key] = text;
    } else if (std::strcmp(type, "y") == 0 && sd_bus_message_read(m, "y", &byte) >= 0) {
      hints[key] = byte;
    } else {  // a type the presenter does not send
      sd_bus_message_skip(m, type);
      hints[key] = std::string("type ") + type;
    }
    sd_bus_message_exit_container(m);
    sd_bus_message_exit_container(m);
  }
  sd_bus_message_exit_container(m);
  return hints;
}

int notify(sd_bus_message* m, Options& options) {
  const char *app = nullptr, *icon = nullptr, *summary = nullptr, *body = nullptr;
  std::uint32_t replaces = 0;
  char** actions = nullptr;
  sd_bus_message_read(m, "susss", &app, &replaces, &icon, &summary, &body);
  nlohmann::json record = {{"sender", sd_bus_message_get_sender(m)},
                           {"app_name", app},
                           {"replaces_id", replaces},
                           {"app_icon", icon},
                           {"summary", summary},
                           {"body", body}};
  sd_bus_message_read_strv(m, &actions);
  record["actions"] = nlohmann::json::array();
  for (char** a = actions; a != nullptr && *a != nullptr; ++a) {
    record["actions"].push_back(*a);
    free(*a);
  }
  free(actions);
  record["hints"] = readHints(m);
  const std::uint32_t id = replaces != 0 ? replaces : ++options.lastId;
  record["id"] = id;
  std::printf("%s\n",
              record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
  std::fflush(stdout);
  sd_bus_reply_method_return(m, "u", id);
  if (options.click) {
    sd_bus* bus = sd_bus_message_get_bus(m);
    sd_bus_emit_signal(bus, kPath, kName, "ActionInvoked", "us", id + 1000, "default");
    sd_bus_emit_signal(bus, kPath, kName, "ActionInvoked", "us", id, "reply");
    sd_bus_emit_signal(bus, kPath, kName, "ActionInvoked", "us", id, "default");
    sd_bus_emit_signal(bus, kPath, kName, "NotificationClosed", "uu", id, 2u);
  }
  return 1;
}

int onCall(sd_bus_message* m, void* data, sd_bus_error*) {
  auto& options = *static_cast<Options*>(data);
  if (options.silent) return 1;  // taken, never answered
  if (sd_bus_message_is_method_call(m, kName, "Notify")) return notify(m, options);
  if (sd_bus_message_is_method_call(m, kName, "GetCapabilities")) {
    const char* markup[] = {"body", "actions", "body-markup", nullptr};
    const char* plain[] = {"body", "actions", nullptr};
    sd_bus_message* reply = nullptr;
    sd_bus_message_new_method_return(m, &reply);
    sd_bus_message_append_strv(reply, const_cast<char**>(options.markup ? markup : plain));
    sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return 1;
  }
  return 0;
}

}  // namespace

int onNameAcquired(sd_bus_message* m, void*, sd_bus_error*) {
  const char* name = nullptr;
  if (sd_bus_message_read(m, "s", &name) >= 0 && std::strcmp(name, kName) == 0) {
    std::printf("ready\n");
    std::fflush(stdout);
  }
  return 0;
}

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    options.silent |= std::strcmp(argv[i], "--silent") == 0;
    options.markup |= std::strcmp(argv[i], "--markup") == 0;
    options.click |= std::strcmp(argv[i], "--click") == 0;
  }
  sd_bus* bus = nullptr;
  if (sd_bus_open_user(&bus) < 0 || sd_bus_add_object(bus, nullptr, kPath, &onCall, &options) < 0 ||
      sd_bus_match_signal(bus, nullptr, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                          "org.freedesktop.DBus", "NameAcquired", &onNameAcquired, nullptr) < 0 ||
      sd_bus_request_name(bus, kName, SD_BUS_NAME_QUEUE) < 0) {
    std::fprintf(stderr, "fake-notification-server: cannot ask for %s\n", kName);
    return 1;
  }
  for (int result = 0; result >= 0;) {
    result = sd_bus_process(bus, nullptr);
    if (result == 0) result = sd_bus_wait(bus, UINT64_MAX);
  }
  return 0;
}
