// What a person meets first on the command line of both programs: --version, the help of every
// subcommand at once, a mistyped subcommand named as such, and help whose output is lost.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/linux/subprocess.h"
#include "tests/support/run_command.h"

namespace quenlarch {
namespace {

struct Case {
  std::vector<std::string> argv;
  int exitCode;
  std::string out;  // the whole of stdout when `exactOut`, else a part of it
  std::string err;  // the whole of stderr, or a part of it when it ends in "..."
  bool exactOut = true;
};

TEST(CommandLineTest, VersionHelpAndMistypedSubcommands) {
  const std::string version = PROJECT_VERSION;
  const Case cases[] = {
      {{BADGE_APP_PATH, "--version"}, 0, "badge-app " + version + "\n", ""},
      {{NOTIFICATION_HOST_PATH, "--version"}, 0, "notification-host " + version + "\n", ""},
      // A slip of two letters is named and the subcommand meant is suggested.
      {{BADGE_APP_PATH, "stauts", "--app", "x"},
       2,
       "",
       "badge-app: unknown subcommand 'stauts'; did you mean 'status'?\n"},
      {{NOTIFICATION_HOST_PATH, "delivr", "-"},
       2,
       "",
       "notification-host: unknown subcommand 'delivr'; did you mean 'deliver'?\n"},
      {{NOTIFICATION_HOST_PATH, "frobnicate"},
       2,
       "",
       "notification-host: unknown subcommand 'frobnicate' (the subcommands are listed by "
       "'notification-host --help')\n"},
      // No subcommand at all: the ones there are, not CLI11's bare "A subcommand is required".
      {{NOTIFICATION_HOST_PATH},
       2,
       "",
       "notification-host: a subcommand is required: one of deliver, serve, send, status, device, "
       "rules "
       "(see "
       "'notification-host --help')\n"},
      // A subcommand with subcommands of its own names them.
      {{BADGE_APP_PATH, "fleet"},
       2,
       "",
       "badge-app: fleet needs a subcommand: create (see 'badge-app fleet --help')\n"},
      // An option the program does not have is CLI11's to name, not taken for a subcommand.
      {{BADGE_APP_PATH, "--colour", "status"}, 2, "", "badge-app: ..."},
      // A known subcommand with a bad option keeps its own message.
      {{BADGE_APP_PATH, "status", "--ap", "x"}, 2, "", "badge-app: ..."},
      // Usage lines name the program, however it was started; --help-all shows every
      // subcommand's options.
      {{BADGE_APP_PATH, "--help"}, 0, "Usage: badge-app [OPTIONS] SUBCOMMAND", "", false},
      {{BADGE_APP_PATH, "--help-all"}, 0, "set-count", "", false},
      {{NOTIFICATION_HOST_PATH, "--help-all"}, 0, "--time-limit", "", false},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const std::string& arg : c.argv) line += arg + " ";
    SCOPED_TRACE(line);
    testing::CommandResult result = testing::runCommand(c.argv);
    EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
    if (c.exactOut) {
      EXPECT_EQ(result.out, c.out);
    } else {
      EXPECT_NE(result.out.find(c.out), std::string::npos) << result.out;
    }
    if (c.err.ends_with("...")) {
      const std::string prefix = c.err.substr(0, c.err.size() - 3);
      EXPECT_TRUE(result.err.starts_with(prefix)) << result.err;
      EXPECT_EQ(result.err.find("unknown subcommand"), std::string::npos) << result.err;
      EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << "one line: " << result.err;
    } else {
      EXPECT_EQ(result.err, c.err);
    }
  }
}

// --version and --help answered into a full disk: the loss is reported and the exit is not 0.
TEST(CommandLineTest, LostHelpOrVersionOutputIsAFailure) {
  for (const std::vector<std::string>& argv :
       {std::vector<std::string>{BADGE_APP_PATH, "--version"},
        std::vector<std::string>{NOTIFICATION_HOST_PATH, "--help-all"}}) {
    SCOPED_TRACE(argv[1]);
    SubprocessOptions options;
    options.argv = argv;
    options.input = SubprocessOptions::Stream::kNull;
    options.output = SubprocessOptions::Stream::kFile;
    options.outputFile = "/dev/full";
    options.error = SubprocessOptions::Stream::kPipe;
    std::string error;
    std::unique_ptr<Subprocess> child = Subprocess::start(options, &error);
    ASSERT_NE(child, nullptr) << error;
    Subprocess::Captured captured = child->communicate("");
    EXPECT_EQ(child->exitCode(), 1);
    EXPECT_NE(captured.error.find("the output was lost"), std::string::npos) << captured.error;
  }
}

}  // namespace
}  // namespace quenlarch
