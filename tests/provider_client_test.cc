// The provider endpoint with real clients, against provider-test-server on 127.0.0.1 with a CA,
// certificate and provider key made for the run: curl --http2 for every answer the provider API
// gives, @parse/node-apn pushing from a pool of connections, the limits against idle and
// half-open clients, and SIGTERM with a stream in flight. Then the same clients against
// notification-host serve with the endpoint, end to end: the real extension counting in the
// keychain, each push shown on serve's output; its full queue, a retired token and its stop.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/fleet_manifest.h"
#include "platform/linux/plist_file.h"
#include "platform/linux/push_registration.h"
#include "platform/linux/subprocess.h"
#include "tests/support/es256_token.h"
#include "tests/support/run_command.h"
#include "tests/support/temp_dir.h"

namespace quenlarch {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string kToken(64, 'a');
constexpr const char* kTeam = "TEAM123456";
constexpr const char* kKeyId = "KEY1234567";
constexpr const char* kTopic = "apns-topic: com.quenlarch.app";
constexpr const char* kAlert = R"({"aps":{"alert":"Hi"}})";
constexpr const char* kId = "8d3c1a6e-58b2-4f43-9e3c-2d57a1b0c4f9";

Subprocess::Clock::time_point soon() { return Subprocess::Clock::now() + 30s; }

std::string onPath(const std::string& program) {
  for (const char* dir : {"/usr/local/bin", "/usr/bin", "/bin"}) {
    if (fs::exists(fs::path(dir) / program)) return std::string(dir) + "/" + program;
  }
  return "";
}

// The CA, the endpoint's certificate and the provider's key, made once for every test; client
// certificates that CA issued (client: the app's topic, marked for development; other: another
// app's topic in its CN alone; production: marked for production only) and one another CA issued
// (foreign).
struct Keys {
  testing::TempDir dir{"provider-keys"};
  std::shared_ptr<EVP_PKEY> provider = testing::newEcKey();
  std::string problem;

  Keys() {
    std::ofstream(dir / "provider.pem") << testing::keyPem(provider.get(), true);
    std::ofstream(dir / "provider.pub") << testing::keyPem(provider.get(), false);
    std::ofstream(dir / "san.cnf") << "subjectAltName=IP:127.0.0.1\n";
    const std::string ec = "ec_paramgen_curve:P-256";
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"req", "-x509", "-newkey", "ec", "-pkeyopt", ec, "-nodes", "-keyout", dir / "ca.key",
              "-out", dir / "ca.pem", "-days", "2", "-subj", "/CN=provider test CA"},
             {"req", "-newkey", "ec", "-pkeyopt", ec, "-nodes", "-keyout", dir / "server.key",
              "-out", dir / "server.csr", "-subj", "/CN=127.0.0.1"},
             {"x509", "-req", "-in", dir / "server.csr", "-CA", dir / "ca.pem", "-CAkey",
              dir / "ca.key", "-set_serial", "1", "-days", "2", "-extfile", dir / "san.cnf", "-out",
              dir / "server.pem"}}) {
      run(args);
    }
    std::ofstream(dir / "development.cnf") << "1.2.840.113635.100.6.3.1=ASN1:NULL\n";
    std::ofstream(dir / "production.cnf") << "1.2.840.113635.100.6.3.2=ASN1:NULL\n";
    run({"req", "-x509", "-newkey", "ec", "-pkeyopt", ec, "-nodes", "-keyout",
         dir / "foreign-ca.key", "-out", dir / "foreign-ca.pem", "-days", "2", "-subj", "/CN=F"});
    for (const auto& [name, subject, ca, marker] : std::vector<std::array<std::string, 4>>{
             {"client", "/UID=com.quenlarch.app/CN=Pushes: com.quenlarch.app", "ca", "development"},
             {"other", "/CN=Pushes: com.quenlarch.other", "ca", "development"},
             {"production", "/UID=com.quenlarch.app", "ca", "production"},
             {"foreign", "/UID=com.quenlarch.app", "foreign-ca", "development"}}) {
      run({"req", "-newkey", "ec", "-pkeyopt", ec, "-nodes", "-keyout", dir / (name + ".key"),
           "-out", dir / (name + ".csr"), "-subj", subject});
      run({"x509", "-req", "-in", dir / (name + ".csr"), "-CA", dir / (ca + ".pem"), "-CAkey",
           dir / (ca + ".key"), "-set_serial", "2", "-days", "2", "-extfile",
           dir / (marker + ".cnf"), "-out", dir / (name + ".pem")});
    }
  }
  void run(const std::vector<std::string>& args) {
    std::vector<std::string> argv{onPath("openssl")};
    argv.insert(argv.end(), args.begin(), args.end());
    testing::CommandResult made = testing::runCommand(argv);
    if (made.exitCode != 0) problem += "openssl " + args[0] + ": " + made.err;
  }
  // Issued once, as a provider signs one token for many pushes: a new one per request would be
  // answered TooManyProviderTokenUpdates.
  std::string token(std::int64_t age = 0, const std::string& keyId = kKeyId) const {
    return testing::es256Token({{"alg", "ES256"}, {"kid", keyId}},
                               {{"iss", kTeam}, {"iat", issuedAt - age}}, provider.get());
  }
  // Two minutes ago, so that a test can sign a newer one that is not from the future.
  const std::int64_t issuedAt = std::chrono::duration_cast<std::chrono::seconds>(
                                    std::chrono::system_clock::now().time_since_epoch())
                                    .count() -
                                120;
};

const Keys& keys() {
  static const Keys made;
  return made;
}

// Where a server under test takes provider requests.
struct Endpoint {
  int port = 0;
};

// provider-test-server, stopped by pid when the test ends.
class Server : public Endpoint {
 public:
  Server(const std::string& app, const std::string& record, std::vector<std::string> extra) {
    SubprocessOptions options;
    const std::string& dir = keys().dir.path();
    options.argv = {PROVIDER_TEST_SERVER_PATH, "--app", app, "--record", record};
    options.argv.insert(options.argv.end(),
                        {"--provider-listen", "127.0.0.1:0", "--tls-cert", dir + "/server.pem",
                         "--tls-key", dir + "/server.key"});
    if (extra.empty())
      extra = {"--provider-key", std::string(kKeyId) + "=" + dir + "/provider.pub"};
    options.argv.insert(options.argv.end(), extra.begin(), extra.end());
    options.input = SubprocessOptions::Stream::kNull;
    options.error = SubprocessOptions::Stream::kFile;
    options.errorFile = errorFile_ = record + ".err";
    std::string error;
    child_ = Subprocess::start(options, &error);
    port = child_ ? nextLine().value("port", 0) : 0;
  }
  // The server's next line on stdout; null when it ended without one.
  json nextLine() {
    while (buffer_.find('\n') == std::string::npos) {
      if (child_->readOutput(buffer_, soon()) != Subprocess::ReadStatus::kData) return {};
    }
    json line = json::parse(buffer_.substr(0, buffer_.find('\n')), nullptr, false);
    buffer_.erase(0, buffer_.find('\n') + 1);
    return line;
  }
  void terminate() { ::kill(child_->pid(), SIGTERM); }
  std::optional<int> exitCode() {
    child_->waitUntil(soon());
    return child_->exitCode();
  }
  std::string notes() const;

