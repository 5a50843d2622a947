// The endpoint's welcome: facts read once when it starts, then words.
#include "tools/notification_host/provider/endpoint_welcome.h"

namespace quenlarch::notification_host::provider {
namespace {

// `text` as one shell word, whatever it holds.
std::string shellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Where a client on this machine dials: a wildcard address is reached on loopback.
std::string dialAddress(const std::string& bound) {
  if (bound.starts_with("0.0.0.0:")) return "127.0.0.1" + bound.substr(7);
  if (bound.starts_with("[::]:")) return "[::1]" + bound.substr(4);
  return bound;
}

std::string joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : ", ") + word;
  return text;
}

}  // namespace

EndpointFacts endpointFacts(const ProviderArgs& args, const std::string& appPath,
                            const std::string& topic, const std::string& boundAddress,
                            bool throwawayCertificate) {
  EndpointFacts facts;
  facts.boundAddress = boundAddress;
  facts.topic = topic;
  facts.registration = PlistDeviceRegistry(appPath).current();
  if (args.auth == "token") {
    for (const std::string& key : args.keys) facts.keyIds.push_back(key.substr(0, key.find('=')));
  }
  facts.certificate = args.tlsCert;
  facts.throwawayCertificate = throwawayCertificate;
  if (args.auth == "token") facts.clientCa = args.providerCa.value_or("");
  return facts;
}

std::vector<std::string> welcomeLines(const EndpointFacts& facts) {
  std::vector<std::string> lines;
  if (facts.throwawayCertificate) {
    lines.push_back("made a throwaway self-signed certificate for the endpoint: " +
                    facts.certificate + " (trust it with curl --cacert " + facts.certificate + ")");
  }
  std::string token = "DEVICE_TOKEN";
  if (!facts.registration) {
    lines.push_back(
        "the app has no device token yet, so every push is answered 400 "
        "BadDeviceToken (badge-app install gives it one)");
  } else if (facts.registration->retiredAtMs) {
    lines.push_back(
        "the app's device token " + facts.registration->deviceToken +
        " is retired (badge-app uninstall): pushes to it are answered 410 Unregistered");
  } else {
    token = facts.registration->deviceToken;
  }
  const std::string team = facts.registration ? facts.registration->teamId : "(none)";
  std::vector<std::string> ways;
  if (!facts.keyIds.empty()) {
    ways.push_back("provider tokens of team " + team + " signed with key " + joined(facts.keyIds));
  }
  if (!facts.clientCa.empty()) {
    ways.push_back("client certificates for topic " + facts.topic + " issued by " + facts.clientCa);
  }
  std::string who = ways.empty() ? "any request (authentication is off)" : ways.front();
  if (ways.size() > 1) who += " or " + ways.back();
  const std::string tokens = facts.fleetDevices > 0 ? "the " + std::to_string(facts.fleetDevices) +
                                                          " device tokens of the fleet's manifest"
                                                    : "device token " + token;
  lines.push_back("accepting " + tokens + ", topic " + facts.topic + ", " + who);
  std::string curl = "push with: curl -sS -i --http2 --cacert " + shellQuoted(facts.certificate) +
                     " -H " + shellQuoted("apns-topic: " + facts.topic);
  if (!facts.keyIds.empty()) {
    curl += " -H \"authorization: bearer $PROVIDER_TOKEN\"";
  } else if (!facts.clientCa.empty()) {
    curl += " --cert CLIENT.pem --key CLIENT.key";
  }
  curl += " -d '{\"aps\":{\"alert\":\"Hello\",\"mutable-content\":1}}' https://" +
          dialAddress(facts.boundAddress) + "/3/device/" + token;
  lines.push_back(curl);
  return lines;
}

}  // namespace quenlarch::notification_host::provider
