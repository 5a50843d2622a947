// notification-host against scripted-extension, both as real processes: which content is shown and
// by whom, one line per accepted payload in order, payload refusals, missing extensions, time
// limits, crashes, the command line, and the payload-to-content mapping.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/linux/host_protocol.h"
#include "tests/support/run_command.h"

namespace quenlarch {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::runCommand;

// runCommand writes our input to the host; a host that exits without reading it must fail the
// test, not kill the test binary.
const bool kSigpipeIgnored = [] {
  ::signal(SIGPIPE, SIG_IGN);
  return true;
}();

constexpr const char* kServicePoint = "usernotifications.service";

struct Appex {
  std::string name;  // the bundle directory's name, e.g. "Service.appex"
  std::string extensionPoint = kServicePoint;
  std::string executableName = "service";  // empty: no CFBundleExecutable
  // What Contents/MacOS/<executableName> is: a link to scripted-extension, a file without the
  // execute permission, an executable file that is no program, or nothing.
  enum { kScripted, kNotExecutable, kNotAProgram, kNone } executable = kScripted;
};

struct HostRun {
  int exitCode = -1;
  std::vector<json> lines;  // stdout, one JSON value per line
  std::vector<std::string> errorLines;
  std::chrono::steady_clock::duration elapsed{};
};

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::size_t countContaining(const std::vector<std::string>& lines, const std::string& needle) {
  std::size_t count = 0;
  for (const std::string& line : lines) count += line.find(needle) != std::string::npos ? 1u : 0u;
  return count;
}

// The displayed fields of an output line: everything but the host's own keys.
json displayedFields(const json& line) {
  json fields = json::object();
  for (const auto& [key, value] : line.items()) {
    static const std::set<std::string> kHostKeys = {
        "payload",   "apnsId",  "pushType", "priority",  "collapseId", "deliveredBy", "extension",
        "presented", "dropped", "badge",    "badgeNote", "alert",      "userInfo"};
    if (kHostKeys.count(key) == 0) {
      fields[key] = value;
    }
  }
  return fields;
}

class NotificationHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "notification_host_test.XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    logPath_ = (dir_ / "starts.log").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string writeFile(const std::string& name, const std::string& content) {
    fs::path path = dir_ / name;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }

  // A payload file named `name` holding `payload`.
  std::string payloadFile(const std::string& name, const json& payload) {
    return writeFile(name, payload.dump());
  }

  std::string makeApp(const std::vector<Appex>& appexes, const std::string& appName = "App.app") {
    fs::path app = dir_ / appName;
    fs::create_directories(app / "Contents" / "PlugIns");
    for (const Appex& appex : appexes) {
      fs::path contents = app / "Contents" / "PlugIns" / appex.name / "Contents";
      std::string plist =
          "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>\n";
      if (!appex.executableName.empty()) {
        plist += "<key>CFBundleExecutable</key><string>" + appex.executableName + "</string>\n";
      }
      plist += "<key>NSExtension</key><dict><key>NSExtensionPointIdentifier</key><string>" +
               appex.extensionPoint + "</string></dict>\n</dict></plist>\n";
      writeFile((contents / "Info.plist").lexically_relative(dir_).string(), plist);
      fs::create_directories(contents / "MacOS");
      fs::path executable = contents / "MacOS" / appex.executableName;
      if (appex.executable == Appex::kScripted) {
        fs::create_symlink(SCRIPTED_EXTENSION_PATH, executable);
      } else if (appex.executable != Appex::kNone) {
        writeFile(executable.lexically_relative(dir_).string(), "no program\n");
        if (appex.executable == Appex::kNotAProgram) {
          fs::permissions(executable, fs::perms::owner_all, fs::perm_options::add);
        }
      }
    }
    return app.string();
  }

  std::string serviceApp() { return makeApp({Appex{"Service.appex"}}); }

  // Runs `notification-host deliver --app app <arguments...>` with the scripted extension in
  // `mode`, logging its starts to logPath_.
  HostRun deliver(const std::string& app, const std::vector<std::string>& arguments,
                  const std::string& mode = "echo", const std::string& input = "",
                  std::vector<std::string> env = {}) {
    std::vector<std::string> argv = {NOTIFICATION_HOST_PATH, "deliver", "--app", app};
    // Every push runs the extension unless told otherwise; which pushes a device runs it for has
    // a table of its own.
    if (std::find(arguments.begin(), arguments.end(), "--extension-for") == arguments.end()) {
      argv.insert(argv.end(), {"--extension-for", "all"});
    }
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    env.push_back("SCRIPTED_EXTENSION_MODE=" + mode);
    env.push_back("SCRIPTED_EXTENSION_LOG=" + logPath_);
    return run(argv, input, env);
  }

  HostRun run(const std::vector<std::string>& argv, const std::string& input = "",
              const std::vector<std::string>& env = {}) {
    auto start = std::chrono::steady_clock::now();
    auto result = runCommand(argv, input, env);
    HostRun host;
    host.elapsed = std::chrono::steady_clock::now() - start;
    host.exitCode = result.exitCode;
    host.errorLines = splitLines(result.err);
    for (const std::string& line : splitLines(result.out)) {
      json parsed = json::parse(line, nullptr, /*allow_exceptions=*/false);
      EXPECT_FALSE(parsed.is_discarded()) << "not JSON on stdout: " << line;
      host.lines.push_back(parsed);
    }
    return host;
  }

  // The extension processes started so far: "<pid> <keychain>" per line.
  std::vector<std::string> starts() {
    std::ifstream in(logPath_);
    std::stringstream all;
    all << in.rdbuf();
    return splitLines(all.str());
  }

  void expectAllStartedProcessesGone() {
    for (const std::string& start : starts()) {
      pid_t pid = static_cast<pid_t>(std::stol(start.substr(0, start.find(' '))));
      errno = 0;
      EXPECT_TRUE(::kill(pid, 0) == -1 && errno == ESRCH)
          << "extension process " << pid << " is still there (or was never reaped)";
    }
  }

  fs::path dir_;
  std::string logPath_;
};