 private:
  std::unique_ptr<Subprocess> child_;
  std::string buffer_;
  std::string errorFile_;
};

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Server::notes() const { return readFile(errorFile_); }

// Waits until `condition` holds, looking again every few milliseconds; false when it still does
// not after `limit`, which only bounds a failing test.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 30s) {
  for (auto end = std::chrono::steady_clock::now() + limit; !condition();) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// notification-host serve for `app` with the endpoint on 127.0.0.1; its shown lines go to
// `output`, its notes to `output`.err. Stopped by pid when the test ends.
class Serve : public Endpoint {
 public:
  // `throwaway`: no certificate given, serve makes its own.
  Serve(const std::string& app, const std::string& output, const std::vector<std::string>& extra,
        const std::vector<std::string>& env, bool throwaway = false)
      : output_(output) {
    SubprocessOptions options;
    const std::string& dir = keys().dir.path();
    // No app: `extra` names a --fleet.
    options.argv = {NOTIFICATION_HOST_PATH, "serve", "--socket", output + ".sock",
                    // A sanitizer build's extension is resident far past the default limit.
                    "--memory-limit", "4096", "--provider-listen", "127.0.0.1:0"};
    if (!app.empty()) options.argv.insert(options.argv.end(), {"--app", app});
    if (!throwaway) {
      options.argv.insert(options.argv.end(),
                          {"--tls-cert", dir + "/server.pem", "--tls-key", dir + "/server.key"});
    }
    options.argv.insert(options.argv.end(), extra.begin(), extra.end());
    options.environment = env;
    options.input = SubprocessOptions::Stream::kNull;
    options.output = SubprocessOptions::Stream::kFile;
    options.outputFile = output;
    options.error = SubprocessOptions::Stream::kFile;
    options.errorFile = output + ".err";
    std::string error;
    child_ = Subprocess::start(options, &error);
    if (!child_) return;
    const std::string said = "provider endpoint listening on 127.0.0.1:";
    waitFor([&] { return notes().find(said) != std::string::npos || child_->tryReap(); });
    if (const std::size_t at = notes().find(said); at != std::string::npos) {
      port = std::stoi(notes().substr(at + said.size()));
    }
  }
  std::string notes() const { return readFile(output_ + ".err"); }
  std::vector<json> shown() const { return testing::jsonLines(readFile(output_)); }
  void terminate() { child_->sendSignal(SIGTERM); }
  std::optional<int> exitCode() {
    child_->waitUntil(soon());
    return child_->exitCode();
  }
  // Its child processes now: the extensions alive.
  std::size_t children() const {
    const std::string pid = std::to_string(child_->pid());
    std::istringstream listed(readFile("/proc/" + pid + "/task/" + pid + "/children"));
    return static_cast<std::size_t>(std::distance(std::istream_iterator<std::string>(listed), {}));
  }

 private:
  std::string output_;
  std::unique_ptr<Subprocess> child_;
};

struct Request {
  std::vector<std::string> headers;
  std::string body = kAlert;
  std::string path = "/3/device/" + kToken;
  std::string method = "POST";
  std::string cert = "";  // a client certificate of Keys to present instead of a provider token
};
Request byCertificate(const std::string& cert, std::vector<std::string> headers = {kTopic}) {
  return {std::move(headers), kAlert, "/3/device/" + kToken, "POST", cert};
}
struct Answer {
  int curlExit = -1;
  int status = 0;
  std::string reason;
  std::string apnsId;
  json body;
};

class ProviderClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* program : {"curl", "node", "openssl"}) {
      if (onPath(program).empty()) GTEST_SKIP() << program << " is not installed";
    }
    if (!fs::exists(std::string(PROVIDER_CLIENT_DIR) + "/node_modules/@parse/node-apn")) {
      GTEST_SKIP() << "node-apn is not installed (scripts/install-deps.sh runs npm ci)";
    }
    ASSERT_EQ(keys().problem, "");
    fs::create_directories(app_ + "/Contents");
    PlistValue info;
    info.set("CFBundleIdentifier", "com.quenlarch.app");
    ASSERT_TRUE(writeXmlPlistFile(app_ + "/Contents/Info.plist", info));
    registerToken(std::nullopt);
  }

  // Writes the registration badge-app keeps: this token and team, retired at `retiredAtMs`.
  void registerToken(std::optional<std::int64_t> retiredAtMs) {
    PlistValue registration;
    registration.set("DeviceToken", kToken);
    registration.set("TeamIdentifier", kTeam);
    if (retiredAtMs) registration.set("RetiredAt", *retiredAtMs);
    ASSERT_TRUE(writeXmlPlistFile(app_ + "/Contents/PushRegistration.plist", registration));
  }

  std::unique_ptr<Server> serve(std::vector<std::string> extra = {}) {
    auto server = std::make_unique<Server>(app_, record_, std::move(extra));
    EXPECT_NE(server->port, 0) << "the server did not start";
    return server;
  }

  // One request with curl, with a valid provider token unless the request has authorization.
  // `protocol`: curl's flags choosing HTTP/2 or 1.1, and ALPN or none.
  Answer curl(const Endpoint& server, const Request& request,
              const std::vector<std::string>& protocol = {"--http2"}) const {
    std::vector<std::string> argv{onPath("curl"), "-sS"};
    argv.insert(argv.end(), protocol.begin(), protocol.end());
    argv.insert(argv.end(), {"--cacert", keys().dir / "ca.pem", "-X", request.method, "-o", "-",
                             "-w", "\n%{http_code} %header{apns-id}"});
    bool authorized = !request.cert.empty();
    if (authorized) {
      argv.insert(argv.end(), {"--cert", keys().dir / (request.cert + ".pem"), "--key",
                               keys().dir / (request.cert + ".key")});
    }
    for (const std::string& header : request.headers) {
      argv.insert(argv.end(), {"-H", header});
      authorized = authorized || header.starts_with("authorization");
    }
    if (!authorized) argv.insert(argv.end(), {"-H", "authorization: bearer " + keys().token()});
    if (!request.body.empty()) argv.insert(argv.end(), {"--data-binary", request.body});
    argv.push_back("https://127.0.0.1:" + std::to_string(server.port) + request.path);
    testing::CommandResult result = testing::runCommand(argv);
    Answer answer;
    answer.curlExit = result.exitCode;
    const std::size_t last = result.out.rfind('\n');
    if (last == std::string::npos) return answer;
    answer.body = json::parse(result.out.substr(0, last), nullptr, false);
    std::istringstream(result.out.substr(last + 1)) >> answer.status >> answer.apnsId;
    if (answer.body.is_object()) answer.reason = answer.body.value("reason", "");
    return answer;
  }

  // node-apn's answers for `count` pushes sent at once with `config` over the base one.
  std::vector<json> nodeApn(const Endpoint& server, const json& config) const {
    json full{{"port", server.port},
              {"ca", keys().dir / "ca.pem"},
              {"key", keys().dir / "provider.pem"},
              {"keyId", kKeyId},
              {"teamId", kTeam},
              {"device", kToken},
              {"topic", "com.quenlarch.app"},
              {"payload", json::parse(kAlert)}};
    full.update(config);
    return testing::jsonLines(
        testing::runCommand(
            {onPath("node"), std::string(PROVIDER_CLIENT_DIR) + "/send.js", full.dump()})
            .out);
  }

  // One push held by hand after its headers (node send.js --hold, no provider token): the client,
  // once the server has the headers; null when it never got that far.
  std::unique_ptr<Subprocess> holdOne(const Endpoint& server,
                                      const std::string& device = kToken) const {
    SubprocessOptions hold;
    const json config{{"port", server.port},
                      {"ca", keys().dir / "ca.pem"},
                      {"device", device},
                      {"topic", "com.quenlarch.app"},
                      {"payload", json::parse(kAlert)}};
    hold.argv = {onPath("node"), std::string(PROVIDER_CLIENT_DIR) + "/send.js", "--hold",
                 config.dump()};
    std::string error;
    std::unique_ptr<Subprocess> client = Subprocess::start(hold, &error);
    std::string said;
    while (client && said.find("held") == std::string::npos &&
           client->readOutput(said, soon()) == Subprocess::ReadStatus::kData) {
    }
    EXPECT_NE(said.find("held"), std::string::npos) << said << error;
    return said.find("held") != std::string::npos ? std::move(client) : nullptr;
  }
  // Sends the held push's body (if it is still wanted); the answer it got.
  json release(Subprocess& client) const {
    for (const json& line : testing::jsonLines(client.communicate("go\n", soon()).output)) {
      if (line.contains("status")) return line;
    }
    return {};
  }

  std::vector<json> recorded() const {
    std::ifstream in(record_);
    return testing::jsonLines(std::string(std::istreambuf_iterator<char>(in), {}));
  }

  testing::TempDir dir_{"provider-client"};
  std::string app_ = dir_ / "App.app";
  std::string record_ = dir_ / "pushes.jsonl";
};

TEST_F(ProviderClientTest, EveryReasonFromARequestThatEarnsIt) {
  const std::string log = dir_ / "requests.jsonl";
  // Tokens and certificates both: a request with a token is checked as before.
  auto server = serve({"--provider-key", std::string(kKeyId) + "=" + keys().dir / "provider.pub",
                       "--provider-ca", keys().dir / "ca.pem", "--request-log", log});
  const std::string bigAlert = R"({"aps":{"alert":")" + std::string(4077, 'x') + R"("}})";
  ASSERT_EQ(bigAlert.size(), 4097u);
  struct Row {
    int status;
    const char* reason;  // "" for 200
    Request request;
    std::string cause = "";  // what the refusal's line on stderr says, in part
  };
  const std::vector<Row> rows = {
      {200, "", {{kTopic, std::string("apns-id: ") + kId}}},
      {200, "", {{kTopic}, kAlert, "/3/device/" + std::string(64, 'A')}},
      {400, "BadCollapseId", {{kTopic, "apns-collapse-id: " + std::string(65, 'c')}}},
      {400, "BadDeviceToken", {{kTopic}, kAlert, "/3/device/abc"}},
      {400, "BadDeviceToken", {{kTopic}, kAlert, "/3/device/" + std::string(64, 'b')}},
      {400, "BadExpirationDate", {{kTopic, "apns-expiration: tomorrow"}}},
      {400, "BadMessageId", {{kTopic, "apns-id: 42"}}},
      {400, "BadPriority", {{kTopic, "apns-priority: 7", std::string("apns-id: ") + kId}}},
      {400, "BadTopic", {{"apns-topic: com.quenlarch.app!"}}},
      {400,
       "DeviceTokenNotForTopic",
       {{"apns-topic: com.quenlarch.other"}},
       "topic \"com.quenlarch.other\" is not the app's bundle id \"com.quenlarch.app\""},
      {400, "DuplicateHeaders", {{kTopic, kTopic}}},
      {400, "InvalidPushType", {{kTopic, "apns-push-type: banner"}}},
      // A background push with an alert may be delayed or dropped, not refused: taken, warned of.
      {200, "", {{kTopic, "apns-push-type: background"}}},
      {400, "MissingDeviceToken", {{kTopic}, kAlert, "/3/device/"}},
      {400, "MissingTopic", {{}}},
      {400, "PayloadEmpty", {{kTopic}, ""}},
      {400, "BadPayload", {{kTopic}, "[1]"}},
      {400, "TopicDisallowed", {{"apns-topic: com.quenlarch.app.voip"}}},
      {403, "ExpiredProviderToken", {{kTopic, "authorization: bearer " + keys().token(7200)}}},
      {403,
       "InvalidProviderToken",
       {{kTopic, "authorization: bearer " + keys().token(0, "K2")}},
       "key id \"K2\", not one of serve's --provider-key"},
      {429,
       "TooManyProviderTokenUpdates",
       {{kTopic, "authorization: bearer " + keys().token(-70)}},
       "a new token for team " + std::string(kTeam)},
      {403, "MissingProviderToken", {{kTopic, "authorization:"}}},
      {404, "BadPath", {{kTopic}, kAlert, "/3/devices/" + kToken}},
      {405, "MethodNotAllowed", {{kTopic}, "", "/3/device/" + kToken, "GET"}},
      {413, "PayloadTooLarge", {{kTopic}, bigAlert}},
      // Past what any push may carry: answered before the rest is read, and logged all the same.
      {413,
       "PayloadTooLarge",
       {{kTopic}, std::string(20000, ' ') + kAlert},
       "the most any push may carry"},
      {200, "", byCertificate("client")},
      {200, "", byCertificate("client", {})},  // the certificate's topic is the push's
      {403, "BadCertificate", byCertificate("foreign"), "did not verify against --provider-ca: "},
      {403, "BadCertificateEnvironment", byCertificate("production"), "is for production"},
      {400, "TopicDisallowed", byCertificate("other"),
       "apns-topic \"com.quenlarch.app\" is not the client certificate's topic "
       "com.quenlarch.other"},
      {400, "DeviceTokenNotForTopic", byCertificate("other", {}),
       "the client certificate's topic com.quenlarch.other is not the app's bundle id"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.reason) + " " + row.request.path);
    Answer answer = curl(*server, row.request);
    EXPECT_EQ(answer.curlExit, 0);
    EXPECT_EQ(answer.status, row.status);
    EXPECT_EQ(answer.reason, row.reason);
    EXPECT_EQ(answer.apnsId.size(), 36u);
  }
  // One line on stderr per refusal, naming its cause; every request in the log, in order.
  const std::string notes = server->notes();
  std::vector<json> logged = testing::jsonLines(readFile(log));
  ASSERT_EQ(logged.size(), rows.size());
  std::size_t refusals = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].reason);
    EXPECT_EQ(logged[i]["status"], rows[i].status);
    EXPECT_EQ(logged[i].value("reason", ""), rows[i].reason);
    if (rows[i].status == 200) continue;
    ++refusals;
    const std::string line =
        "provider request refused with " + std::to_string(rows[i].status) + " " + rows[i].reason;
    EXPECT_NE(notes.find(line), std::string::npos) << notes;
    EXPECT_NE(notes.find(rows[i].cause), std::string::npos) << notes;
    EXPECT_NE(logged[i].value("cause", ""), "");
  }
  std::size_t lines = 0;
  for (std::size_t at = 0;
       (at = notes.find("provider request refused with ", at)) != std::string::npos; ++at) {
    ++lines;
  }
  EXPECT_EQ(lines, refusals);
  EXPECT_NE(notes.find("(apns-id " + std::string(kId) + ")"), std::string::npos) << notes;
  std::vector<json> pushes = recorded();
  ASSERT_EQ(pushes.size(), 5u) << "only the five accepted pushes reach the sink";
  EXPECT_EQ(pushes[4]["topic"], "com.quenlarch.app");
  EXPECT_EQ(pushes[0]["apnsId"], kId);
  EXPECT_EQ(pushes[1]["deviceToken"], kToken);
  EXPECT_EQ(pushes[1]["payload"], kAlert);
}