// ---------------------------------------------------------------------------------------------
// How each kind of extension behaviour ends up on screen.

struct ModeCase {
  std::string label;
  std::string mode;
  std::vector<std::string> options;
  std::vector<std::string> expectedBy;  // per payload: "extension" or "host"
  std::vector<json> expectedBadge;      // per payload
  std::size_t expectedStarts;
};

void PrintTo(const ModeCase& c, std::ostream* out) { *out << c.label; }

class ExtensionModeTest : public NotificationHostTest,
                          public ::testing::WithParamInterface<ModeCase> {};

// Three payloads: badge 1, no badge, badge 3. Shown by the host they keep those.
const std::vector<json> kModePayloads = {
    {{"aps", {{"alert", "one"}, {"badge", 1}}}, {"n", 1}},
    {{"aps", {{"alert", "two"}}}, {"n", 2}},
    {{"aps", {{"alert", "three"}, {"badge", 3}}}, {"n", 3}},
};
const std::vector<json> kAsReceived = {1, nullptr, 3};
const std::vector<json> kEchoed = {7, 7, 7};
const std::vector<std::string> kAllExtension = {"extension", "extension", "extension"};
const std::vector<std::string> kAllHost = {"host", "host", "host"};
const std::vector<std::string> kShortLimit = {"--time-limit", "0.5", "--grace-ms", "200"};

TEST_P(ExtensionModeTest, ShowsEachPayloadOnceInOrder) {
  const ModeCase& c = GetParam();
  std::string app = serviceApp();
  std::vector<std::string> arguments = c.options;
  std::vector<std::string> names;
  for (std::size_t i = 0; i < kModePayloads.size(); ++i) {
    names.push_back(payloadFile("p" + std::to_string(i) + ".json", kModePayloads[i]));
    arguments.push_back(names.back());
  }

  HostRun host = deliver(app, arguments, c.mode);

  EXPECT_EQ(host.exitCode, 0);
  ASSERT_EQ(host.lines.size(), kModePayloads.size());
  for (std::size_t i = 0; i < host.lines.size(); ++i) {
    SCOPED_TRACE("payload " + std::to_string(i));
    json line = host.lines[i];  // a copy: indexing a missing key must fail the test, not crash
    EXPECT_EQ(line["payload"], names[i]);
    EXPECT_EQ(line["deliveredBy"], c.expectedBy[i]);
    EXPECT_EQ(line["badge"], c.expectedBadge[i]);
    EXPECT_EQ(line["userInfo"], kModePayloads[i]);
    EXPECT_EQ(line["body"], kModePayloads[i]["aps"]["alert"]);
  }
  EXPECT_EQ(starts().size(), c.expectedStarts);
  expectAllStartedProcessesGone();
  EXPECT_LT(host.elapsed, std::chrono::seconds(20));
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ExtensionModeTest,
    ::testing::Values(ModeCase{"echo", "echo", {}, kAllExtension, kEchoed, 1},
                      ModeCase{"release", "release", {}, kAllHost, kAsReceived, 1},
                      ModeCase{"doubleDeliverShownOnce", "double", {}, kAllExtension, kEchoed, 1},
                      ModeCase{"garbageIgnored", "garbage", {}, kAllExtension, kEchoed, 1},
                      // Answering within the grace period counts, and the process is kept.
                      ModeCase{"answerOnTimeWillExpire",
                               "timeout-answer",
                               {"--time-limit", "0.3", "--grace-ms", "5000"},
                               kAllExtension,
                               kAsReceived,
                               1},
                      // Every request times out; each hung process is killed and replaced.
                      ModeCase{"hang", "hang", kShortLimit, kAllHost, kAsReceived, 3},
                      // Roomier limits: the fresh process must start and answer within them.
                      ModeCase{"hangOnceThenServe",
                               "hang,echo",
                               {"--time-limit", "1", "--grace-ms", "500"},
                               {"host", "extension", "extension"},
                               {1, 7, 7},
                               2},
                      ModeCase{"crashEveryTime", "crash", {}, kAllHost, kAsReceived, 3},
                      ModeCase{"crashOnceThenServe",
                               "crash,echo",
                               {},
                               {"host", "extension", "extension"},
                               {1, 7, 7},
                               2}),
    [](const ::testing::TestParamInfo<ModeCase>& param) { return param.param.label; });