// --provider-ca alone: certificates are the only way in, and a token does not stand in for one.
TEST_F(ProviderClientTest, CertificatesAloneRefuseAConnectionWithoutOne) {
  auto server = serve({"--provider-ca", keys().dir / "ca.pem"});
  EXPECT_EQ(curl(*server, byCertificate("client")).status, 200);
  Answer tokenOnly = curl(*server, {{kTopic}});
  EXPECT_EQ(tokenOnly.status, 403);
  EXPECT_EQ(tokenOnly.reason, "BadCertificate");
  EXPECT_NE(server->notes().find("presented no client certificate"), std::string::npos)
      << server->notes();
}

TEST_F(ProviderClientTest, AFullQueueAndARetiredToken) {
  auto server = serve({"--provider-auth", "none", "--queue-capacity", "1"});
  EXPECT_EQ(curl(*server, {{kTopic}}).status, 200);
  Answer full = curl(*server, {{kTopic}});
  EXPECT_EQ(full.status, 429);
  EXPECT_EQ(full.reason, "TooManyRequests");
  // Retired while the service runs: answered at once, with the time it was retired.
  registerToken(1'700'000'000'123);
  Answer retired = curl(*server, {{kTopic}});
  EXPECT_EQ(retired.status, 410);
  EXPECT_EQ(retired.reason, "Unregistered");
  EXPECT_EQ(retired.body.value("timestamp", 0ll), 1'700'000'000'123);
}

TEST_F(ProviderClientTest, InjectedFailuresAnswerInsteadOfTheSinkAndAreLogged) {
  const std::string log = dir_ / "requests.jsonl";
  auto server = serve({"--provider-auth", "none", "--inject", "ServiceUnavailable:1",
                       "--inject-seed", "7", "--request-log", log});
  Answer answer = curl(*server, {{kTopic, std::string("apns-id: ") + kId}});
  EXPECT_EQ(answer.status, 503);
  EXPECT_EQ(answer.reason, "ServiceUnavailable");
  EXPECT_EQ(answer.apnsId, kId);
  EXPECT_TRUE(recorded().empty()) << "an injected failure takes nothing";
  std::vector<json> logged = testing::jsonLines(readFile(log));
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0]["cause"], "injected (--inject ServiceUnavailable:1)");
}

TEST_F(ProviderClientTest, NodeApnPoolGetsEveryPushAnsweredAndRecordedOnce) {
  auto server = serve();
  std::vector<json> answers = nodeApn(*server, {{"count", 200}, {"clients", 4}});
  ASSERT_EQ(answers.size(), 201u);
  EXPECT_EQ(answers.back(), json({{"sent", 200}, {"failed", 0}}));
  std::set<std::string> answered, stored;
  for (std::size_t i = 0; i < 200; ++i) answered.insert(answers[i].value("apnsId", ""));
  for (const json& push : recorded()) stored.insert(push.value("apnsId", ""));
  EXPECT_EQ(answered.size(), 200u);
  EXPECT_EQ(stored, answered);
}

int connectTcp(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const timeval guard{30, 0};  // a hang fails the test instead of stopping it
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof guard);
  ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  return fd;
}

// True once the server closed `fd` (recv sees the end), false on data or the guard time.
bool closedByServer(int fd) {
  char byte = 0;
  return ::recv(fd, &byte, 1, 0) == 0;
}

// True once the server has closed the connection of a client that, with `mode` "silent", finishes
// its handshake (openssl s_client, ALPN h2) and sends nothing, or with "ping" sends only PINGs
// (node).
bool runUntilClosed(const Endpoint& server, const std::string& mode) {
  SubprocessOptions options;
  if (mode == "silent") {
    options.argv = {onPath("openssl"),
                    "s_client",
                    "-quiet",
                    "-alpn",
                    "h2",
                    "-CAfile",
                    keys().dir / "ca.pem",
                    "-connect",
                    "127.0.0.1:" + std::to_string(server.port)};
    options.input = SubprocessOptions::Stream::kNull;
    options.output = SubprocessOptions::Stream::kNull;
  } else {
    const json config{{"port", server.port}, {"ca", keys().dir / "ca.pem"}};
    options.argv = {onPath("node"), std::string(PROVIDER_CLIENT_DIR) + "/send.js", "--ping",
                    config.dump()};
  }
  options.error = SubprocessOptions::Stream::kNull;
  std::string error;
  std::unique_ptr<Subprocess> client = Subprocess::start(options, &error);
  if (!client) return false;
  if (mode == "silent") return client->waitUntil(soon());
  return client->communicate("", soon()).output.find("closed") != std::string::npos;
}

TEST_F(ProviderClientTest, ConnectionsWithoutARequestAreClosedAndNamedOnStandardError) {
  struct Row {
    const char* client;
    std::vector<std::string> options;        // the server's, besides --provider-auth none
    std::function<bool(const Server&)> run;  // true when the client saw what it should
    const char* said;                        // on the server's standard error; "" for nothing
  };
  const std::vector<std::string> noAlpn = {"--no-alpn"};
  const std::vector<Row> rows = {
      {"no ALPN, HTTP/2 with prior knowledge",
       {},
       [&](const Server& s) {
         return curl(s, {{kTopic}}, {"--http2-prior-knowledge", "--no-alpn"}).status == 200;
       },
       ""},
      {"no ALPN, HTTP/1.1",
       {},
       [&](const Server& s) {
         Answer answer = curl(s, {{kTopic}}, {"--http1.1", "--no-alpn"});
         return answer.curlExit != 0 && answer.status == 0;
       },
       "closed before a request: no ALPN and no HTTP/2 client preface"},
      {"ALPN without h2",
       {},
       [&](const Server& s) { return curl(s, {{kTopic}}, {"--http1.1"}).curlExit == 35; },
       "closed before a request: the TLS handshake failed (no application protocol)"},
      {"no TLS handshake",
       {"--handshake-timeout-ms", "100"},
       [](const Server& s) {
         const int fd = connectTcp(s.port);
         const bool closed = closedByServer(fd);
         ::close(fd);
         return closed;
       },
       "closed before a request: no TLS handshake within the handshake time-out"},
      {"TLS, then silence",
       {"--idle-timeout-ms", "200"},
       [](const Server& s) { return runUntilClosed(s, "silent"); },
       "closed before a request: no request within the idle time-out"},
      {"PINGs only",
       {"--idle-timeout-ms", "200"},
       [](const Server& s) { return runUntilClosed(s, "ping"); },
       "closed before a request: no request within the idle time-out"},
      {"every slot taken",
       {"--max-connections", "1"},
       [&](const Server& s) {
         const int stalled = connectTcp(s.port);  // takes the one slot, never shakes hands
         const bool served = curl(s, {{kTopic}}).status == 200;
         const bool closed = closedByServer(stalled);
         ::close(stalled);
         return served && closed;
       },
       "closed before a request: every connection slot was taken"},
      {"the same cause again and again",
       {"--handshake-timeout-ms", "1", "--note-window-ms", "500"},
       [](const Server& s) {
         bool closed = true;
         for (int i = 0; i < 3; ++i) {
           const int fd = connectTcp(s.port);
           closed = closedByServer(fd) && closed;
           ::close(fd);
         }
         return closed;
       },
       "2 more provider connections closed before a request: no TLS handshake"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.client);
    std::vector<std::string> options = row.options;
    options.insert(options.end(), {"--provider-auth", "none"});
    auto server = serve(options);
    EXPECT_TRUE(row.run(*server));
    if (*row.said == '\0') {
      EXPECT_EQ(server->notes().find("closed before a request"), std::string::npos)
          << server->notes();
    } else {
      EXPECT_TRUE(waitFor([&] { return server->notes().find(row.said) != std::string::npos; }))
          << server->notes();
    }
  }
  // A header list past the limit resets the stream; the connection stays up.
  auto server = serve({"--provider-auth", "none"});
  EXPECT_EQ(curl(*server, {{kTopic, "x-big: " + std::string(5000, 'x')}}).curlExit, 92);
}

TEST_F(ProviderClientTest, StopAnswersStreamsInFlightWithinItsAllowance) {
  struct Row {
    const char* allowanceMs;
    bool bodySent;  // the held push's body goes out after SIGTERM, or never
  };
  for (const Row& row : std::vector<Row>{{"30000", true}, {"1", false}}) {
    SCOPED_TRACE(row.allowanceMs);
    auto server = serve({"--provider-auth", "none", "--stop-allowance-ms", row.allowanceMs});
    std::unique_ptr<Subprocess> client = holdOne(*server);
    ASSERT_TRUE(client);
    server->terminate();
    EXPECT_EQ(server->nextLine(), json({{"stopping", true}}));
    if (row.bodySent) {
      // The port stays bound while the endpoint drains: a newcomer is closed, not refused, and no
      // second endpoint can start beside this one.
      EXPECT_NE(curl(*server, {{kTopic}}).curlExit, 7);
      EXPECT_TRUE(
          waitFor([&] { return server->notes().find("is stopping") != std::string::npos; }));
    } else {
      EXPECT_EQ(server->exitCode(), 0) << "the allowance bounds the drain";
    }
    EXPECT_EQ(release(*client),
              json({{"status", 503}, {"reason", "ServiceUnavailable"}, {"goaway", true}}));
    EXPECT_EQ(server->exitCode(), 0);
    if (!row.bodySent) {
      EXPECT_NE(server->notes().find("503 ServiceUnavailable: the service stopped before the "
                                     "request was whole"),
                std::string::npos)
          << server->notes();
    }
  }
}

// notification-host serve with the endpoint, for the app badge-app installs (token and team made
// by the install, topic its identifier).
class ServeEndpointTest : public ProviderClientTest {
 protected:
  // Installs the app with `extension` as its notification service extension.
  void install(const std::string& extension) {
    fs::remove_all(app_);
    testing::CommandResult installed =
        testing::runCommand({BADGE_APP_PATH, "install", "--app", app_, "--team", kTeam}, "",
                            {keychain_, "BADGE_SERVICE_EXECUTABLE=" + extension});
    ASSERT_EQ(installed.exitCode, 0) << installed.err;
    Expected<std::optional<PushRegistration>> registration = readPushRegistration(app_);
    ASSERT_TRUE(registration && *registration);
    token_ = (*registration)->deviceToken;
  }
  std::unique_ptr<Serve> serve(const std::vector<std::string>& extra,
                               std::vector<std::string> env = {}) {
    env.push_back(keychain_);
    auto server = std::make_unique<Serve>(app_, dir_ / "shown.jsonl", extra, env);
    EXPECT_NE(server->port, 0) << server->notes();
    return server;
  }
  testing::CommandResult badgeApp(const std::string& command) const {
    return testing::runCommand({BADGE_APP_PATH, command, "--app", app_}, "", {keychain_});
  }

  std::string keychain_ = "QUENLARCH_KEYCHAIN=" + dir_ / "keychain.sqlite";
  std::string token_;
};