TEST_F(NotificationHostTest, ExtensionThatOutstaysItsInputIsKilledAtTheEnd) {
  std::string app = serviceApp();
  HostRun host = deliver(app, {"--grace-ms", "200", payloadFile("p.json", kModePayloads[0])},
                         "echo", "", {"SCRIPTED_EXTENSION_IGNORE_EOF=1"});
  EXPECT_EQ(host.exitCode, 0);
  ASSERT_EQ(host.lines.size(), 1u);
  EXPECT_EQ(host.lines[0]["deliveredBy"], "extension");
  EXPECT_EQ(starts().size(), 1u);
  expectAllStartedProcessesGone();
  EXPECT_LT(host.elapsed, std::chrono::seconds(20));
}

// Decoding a content nested 100,000 levels deep (a 200 KB line, within the protocol's line limit)
// used to overflow the stack of whichever side read it; the host must take it for an undecodable
// line and show the payload itself.
TEST_F(NotificationHostTest, DeeplyNestedLineFromTheExtensionIsRefusedNotFatal) {
  const std::size_t depth = 100000;
  const std::string deepLine =
      writeFile("deep.line", R"({"type":"deliver","id":"1","content":{"userInfo":{"a":)" +
                                 std::string(depth, '[') + std::string(depth, ']') + "}}}\n");
  std::string app = makeApp({Appex{"Service.appex", kServicePoint, "service", Appex::kNone}});
  const fs::path executable =
      fs::path(app) / "Contents/PlugIns/Service.appex/Contents/MacOS/service";
  writeFile(executable.lexically_relative(dir_).string(),
            "#!/bin/sh\necho '{\"type\":\"ready\"}'\nread request\ncat '" + deepLine +
                "'\nexec cat >/dev/null\n");
  fs::permissions(executable, fs::perms::owner_all, fs::perm_options::add);

  std::vector<std::string> arguments = kShortLimit;
  arguments.push_back(payloadFile("p.json", kModePayloads[0]));
  HostRun host = deliver(app, arguments);

  EXPECT_EQ(host.exitCode, 0);
  ASSERT_EQ(host.lines.size(), 1u);
  EXPECT_EQ(host.lines[0]["deliveredBy"], "host");
  EXPECT_EQ(host.lines[0]["userInfo"], kModePayloads[0]);
  EXPECT_EQ(countContaining(host.errorLines, "malformed \"content\""), 1u);
}

TEST_F(NotificationHostTest, KeychainOptionReachesTheExtensionElseEnvironmentPassesThrough) {
  std::string app = serviceApp();
  std::string payload = payloadFile("p.json", kModePayloads[0]);
  const std::vector<std::string> inherited = {"QUENLARCH_KEYCHAIN=/inherited/keychain.db"};

  EXPECT_EQ(
      deliver(app, {"--keychain", "/given/keychain.db", payload}, "echo", "", inherited).exitCode,
      0);
  EXPECT_EQ(deliver(app, {payload}, "echo", "", inherited).exitCode, 0);

  std::vector<std::string> logged = starts();
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_THAT(logged[0], ::testing::EndsWith(" /given/keychain.db"));
  EXPECT_THAT(logged[1], ::testing::EndsWith(" /inherited/keychain.db"));
}

// ---------------------------------------------------------------------------------------------
// Payload refusals.

std::string paddedPayload(std::size_t size) {
  std::string prefix = R"({"aps":{"badge":1},"pad":")";
  std::string suffix = R"("})";
  return prefix + std::string(size - prefix.size() - suffix.size(), 'x') + suffix;
}

// Each refusal is one line on stderr naming the payload, and no kind of path (a FIFO nobody
// writes, a device, a name with a newline) stops the payloads after it.
TEST_F(NotificationHostTest, RefusedPayloadsAreReportedAndTheOthersStillRun) {
  struct PayloadCase {
    std::string file;     // a name in the test folder, or an absolute path for kExisting
    std::string content;  // for kFile
    bool accepted;
    enum { kFile, kMissing, kDirectory, kFifo, kExisting } kind = kFile;
  };
  const std::vector<PayloadCase> cases = {
      {"first.json", R"({"aps":{"badge":1}})", true},
      {"not-json.json", R"({"aps":)", false},
      {"array.json", R"([{"aps":{}}])", false},
      {"no-aps.json", R"({"badge":1})", false},
      {"aps-string.json", R"({"aps":"hello"})", false},
      {"aps-array.json", R"({"aps":[]})", false},
      {"exactly-4096.json", paddedPayload(4096), true},
      // The limit is on the JSON; the newline an editor adds (or more whitespace) is not counted.
      {"exactly-4096-newline.json", paddedPayload(4096) + "\n", true},
      {"exactly-4096-whitespace.json", paddedPayload(4096) + std::string(5000, ' ') + "\r\n", true},
      {"over-4096.json", paddedPayload(4097), false},
      {"over-4096-newline.json", paddedPayload(4097) + "\n", false},
      // Deeper than the extension accepts; refused here rather than left to time out there.
      {"too-deep.json", R"({"aps":{},"x":)" + std::string(600, '[') + std::string(600, ']') + "}",
       false},
      {"deep-enough.json",
       R"({"aps":{"badge":1},"x":)" + std::string(400, '[') + std::string(400, ']') + "}", true},
      {"missing.json", "", false, PayloadCase::kMissing},
      {"empty.json", "", false},
      {"a-directory", "", false, PayloadCase::kDirectory},
      {"a-fifo.json", "", false, PayloadCase::kFifo},
      {"/dev/null", "", false, PayloadCase::kExisting},
      {"new\nline\x01.json", R"({"aps":)", false},
      // The JSON parser takes a NUL byte for the end of its input; nothing may follow the value.
      {"nul-then-junk.json", std::string("{\"aps\":{}}\0junk", 15), false},
      {"two-values.json", R"({"aps":{}} {"aps":{}})", false},
      {"last.json", R"({"aps":{"badge":1}})", true},
  };
  std::vector<std::string> arguments;
  std::vector<std::string> acceptedPaths;
  for (const PayloadCase& c : cases) {
    std::string path = c.kind == PayloadCase::kExisting ? c.file : (dir_ / c.file).string();
    if (c.kind == PayloadCase::kFile) writeFile(c.file, c.content);
    if (c.kind == PayloadCase::kDirectory) fs::create_directories(path);
    if (c.kind == PayloadCase::kFifo) {
      ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    }
    arguments.push_back(path);
    if (c.accepted) acceptedPaths.push_back(path);
  }

  HostRun host = deliver(serviceApp(), arguments);

  EXPECT_EQ(host.exitCode, 1);
  ASSERT_EQ(host.lines.size(), acceptedPaths.size());
  for (std::size_t i = 0; i < acceptedPaths.size(); ++i) {
    EXPECT_EQ(host.lines[i]["payload"], acceptedPaths[i]);
    EXPECT_EQ(host.lines[i]["deliveredBy"], "extension");
  }
  std::size_t refusedCount = 0;
  for (const PayloadCase& c : cases) {
    if (c.accepted) continue;
    ++refusedCount;
    std::string shownName = c.kind == PayloadCase::kExisting ? c.file : (dir_ / c.file).string();
    for (auto [raw, escaped] : {std::pair{"\n", "\\n"}, {"\x01", "\\x01"}}) {
      for (std::size_t at; (at = shownName.find(raw)) != std::string::npos;) {
        shownName.replace(at, 1, escaped);
      }
    }
    EXPECT_EQ(countContaining(host.errorLines, "refused " + shownName + ":"), 1u) << c.file;
  }
  EXPECT_EQ(host.errorLines.size(), refusedCount) << "one line per refusal, nothing else";
  EXPECT_EQ(countContaining(host.errorLines, "not a regular file"), 3u);
  EXPECT_EQ(countContaining(host.errorLines,
                            "nul-then-junk.json: BadPayload (the payload is not "
                            "JSON (line 1, column 11: a NUL byte))"),
            1u);
}

TEST_F(NotificationHostTest, StdinGivesOnePayloadPerLineBetweenFiles) {
  std::string before = payloadFile("before.json", {{"aps", {{"badge", 1}}}});
  std::string after = payloadFile("after.json", {{"aps", {{"badge", 2}}}});
  // Line numbers count every line, blank ones included, so that they match an editor's.
  const std::vector<std::string> stdinLines = {
      "",                          // 1: blank, skipped
      R"({"aps":{"alert":"a"}})",  // 2
      "   ",                       // 3: blank, skipped
      "not json",                  // 4: refused
      paddedPayload(4097),         // 5: refused, too large
      paddedPayload(4096) + "\r",  // 6: the limit does not count a CRLF file's carriage return
      R"({"aps":{"alert":"b"}})",  // 7: the last, without a final newline
  };
  std::string input;
  for (std::size_t i = 0; i < stdinLines.size(); ++i) input += (i == 0 ? "" : "\n") + stdinLines[i];

  HostRun host = deliver(serviceApp(), {before, "-", after}, "release", input);

  EXPECT_EQ(host.exitCode, 1);
  std::vector<std::string> names;
  for (const json& line : host.lines) names.push_back(line.value("payload", ""));
  EXPECT_THAT(
      names, ::testing::ElementsAre(before, "stdin line 2", "stdin line 6", "stdin line 7", after));
  EXPECT_EQ(countContaining(host.errorLines, "refused stdin line 4:"), 1u);
  EXPECT_EQ(countContaining(host.errorLines, "refused stdin line 5:"), 1u);
  EXPECT_EQ(countContaining(host.errorLines, "refused"), 2u);
}

// ---------------------------------------------------------------------------------------------
// Finding the extension.