TEST_F(ServeEndpointTest, NodeApnPushesAreEachCountedAndShownOnce) {
  install(BADGE_SERVICE_PATH);
  auto server = serve({"--provider-key", std::string(kKeyId) + "=" + keys().dir / "provider.pub",
                       "--parallel", "8"});
  // A new-message alert, which the extension counts (mutable-content: a device hands it over).
  const json message =
      json::parse(R"({"aps":{"alert":{"loc-key":"Neue Nachricht"},"mutable-content":1}})");
  std::vector<json> answers =
      nodeApn(*server, {{"count", 200}, {"device", token_}, {"payload", message}});
  ASSERT_EQ(answers.size(), 201u);
  EXPECT_EQ(answers.back(), json({{"sent", 200}, {"failed", 0}}));
  std::set<std::string> answered, shown;
  for (std::size_t i = 0; i < 200; ++i) answered.insert(answers[i].value("apnsId", ""));
  EXPECT_EQ(answered.size(), 200u);
  // A push is answered 200 before it runs; its line follows once the extension has shown it.
  EXPECT_TRUE(waitFor([&] { return server->shown().size() >= 200; })) << server->notes();
  for (const json& line : server->shown()) {
    EXPECT_EQ(line.value("deliveredBy", ""), "extension") << line;
    EXPECT_TRUE(line["badge"].is_number()) << line;
    shown.insert(line.value("payload", ""));
  }
  EXPECT_EQ(shown, answered) << "every push shown once, named by its apns-id";
  EXPECT_EQ(json::parse(badgeApp("status").out, nullptr, false).value("count", 0), 200);

  // A voip push may carry more than an alert's 4096 bytes, all the way to the host.
  const std::string voip = R"({"aps":{},"call":")" + std::string(4900, 'x') + R"("})";
  Answer call = curl(*server, {{"apns-topic: com.quenlarch.app.voip", "apns-push-type: voip"},
                               voip,
                               "/3/device/" + token_});
  EXPECT_EQ(call.status, 200) << call.reason;
  EXPECT_TRUE(waitFor([&] { return server->shown().size() >= 201; })) << server->notes();

  // Uninstalled while the service runs: the token is retired at once.
  ASSERT_EQ(badgeApp("uninstall").exitCode, 0);
  Answer retired = curl(*server, {{kTopic}, kAlert, "/3/device/" + token_});
  EXPECT_EQ(retired.status, 410);
  EXPECT_EQ(retired.reason, "Unregistered");
  server->terminate();
  EXPECT_EQ(server->exitCode(), 0) << server->notes();
  EXPECT_EQ(server->shown().size(), 201u);
}

// Without --tls-cert and --tls-key serve makes its own certificate beside its socket and says
// what it accepts and how to push: the command it prints, run as printed, gets its push shown.
TEST_F(ServeEndpointTest, TheThrowawayCertificateAndThePrintedCommandPushAtOnce) {
  install(BADGE_SERVICE_PATH);
  const std::string output = dir_ / "shown.jsonl";
  Serve server(app_, output, {"--provider-auth", "none"}, {keychain_}, true);
  ASSERT_NE(server.port, 0) << server.notes();
  const std::string said = "push with: ";
  // The welcome follows the line with the port; it is read once it is all there.
  EXPECT_TRUE(waitFor([&] { return server.notes().find(said) != std::string::npos; }));
  const std::string notes = server.notes();
  EXPECT_NE(notes.find("accepting device token " + token_ + ", topic com.quenlarch.app"),
            std::string::npos)
      << notes;
  const std::size_t at = notes.find(said);
  ASSERT_NE(at, std::string::npos) << notes;
  const std::string command =
      notes.substr(at + said.size(), notes.find('\n', at) - at - said.size());
  testing::CommandResult pushed = testing::runCommand({"/bin/sh", "-c", command});
  EXPECT_NE(pushed.out.find("HTTP/2 200"), std::string::npos) << command << "\n" << pushed.err;
  EXPECT_TRUE(waitFor([&] { return server.shown().size() == 1; })) << server.notes();
  EXPECT_EQ(fs::status(output + "-provider.key").permissions(), fs::perms(0600));
  server.terminate();
  EXPECT_EQ(server.exitCode(), 0) << server.notes();
}

// Debian's python3-aioapns offers no ALPN and speaks HTTP/2 with prior knowledge.
TEST_F(ServeEndpointTest, AioapnsWithoutAlpnGetsEveryPushCountedOnce) {
  const std::string python = "/usr/bin/python3";
  if (!fs::exists("/usr/lib/python3/dist-packages/aioapns")) {
    GTEST_SKIP() << "python3-aioapns is not installed (scripts/install-deps.sh installs it)";
  }
  install(BADGE_SERVICE_PATH);
  auto server = serve({"--provider-key", std::string(kKeyId) + "=" + keys().dir / "provider.pub"});
  const json config{
      {"port", server->port},
      {"ca", keys().dir / "ca.pem"},
      {"key", keys().dir / "provider.pem"},
      {"keyId", kKeyId},
      {"teamId", kTeam},
      {"device", token_},
      {"topic", "com.quenlarch.app"},
      {"payload",
       json::parse(R"({"aps":{"alert":{"loc-key":"Neue Nachricht"},"mutable-content":1}})")},
      {"count", 50},
      {"badDevice", std::string(64, 'b')},
      {"otherTopic", "com.quenlarch.other"}};
  std::vector<json> answers = testing::jsonLines(
      testing::runCommand(
          {python, std::string(PROVIDER_CLIENT_DIR) + "/aioapns_send.py", config.dump()})
          .out);
  ASSERT_EQ(answers.size(), 52u);
  std::set<std::string> answered;
  for (std::size_t i = 0; i < 50; ++i) {
    EXPECT_EQ(answers[i].value("status", 0), 200) << answers[i];
    answered.insert(answers[i].value("apnsId", ""));
  }
  EXPECT_EQ(answered.size(), 50u);
  EXPECT_EQ(answers[50].value("reason", ""), "BadDeviceToken") << answers[50];
  EXPECT_EQ(answers[51].value("reason", ""), "DeviceTokenNotForTopic") << answers[51];
  EXPECT_EQ(answers[51].value("status", 0), 400);
  EXPECT_TRUE(waitFor([&] { return server->shown().size() >= 50; })) << server->notes();
  EXPECT_EQ(json::parse(badgeApp("status").out, nullptr, false).value("count", 0), 50);
  EXPECT_EQ(server->notes().find("closed before a request"), std::string::npos) << server->notes();
  server->terminate();
  EXPECT_EQ(server->exitCode(), 0) << server->notes();
  EXPECT_EQ(server->shown().size(), 50u);
}