TEST_F(NotificationHostTest, WithoutARunnableExtensionTheHostShowsEverything) {
  struct LocatorCase {
    std::string label;
    std::vector<Appex> appexes;
    bool createApp = true;
    std::string message = "no notification service extension";  // expected once on stderr
  };
  const std::vector<LocatorCase> cases = {
      {"no app", {}, false},
      {"no plug-ins", {}, true},
      {"only another extension point", {Appex{"Widget.appex", "widgetkit-extension"}}, true},
      {"executable not executable",
       {Appex{"Service.appex", kServicePoint, "service", Appex::kNotExecutable}},
       true},
      {"executable missing",
       {Appex{"Service.appex", kServicePoint, "service", Appex::kNone}},
       true},
      {"no CFBundleExecutable", {Appex{"Service.appex", kServicePoint, "", Appex::kNone}}, true},
      {"executable outside the bundle",
       {Appex{"Service.appex", kServicePoint, "../../../../../../../../../../../../bin/true",
              Appex::kNone}},
       true},
      {"executable is no program",
       {Appex{"Service.appex", kServicePoint, "service", Appex::kNotAProgram}},
       true,
       "cannot start"},
  };
  std::vector<std::string> payloads = {payloadFile("a.json", {{"aps", {{"badge", 4}}}}),
                                       payloadFile("b.json", {{"aps", json::object()}})};
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const LocatorCase& c = cases[i];
    SCOPED_TRACE(c.label);
    std::string appName = "App" + std::to_string(i) + ".app";
    std::string app = (dir_ / appName).string();
    if (c.createApp && c.appexes.empty()) {
      fs::create_directories(dir_ / appName / "Contents");
    } else if (c.createApp) {
      makeApp(c.appexes, appName);
    }

    HostRun host = deliver(app, payloads);

    EXPECT_EQ(host.exitCode, 1);
    ASSERT_EQ(host.lines.size(), 2u);
    EXPECT_EQ(host.lines[0]["deliveredBy"], "host");
    EXPECT_EQ(host.lines[0]["badge"], 4);
    EXPECT_EQ(host.lines[1]["deliveredBy"], "host");
    EXPECT_EQ(host.lines[1]["badge"], nullptr);
    EXPECT_EQ(countContaining(host.errorLines, c.message), 1u);
    if (c.message != "cannot start") {  // then it says what to run
      EXPECT_EQ(countContaining(host.errorLines, "install it with `badge-app install --app " + app),
                1u);
    }
  }
  EXPECT_TRUE(starts().empty());
}

TEST_F(NotificationHostTest, TheFirstServiceExtensionByNameIsRun) {
  // Only b.appex can run: a.appex is another kind of extension, c.appex is broken.
  std::string app = makeApp({
      Appex{"c.appex", kServicePoint, "service", Appex::kNotExecutable},
      Appex{"a.appex", "widgetkit-extension"},
      Appex{"b.appex"},
      Appex{"not-a-bundle.plugin"},
  });
  HostRun host = deliver(app, {payloadFile("p.json", {{"aps", {{"badge", 1}}}})});
  EXPECT_EQ(host.exitCode, 0);
  ASSERT_EQ(host.lines.size(), 1u);
  EXPECT_EQ(host.lines[0]["deliveredBy"], "extension");
}

// ---------------------------------------------------------------------------------------------
// Command line.

TEST_F(NotificationHostTest, BadUsageExitsWithTwo) {
  std::string app = serviceApp();
  std::string payload = payloadFile("p.json", {{"aps", json::object()}});
  // Were a serve row accepted, the service would listen here, never on the default path.
  const std::string socket = (dir_ / "s.sock").string();
  struct UsageCase {
    std::vector<std::string> arguments;
    std::string message;  // expected on stderr; empty: any
  };
  const std::string kSeconds = "--time-limit: expects seconds as a number from 0 to 86400";
  const std::vector<UsageCase> cases = {
      {{}, ""},
      {{"deliver"}, ""},
      {{"deliver", "--app", app}, ""},
      {{"deliver", payload}, ""},
      {{"deliver", "--app", app, "--time-limit", "soon", payload}, kSeconds},
      {{"deliver", "--app", app, "--time-limit", "abc", payload}, kSeconds},
      {{"deliver", "--app", app, "--time-limit", "nan", payload}, kSeconds},
      {{"deliver", "--app", app, "--time-limit", "inf", payload}, kSeconds},
      {{"deliver", "--app", app, "--time-limit", "-inf", payload}, kSeconds},
      {{"deliver", "--app", app, "--time-limit", "1e999", payload}, kSeconds},
      {{"deliver", "--app", app, "--time-limit", "-1", payload}, kSeconds},
      {{"deliver", "--app", app, "--time-limit", "-0.5", payload}, kSeconds},
      {{"deliver", "--app", app, "--time-limit", "86401", payload}, kSeconds},
      {{"deliver", "--app", app, "--time-limit", "2s", payload}, kSeconds},
      {{"deliver", "--app", app, "--grace-ms", "1.5", payload}, "--grace-ms: expects whole"},
      {{"deliver", "--app", app, "--grace-ms", "-1", payload}, "--grace-ms: expects whole"},
      {{"deliver", "--app", app, "--keychain", "", payload}, "--keychain: expects a path"},
      {{"deliver", "--app", "", payload}, "--app: expects a path"},
      {{"deliver", "--app", "/tmp/\xff.app", payload}, "--app: expects a path in UTF-8"},
      {{"deliver", "--app", app, "--no-such-option", payload}, ""},
      {{"deliver", "--app", app, "--extension-for", "some", payload}, "--extension-for"},
      {{"redeliver", "--app", app, payload}, ""},
      // serve takes deliver's options through the same registration, and refuses the same values.
      {{"serve", "--app", app, "--socket", socket, "--time-limit", "nan"}, kSeconds},
      {{"serve", "--app", app, "--socket", socket, "--time-limit", "inf"}, kSeconds},
      {{"serve", "--app", app, "--socket", socket, "--grace-ms", "1.5"}, "--grace-ms: expects"},
      {{"serve", "--app", app, "--socket", socket, "--keychain", ""}, "--keychain: expects a path"},
      {{"serve", "--app", "", "--socket", socket}, "--app: expects a path"},
      {{"serve", "--app", app, "--socket", ""}, "--socket: expects a path"},
      {{"serve", "--app", app, "--socket", socket, "--idle-exit", "nan"}, "--idle-exit: expects"},
      {{"serve", "--app", app, "--socket", socket, "--extension-idle", "nan"},
       "--extension-idle: expects"},
      {{"serve", "--app", app, "--socket", socket, "--client-idle", "-1"},
       "--client-idle: expects"},
      {{"serve", "--app", app, "--socket", socket, "--parallel", "0"}, "--parallel"},
      {{"serve", "--app", app, "--socket", socket, "--max-clients", "0"}, "--max-clients"},
      {{"serve", "--app", app, "--socket", socket, "--memory-limit", "0"}, "--memory-limit"},
      {{"serve", "--app", app, "--socket", socket, "--extension-for", ""}, "--extension-for"},
      {{"serve", "--socket", socket}, "exactly one of --app and --fleet"},
      {{"send", "--socket", "", payload}, "--socket: expects a path"},
      {{"status", "--socket", ""}, "--socket: expects a path"},
      {{"status", "surplus"}, ""},
  };
  for (const UsageCase& c : cases) {
    std::vector<std::string> argv = {NOTIFICATION_HOST_PATH};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    SCOPED_TRACE(::testing::PrintToString(c.arguments));
    HostRun host = run(argv);
    EXPECT_EQ(host.exitCode, 2);
    EXPECT_TRUE(host.lines.empty());
    if (!c.message.empty()) {
      EXPECT_EQ(countContaining(host.errorLines, c.message), 1u);
    }
  }
  EXPECT_TRUE(starts().empty());
  EXPECT_FALSE(fs::exists(socket));
}