TEST_F(ServeEndpointTest, UnusableEndpointOptionsGetOneLineAndNoService) {
  install(BADGE_SERVICE_PATH);
  const std::string cert = keys().dir / "server.pem";
  const std::string key = keys().dir / "server.key";
  struct Row {
    std::vector<std::string> options;
    std::string said;
    bool authNone = true;
  };
  const std::vector<Row> rows = {
      {{"--provider-listen", "nonsense", "--tls-cert", cert, "--tls-key", key}, "ADDRESS:PORT"},
      {{"--provider-listen", "127.0.0.1:99999", "--tls-cert", cert, "--tls-key", key},
       "ADDRESS:PORT"},
      {{"--provider-listen", "[::1:80", "--tls-cert", cert, "--tls-key", key}, "ADDRESS:PORT"},
      {{"--provider-listen", "127.0.0.1:0", "--tls-cert", key, "--tls-key", cert}, "certificate"},
      {{"--provider-listen", "127.0.0.1:0", "--tls-cert", cert, "--tls-key", key, "--request-log",
        dir_ / "no-folder/requests.jsonl"},
       "cannot write the request log"},
      {{"--provider-listen", "127.0.0.1:0", "--tls-cert", cert, "--tls-key", key, "--provider-ca",
        cert},
       "takes no --provider-ca"},
      {{"--provider-listen", "127.0.0.1:0", "--tls-cert", cert, "--tls-key", key, "--provider-ca",
        key},
       "cannot use --provider-ca",
       false},
      {{"--provider-listen", "127.0.0.1:0", "--tls-cert", cert, "--tls-key", key},
       "needs at least one --provider-key",
       false},
  };
  for (const Row& row : rows) {
    std::vector<std::string> argv{NOTIFICATION_HOST_PATH, "serve", "--app", app_, "--socket",
                                  dir_ / "s.sock"};
    argv.insert(argv.end(), row.options.begin(), row.options.end());
    if (row.authNone) argv.insert(argv.end(), {"--provider-auth", "none"});
    testing::CommandResult result = testing::runCommand(argv, "", {keychain_});
    EXPECT_EQ(result.exitCode, 1) << row.options[1];
    EXPECT_NE(result.err.find(row.said), std::string::npos) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_FALSE(fs::exists(dir_ / "s.sock")) << row.options[1];
  }
}

TEST_F(ServeEndpointTest, AFullQueueAndAStoppingServiceAnswerAtOnce) {
  // An extension that never answers holds the one push the queue takes until its time limit, which
  // leaves the second request ample time to find the queue full.
  install(SCRIPTED_EXTENSION_PATH);
  auto server = serve({"--provider-auth", "none", "--provider-queue", "1", "--time-limit", "5"},
                      {"SCRIPTED_EXTENSION_MODE=hang"});
  struct Row {
    int status;
    const char* reason;
  };
  for (const Row& row : std::vector<Row>{{200, ""}, {429, "TooManyRequests"}}) {
    Answer answer =
        curl(*server,
             {{kTopic}, R"({"aps":{"alert":"Hi","mutable-content":1}})", "/3/device/" + token_});
    EXPECT_EQ(answer.status, row.status);
    EXPECT_EQ(answer.reason, row.reason);
  }
  std::unique_ptr<Subprocess> client = holdOne(*server, token_);
  ASSERT_TRUE(client);
  server->terminate();
  EXPECT_EQ(release(*client),
            json({{"status", 503}, {"reason", "ServiceUnavailable"}, {"goaway", true}}));
  EXPECT_EQ(server->exitCode(), 0) << server->notes();
  // The push taken before the stop was still shown, as received once its time was up.
  std::vector<json> shown = server->shown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].value("deliveredBy", ""), "host");
}

// While the device is away the service keeps one push for the app, the newest, and the device
// gets it when it comes back; every push answered 200 ends in exactly one line, shown or dropped.
TEST_F(ServeEndpointTest, AnAwayDeviceGetsTheStoredPushAndEveryTakenPushEndsInOneLine) {
  install(BADGE_SERVICE_PATH);
  // node-apn signs a token of its own: under a second key id, so that it is no token update.
  const std::string pub = keys().dir / "provider.pub";
  auto server = serve({"--provider-key", std::string(kKeyId) + "=" + pub, "--provider-key",
                       "NODEKEY123=" + pub, "--parallel", "4"});
  const std::string socket = dir_ / "shown.jsonl.sock";
  const auto device = [&](const char* state) {
    testing::CommandResult said =
        testing::runCommand({NOTIFICATION_HOST_PATH, "device", state, "--socket", socket});
    EXPECT_EQ(said.exitCode, 0) << said.err;
    return json::parse(said.out, nullptr, false);
  };
  const std::string counted =
      R"({"aps":{"alert":{"loc-key":"Neue Nachricht"},"mutable-content":1}})";
  const std::string later = "apns-expiration: 4102444800";
  struct Row {
    std::string id;
    std::string expiration;
    const char* dropped;  // what its line says once the next rows have come, or null: stored
  };
  const std::vector<Row> rows = {
      {"00000000-0000-4000-8000-00000000000a", later, "replaced while the device was away"},
      {"00000000-0000-4000-8000-00000000000b", "apns-expiration: 0",
       "expiration 0 while the device was away"},
      {"00000000-0000-4000-8000-00000000000c", later, nullptr},
  };
  EXPECT_EQ(device("offline").value("deviceAway", false), true);
  for (const Row& row : rows) {
    Answer answer = curl(
        *server, {{kTopic, row.expiration, "apns-id: " + row.id}, counted, "/3/device/" + token_});
    EXPECT_EQ(answer.status, 200) << answer.reason;
  }
  ASSERT_TRUE(waitFor([&] { return server->shown().size() >= 2; })) << server->notes();
  json status =
      json::parse(testing::runCommand({NOTIFICATION_HOST_PATH, "status", "--socket", socket}).out,
                  nullptr, false);
  EXPECT_EQ(status["storedPush"]["apnsId"], rows[2].id) << status;
  EXPECT_EQ(device("online").value("delivered", ""), rows[2].id);
  ASSERT_TRUE(waitFor([&] { return server->shown().size() >= 3; })) << server->notes();
  for (const Row& row : rows) {
    const std::vector<json> lines = server->shown();
    auto line = std::find_if(lines.begin(), lines.end(),
                             [&](const json& l) { return l.value("apnsId", "") == row.id; });
    ASSERT_NE(line, lines.end()) << row.id;
    if (row.dropped != nullptr) {
      EXPECT_EQ(line->value("dropped", ""), row.dropped);
    } else {
      EXPECT_EQ(line->value("badgeNote", ""), "counted") << "delivered whole once back: " << *line;
    }
  }

  // A provider sends 1,000 pushes while the device goes away and comes back, again and again.
  std::vector<json> answers;
  std::atomic<bool> sent = false;
  device("offline");
  std::thread provider([&] {
    answers = nodeApn(*server, {{"count", 1000},
                                {"device", token_},
                                {"keyId", "NODEKEY123"},
                                {"payload", json::parse(counted)}});
    sent = true;
  });
  while (!sent) {
    device("online");
    device("offline");
  }
  provider.join();
  device("online");
  std::set<std::string> taken{rows[0].id, rows[1].id, rows[2].id};
  for (const json& answer : answers) {
    if (answer.value("status", 0) == 200) taken.insert(answer.value("apnsId", ""));
  }
  EXPECT_EQ(taken.size(), 1003u) << "the queue holds all 1,000: " << answers.front();
  ASSERT_TRUE(waitFor([&] { return server->shown().size() >= taken.size(); })) << server->notes();
  server->terminate();
  EXPECT_EQ(server->exitCode(), 0) << server->notes();
  std::multiset<std::string> lined;
  int countedLines = 0;
  for (const json& line : server->shown()) {
    lined.insert(line.value("apnsId", ""));
    countedLines += line.value("badgeNote", "") == "counted";
  }
  EXPECT_EQ(lined, std::multiset<std::string>(taken.begin(), taken.end()))
      << "one line for each push taken, no more";
  EXPECT_EQ(json::parse(badgeApp("status").out, nullptr, false).value("count", -1), countedLines);
}