// Shown lines that cannot be written are a failure, reported with how many were lost, even though
// the notifications went through the extension.
TEST_F(NotificationHostTest, LostOutputExitsWithOneAndSaysHowManyLines) {
  std::string app = serviceApp();
  std::string first = payloadFile("a.json", {{"aps", {{"badge", 1}}}});
  std::string second = payloadFile("b.json", {{"aps", {{"badge", 2}}}});
  HostRun host = run({"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/full", NOTIFICATION_HOST_PATH,
                      "deliver", "--app", app, "--extension-for", "all", first, second},
                     "", {"SCRIPTED_EXTENSION_LOG=" + logPath_});
  EXPECT_EQ(host.exitCode, 1);
  ASSERT_EQ(host.errorLines.size(), 1u) << ::testing::PrintToString(host.errorLines);
  EXPECT_THAT(host.errorLines[0], ::testing::HasSubstr("lost 2 of 2 shown lines"));
  EXPECT_THAT(host.errorLines[0], ::testing::HasSubstr("No space left on device"));
  EXPECT_EQ(starts().size(), 1u) << "the payloads were delivered all the same";
  expectAllStartedProcessesGone();
}

// ---------------------------------------------------------------------------------------------
// From payload to content: badge and displayed fields.

TEST_F(NotificationHostTest, DisplayedFieldsComeFromAps) {
  struct FieldsCase {
    std::string aps;
    std::string fields;  // the displayed fields expected in the output line
  };
  const std::vector<FieldsCase> cases = {
      {R"({"alert":"Hello"})", R"({"body":"Hello"})"},
      {R"({"alert":"","badge":1})", R"({"body":""})"},
      {R"({"alert":{"title":"T","subtitle":"S","body":"B"}})",
       R"({"title":"T","subtitle":"S","body":"B"})"},
      {R"({"alert":{"title":42,"subtitle":null,"body":"B"}})", R"({"body":"B"})"},
      {R"({"alert":{"loc-key":"MSG","loc-args":["Ann",3],"title-loc-key":"TTL"}})",
       R"({"locKey":"MSG","locArgs":["Ann",3],"titleLocKey":"TTL"})"},
      {R"({"alert":["x"],"badge":1})", "{}"},
      {R"({"sound":"ping.caf","category":"MESSAGE","thread-id":"chat-9"})",
       R"({"sound":"ping.caf","category":"MESSAGE","threadIdentifier":"chat-9"})"},
      {R"({"sound":{"critical":1,"name":"alarm.caf"}})",
       R"({"sound":{"critical":1,"name":"alarm.caf"}})"},
      {R"({"badge":2,"content-available":1,"title":"not in alert"})", "{}"},
  };
  std::vector<std::string> arguments;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    arguments.push_back(
        writeFile("f" + std::to_string(i) + ".json", R"({"aps":)" + cases[i].aps + "}"));
  }
  // Through the extension and back, so the fields also survive the protocol untouched.
  HostRun host = deliver(serviceApp(), arguments, "echo");
  EXPECT_EQ(host.exitCode, 0);
  ASSERT_EQ(host.lines.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].aps);
    EXPECT_EQ(displayedFields(host.lines[i]), json::parse(cases[i].fields));
  }
}