// notification-host serve --fleet for 20 devices that badge-app fleet create made, each with the
// real extension and a keychain of its own, at most 3 extensions alive at once.
class ServeFleetTest : public ProviderClientTest {
 protected:
  void SetUp() override {
    ProviderClientTest::SetUp();
    if (IsSkipped()) return;
    testing::CommandResult made = testing::runCommand(
        {BADGE_APP_PATH, "fleet", "create", "--dir", fleet_, "--devices", "20", "--team", kTeam},
        "", {"BADGE_SERVICE_EXECUTABLE=" + std::string(BADGE_SERVICE_PATH)});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    devices_ = readFleetManifest(fleet_).value();
    server_ = std::make_unique<Serve>(
        "", dir_ / "shown.jsonl",
        std::vector<std::string>{"--fleet", fleet_, "--warm-extensions", "3", "--parallel", "2",
                                 "--provider-key",
                                 std::string(kKeyId) + "=" + keys().dir / "provider.pub"},
        std::vector<std::string>{});
    ASSERT_NE(server_->port, 0) << server_->notes();
  }
  void TearDown() override {
    if (!server_) return;
    server_->terminate();
    EXPECT_EQ(server_->exitCode(), 0) << server_->notes();
  }
  testing::CommandResult client(std::vector<std::string> args) const {
    args.insert(args.begin(), NOTIFICATION_HOST_PATH);
    args.insert(args.end(), {"--socket", dir_ / "shown.jsonl.sock"});
    return testing::runCommand(args);
  }
  int count(const FleetDevice& device) const {
    testing::CommandResult status = testing::runCommand(
        {BADGE_APP_PATH, "status", "--app", device.app, "--keychain", device.keychain});
    return json::parse(status.out, nullptr, false).value("count", -1);
  }

  std::string fleet_ = dir_ / "fleet";
  std::vector<FleetDevice> devices_;
  std::unique_ptr<Serve> server_;
};

const std::string kCounted =
    R"({"aps":{"alert":{"loc-key":"Neue Nachricht"},"mutable-content":1}})";

TEST_F(ServeFleetTest, RoutesByTokenOnTheEndpointAndTheSocket) {
  const FleetDevice& retired = devices_[2];
  ASSERT_EQ(testing::runCommand(
                {BADGE_APP_PATH, "uninstall", "--app", retired.app, "--keychain", retired.keychain})
                .exitCode,
            0);
  struct Row {
    std::string token;
    int status;
    const char* reason;
  };
  for (const Row& row : std::vector<Row>{{devices_[0].deviceToken, 200, ""},
                                         {std::string(64, 'b'), 400, "BadDeviceToken"},
                                         {retired.deviceToken, 410, "Unregistered"}}) {
    Answer answer = curl(*server_, {{kTopic}, kCounted, "/3/device/" + row.token});
    EXPECT_EQ(answer.status, row.status) << row.token;
    EXPECT_EQ(answer.reason, row.reason) << row.token;
  }
  const std::string payload = dir_ / "push.json";
  std::ofstream(payload) << kCounted;
  struct SocketRow {
    std::vector<std::string> args;
    int exitCode;
    const char* said;  // on stdout, or stderr when it failed
  };
  for (const SocketRow& row : std::vector<SocketRow>{
           {{"send", payload, "--token", devices_[1].deviceToken}, 0, "\"counted\""},
           {{"send", payload}, 1, "--token"},
           {{"send", payload, "--token", std::string(64, 'b')}, 1, "no device with token"},
           {{"status", "--token", devices_[1].deviceToken}, 0, "\"extensionStarts\": 1"},
           {{"status"}, 0, "\"devices\": 20"},
           {{"device", "offline"}, 1, "--token"},
       }) {
    testing::CommandResult result = client(row.args);
    EXPECT_EQ(result.exitCode, row.exitCode) << row.args[0] << result.err;
    EXPECT_NE((row.exitCode == 0 ? result.out : result.err).find(row.said), std::string::npos)
        << row.args[0] << ": " << result.out << result.err;
  }
  EXPECT_TRUE(waitFor([&] { return count(devices_[0]) == 1; }));
  EXPECT_EQ(count(devices_[1]), 1);
}

// 5 pushes to each of 20 devices at once: never more than 3 extensions alive while they run,
// and every device counts exactly its own 5. Then one device away and back.
TEST_F(ServeFleetTest, ManyDevicesAtOnceKeepTheWarmBoundAndTheirOwnCounts) {
  std::vector<std::string> tokens;
  for (const FleetDevice& device : devices_) tokens.push_back(device.deviceToken);
  std::vector<json> answers;
  std::thread provider([&] {
    answers =
        nodeApn(*server_, {{"count", 5}, {"device", tokens}, {"payload", json::parse(kCounted)}});
  });
  // Sampled until every push is shown: a push is answered before it runs.
  std::size_t most = 0;
  const auto deadline = soon() + 90s;
  while (server_->shown().size() < 100 && Subprocess::Clock::now() < deadline) {
    most = std::max(most, server_->children());
  }
  provider.join();
  ASSERT_FALSE(answers.empty());
  EXPECT_EQ(answers.back(), json({{"sent", 100}, {"failed", 0}}));
  EXPECT_LE(most, 3u) << "extensions alive at once";
  EXPECT_GE(most, 1u);
  for (const FleetDevice& device : devices_) EXPECT_EQ(count(device), 5) << device.app;

  const std::string token = devices_[4].deviceToken;
  EXPECT_EQ(json::parse(client({"device", "offline", "--token", token}).out, nullptr, false)
                .value("deviceAway", false),
            true);
  Answer kept =
      curl(*server_, {{kTopic, "apns-id: " + std::string(kId)}, kCounted, "/3/device/" + token});
  EXPECT_EQ(kept.status, 200);
  json status = json::parse(client({"status", "--token", token}).out, nullptr, false);
  EXPECT_EQ(status["storedPush"]["apnsId"], kId) << status;
  EXPECT_EQ(json::parse(client({"status"}).out, nullptr, false).value("devicesAway", 0), 1);
  EXPECT_EQ(count(devices_[4]), 5) << "nothing counted while away";
  EXPECT_EQ(json::parse(client({"device", "online", "--token", token}).out, nullptr, false)
                .value("delivered", ""),
            kId);
  EXPECT_TRUE(waitFor([&] { return count(devices_[4]) == 6; }));
  EXPECT_EQ(count(devices_[5]), 5);
}

}  // namespace
}  // namespace quenlarch