TEST_F(NotificationHostTest, BadgeIsTakenOnlyFromAnIntegerApsBadge) {
  struct BadgeCase {
    std::string payload;
    json badge;
  };
  const std::vector<BadgeCase> cases = {
      {R"({"aps":{"badge":5}})", 5},         {R"({"aps":{"badge":0}})", 0},
      {R"({"aps":{"badge":-2}})", -2},       {R"({"aps":{"badge":"5"}})", nullptr},
      {R"({"aps":{"badge":2.5}})", nullptr}, {R"({"aps":{"badge":18446744073709551615}})", nullptr},
      {R"({"aps":{}, "badge":5})", nullptr},
  };
  std::string input;
  for (const BadgeCase& c : cases) input += c.payload + "\n";
  // Released handlers: the host shows the content exactly as it built it.
  HostRun host = deliver(serviceApp(), {"-"}, "release", input);
  EXPECT_EQ(host.exitCode, 0);
  ASSERT_EQ(host.lines.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].payload);
    EXPECT_EQ(host.lines[i]["badge"], cases[i].badge);
    EXPECT_EQ(host.lines[i]["userInfo"], json::parse(cases[i].payload));
  }
}

}  // namespace
}  // namespace quenlarch

namespace quenlarch {
namespace {

// Which pushes reach the extension: those that show an alert and ask for it with mutable-content
// 1, or every push with --extension-for all; and which show a person anything at all.
TEST_F(NotificationHostTest, OnlyMutableAlertsReachTheExtension) {
  struct Row {
    const char* aps;
    const char* extensionFor;
    const char* extension;  // the line's "extension"
    bool presented;
    const char* pushType = nullptr;   // the envelope's apns-push-type; none: a bare payload
    const char* handledBy = nullptr;  // the line's "handledBy" for a type another handler gets
  };
  constexpr const char* kOther = "not for this push type";
  const char* const counted = R"({"alert":"Hi","badge":1,"mutable-content":1})";
  const Row rows[] = {
      {R"({"alert":"Hi","mutable-content":1})", "mutable", "ran", true},
      {R"({"alert":{"loc-key":"K"},"mutable-content":1})", "mutable", "ran", true},
      {R"({"alert":"Hi","badge":1})", "mutable", "not mutable", true},  // a device counts nothing
      {R"({"alert":"Hi","mutable-content":0})", "mutable", "not mutable", true},
      {R"({"alert":"","badge":2,"mutable-content":1})", "mutable", "no alert", true},
      {R"({"alert":{"launch-image":"x"},"mutable-content":1})", "mutable", kOther, false, nullptr,
       "app"},
      {R"({"content-available":1,"mutable-content":1})", "mutable", kOther, false, nullptr, "app"},
      {R"({"badge":3})", "mutable", "no alert", true},
      {R"({"sound":"default"})", "mutable", "no alert", true},
      {R"({"content-available":1})", "all", kOther, false, nullptr, "app"},
      {R"({"alert":"Hi"})", "all", "ran", true},
      {counted, "mutable", "ran", true, "alert"},
      // Every other type goes to its handler, with or without an alert, whatever --extension-for.
      {counted, "all", kOther, false, "voip", "pushkit"},
      {R"({"content-available":1})", "mutable", kOther, false, "voip", "pushkit"},
      {counted, "mutable", kOther, false, "pushtotalk", "pushkit"},
      {counted, "mutable", kOther, false, "liveactivity", "activitykit"},
      {R"({"event":"update","content-state":{}})", "mutable", kOther, false, "liveactivity",
       "activitykit"},
      {counted, "mutable", kOther, false, "widgets", "widgetkit"},
      {counted, "mutable", kOther, false, "controls", "widgetkit"},
      {counted, "mutable", kOther, false, "location", "location"},
      {counted, "mutable", kOther, false, "fileprovider", "fileprovider"},
      {counted, "all", kOther, false, "complication", "complication"},
      {counted, "mutable", kOther, false, "mdm", "mdm"},
      {R"({"alert":"Hi","mutable-content":1})", "mutable", kOther, false, "background", "app"},
  };
  const std::string app = serviceApp();
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.aps) + " " + row.extensionFor + " " +
                 (row.pushType ? row.pushType : ""));
    fs::remove(logPath_);
    const json aps = json::parse(row.aps);
    json payload = {{"aps", aps}};
    if (row.pushType != nullptr) {
      payload = {{"headers", {{"apns-push-type", row.pushType}}}, {"payload", payload}};
    }
    HostRun host =
        deliver(app, {"--extension-for", row.extensionFor, payloadFile("gate.json", payload)});
    ASSERT_EQ(host.exitCode, 0);
    ASSERT_EQ(host.lines.size(), 1u);
    const json& line = host.lines[0];
    const bool ran = std::string(row.extension) == "ran";
    EXPECT_EQ(line["extension"], row.extension);
    EXPECT_EQ(line["presented"], row.presented);
    EXPECT_EQ(line["deliveredBy"], ran ? "extension" : "host");
    EXPECT_EQ(line.value("handledBy", ""), row.handledBy ? row.handledBy : "");
    EXPECT_EQ(starts().size(), ran ? 1u : 0u) << "the extension is started only for a push it runs";
    if (!ran) {
      EXPECT_EQ(line["userInfo"], json({{"aps", aps}})) << "shown as received";
    }
    if (row.handledBy != nullptr) {
      // Received by another handler: no badge, no alert, no displayed fields.
      EXPECT_EQ(line["badge"], nullptr);
      EXPECT_EQ(line["alert"],
                json({{"title", nullptr}, {"subtitle", nullptr}, {"body", nullptr}}));
      EXPECT_FALSE(line.contains("body"));
    }
  }
}

// Request headers in envelopes, one per line of standard input: a bad one is refused with one line
// naming the header and the reason, the others still run, and each line carries the headers.
TEST_F(NotificationHostTest, EnvelopeHeadersAreCheckedAndCarriedInTheLine) {
  const std::string app = serviceApp();
  writeFile("App.app/Contents/Info.plist",
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
            "<key>CFBundleIdentifier</key><string>com.example.app</string></dict></plist>\n");
  const json alert = {{"aps", {{"alert", "Hi"}}}};
  const auto envelope = [](const json& headers, const json& payload) {
    return json{{"headers", headers}, {"payload", payload}}.dump();
  };
  const auto padded = [](std::size_t bytes) {
    json payload = {{"aps", {{"alert", "Hi"}}}, {"pad", ""}};
    payload["pad"] = std::string(bytes - payload.dump().size(), 'x');
    return payload;
  };
  const std::string id = "0A1B2C3D-4E5F-4A6B-8C7D-8E9FA0B1C2D3";
  struct Row {
    const char* name;
    std::string input;
    const char* refusal;  // the refusal's line, after "refused stdin line N: "; null: shown
    json fields = json::object();  // what the shown line must hold
  };
  // Each header's own rules have a table of their own; these rows show how deliver reports them.
  const std::vector<Row> rows = {
      {"priority 7", envelope({{"apns-priority", 7}}, alert),
       "apns-priority: BadPriority (apns-priority \"7\" is not 10, 5 or 1)"},
      {"another app's topic", envelope({{"apns-topic", "com.example.other"}}, alert),
       "apns-topic: BadTopic"},
      {"background push with an alert: taken, warned of, not shown",
       envelope({{"apns-push-type", "background"}, {"apns-priority", 5}}, alert),
       nullptr,
       {{"handledBy", "app"},
        {"presented", false},
        {"warnings",
         {"a background push carries an alert, which a device does not show; the service may "
          "delay or drop a push whose type does not match its payload"}}}},
      {"envelope, a NUL byte and junk", envelope({}, alert) + std::string(1, '\0') + "junk",
       "BadPayload (the payload is not JSON (line 1, column 50: a NUL byte))"},
      {"alert payload over 4096 bytes", padded(4097).dump(), "PayloadTooLarge"},
      {"voip payload over 5120 bytes", envelope({{"apns-push-type", "voip"}}, padded(5121)),
       "PayloadTooLarge"},
      {"voip payload of 5120 bytes",
       envelope({{"apns-push-type", "voip"}}, padded(5120)),
       nullptr,
       {{"pushType", "voip"}, {"priority", 10}}},
      {"every header given",
       envelope({{"apns-id", id},
                 {"apns-priority", "5"},
                 {"apns-collapse-id", "score"},
                 {"apns-topic", "com.example.app"},
                 {"apns-expiration", 0}},
                alert),
       nullptr,
       {{"apnsId", id},
        {"pushType", "alert"},
        {"priority", 5},
        {"collapseId", "score"},
        {"presented", true}}},
      {"bare background payload",
       json{{"aps", {{"content-available", 1}}}}.dump(),
       nullptr,
       {{"pushType", "background"}, {"priority", 10}, {"presented", false}}},
      {"expiry passed: a connected device still gets it",
       envelope({{"apns-expiration", 1}}, {{"aps", {{"alert", "Hi"}, {"mutable-content", 1}}}}),
       nullptr,
       {{"presented", true}, {"extension", "ran"}, {"deliveredBy", "extension"}}},
      {"expiry to come",
       envelope({{"apns-expiration", 4102444800}}, alert),
       nullptr,
       {{"presented", true}, {"extension", "not mutable"}}},
  };
  std::string input;
  for (const Row& row : rows) input += row.input + "\n";
  HostRun host = deliver(app, {"--extension-for", "mutable", "-"}, "echo", input);
  EXPECT_EQ(host.exitCode, 1) << "some pushes were refused";
  std::size_t shown = 0;
  std::size_t refused = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    SCOPED_TRACE(row.name);
    if (row.refusal != nullptr) {
      const std::string expected =
          "notification-host: refused stdin line " + std::to_string(i + 1) + ": " + row.refusal;
      ASSERT_LT(refused, host.errorLines.size());
      EXPECT_EQ(host.errorLines[refused++].rfind(expected, 0), 0u) << host.errorLines[refused - 1];
      continue;
    }
    ASSERT_LT(shown, host.lines.size());
    const json& line = host.lines[shown++];
    EXPECT_EQ(line["payload"], "stdin line " + std::to_string(i + 1));
    for (const auto& [key, value] : row.fields.items()) EXPECT_EQ(line[key], value) << key;
    const std::string apnsId = line.value("apnsId", "");
    EXPECT_EQ(apnsId.size(), 36u) << "every push has an apns-id: " << apnsId;
    EXPECT_EQ(line.contains("collapseId"), row.fields.contains("collapseId"));
    EXPECT_FALSE(line.contains("dropped"));
  }
  EXPECT_EQ(host.lines.size(), shown);
  EXPECT_EQ(host.errorLines.size(), refused) << ::testing::PrintToString(host.errorLines);
}

}  // namespace
}  // namespace quenlarch
