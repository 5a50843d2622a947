// Subprocess against real short-lived children (/bin/sh scripts): exit statuses, captured streams,
// the environment, deadlines that kill, and programs that cannot be started. Every child is
// stopped through its own Subprocess, by its pid.
#include "platform/linux/subprocess.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace quenlarch {
namespace {

using namespace std::chrono_literals;

const bool kSigpipeIgnored = [] {
  ::signal(SIGPIPE, SIG_IGN);
  return true;
}();

struct ScriptCase {
  std::string label;
  std::string script;  // run by /bin/sh -c
  std::string input;
  std::vector<std::string> environment;
  std::chrono::milliseconds deadline;
  std::string output;
  std::string error;
  std::string ending;  // exitDescription()
};

TEST(SubprocessTest, CommunicateCollectsStreamsAndReapsOnce) {
  const std::vector<ScriptCase> cases = {
      {"exit status", "exit 3", "", {}, 10s, "", "", "exited with status 3"},
      {"both streams",
       "echo out; echo err >&2",
       "",
       {},
       10s,
       "out\n",
       "err\n",
       "exited with status 0"},
      {"input echoed",
       "cat",
       "line one\nline two",
       {},
       10s,
       "line one\nline two",
       "",
       "exited with status 0"},
      // More than a pipe holds in each direction at once: no deadlock between the two.
      {"large input",
       "cat; cat >&2 </dev/null",
       std::string(1 << 20, 'x'),
       {},
       10s,
       std::string(1 << 20, 'x'),
       "",
       "exited with status 0"},
      {"input not read",
       "exit 0",
       std::string(1 << 20, 'x'),
       {},
       10s,
       "",
       "",
       "exited with status 0"},
      {"environment replaced and added",
       "echo \"$HOME|$SUBPROCESS_TEST\"",
       "",
       {"HOME=/nowhere", "SUBPROCESS_TEST=yes"},
       10s,
       "/nowhere|yes\n",
       "",
       "exited with status 0"},
      {"killed at the deadline",
       "echo early; exec sleep 30",
       "",
       {},
       300ms,
       "early\n",
       "",
       "was killed by signal 9"},
  };
  for (const ScriptCase& c : cases) {
    SCOPED_TRACE(c.label);
    SubprocessOptions options;
    options.argv = {"/bin/sh", "-c", c.script};
    options.environment = c.environment;
    options.error = SubprocessOptions::Stream::kPipe;
    std::string error;
    std::unique_ptr<Subprocess> child = Subprocess::start(options, &error);
    ASSERT_NE(child, nullptr) << error;
    EXPECT_GT(child->pid(), 0);
    auto start = Subprocess::Clock::now();
    Subprocess::Captured captured = child->communicate(c.input, start + c.deadline);
    EXPECT_TRUE(child->reaped());
    EXPECT_EQ(captured.output, c.output);
    EXPECT_EQ(captured.error, c.error);
    EXPECT_EQ(child->exitDescription(), c.ending);
    child->kill();  // reaped already: must not signal anything
  }
}

TEST(SubprocessTest, ReadOutputEndsAtExitAndWaitsHonourDeadlines) {
  SubprocessOptions options;
  options.argv = {"/bin/sh", "-c", "read line; echo \"got $line\"; exec sleep 30"};
  std::string error;
  std::unique_ptr<Subprocess> child = Subprocess::start(options, &error);
  ASSERT_NE(child, nullptr) << error;
  std::string output;
  auto soon = Subprocess::Clock::now() + 100ms;
  EXPECT_EQ(child->readOutput(output, soon), Subprocess::ReadStatus::kTimeout);
  EXPECT_FALSE(child->waitUntil(Subprocess::Clock::now() + 50ms));
  EXPECT_TRUE(child->writeInput("hello\n", Subprocess::Clock::now() + 10s));
  while (output.find('\n') == std::string::npos) {
    ASSERT_EQ(child->readOutput(output, Subprocess::Clock::now() + 10s),
              Subprocess::ReadStatus::kData);
  }
  EXPECT_EQ(output, "got hello\n");
  child->kill();
  EXPECT_EQ(child->readOutput(output, Subprocess::kNoDeadline), Subprocess::ReadStatus::kEnd);
  EXPECT_FALSE(child->writeInput("more\n", Subprocess::kNoDeadline));
  EXPECT_EQ(child->exitCode(), std::nullopt);
}

// Tests keep a background program's diagnostics in a file to show when they fail; the file is
// appended to, so a restarted program adds to what the first one said.
TEST(SubprocessTest, StreamsSentToFilesAreAppended) {
  testing::TempDir dir;
  SubprocessOptions options;
  options.argv = {"/bin/sh", "-c", "echo out; echo err >&2"};
  options.input = SubprocessOptions::Stream::kNull;
  options.output = SubprocessOptions::Stream::kFile;
  options.outputFile = dir / "out";
  options.error = SubprocessOptions::Stream::kFile;
  options.errorFile = dir / "err";
  for (int run = 0; run < 2; ++run) {
    std::string error;
    std::unique_ptr<Subprocess> child = Subprocess::start(options, &error);
    ASSERT_NE(child, nullptr) << error;
    ASSERT_TRUE(child->waitUntil(Subprocess::Clock::now() + 10s));
  }
  auto contents = [](const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
  };
  EXPECT_EQ(contents(dir / "out"), "out\nout\n");
  EXPECT_EQ(contents(dir / "err"), "err\nerr\n");
}

TEST(SubprocessTest, ProgramsThatCannotStartGiveTheReason) {
  const std::vector<std::vector<std::string>> cases = {
      {"/nonexistent/program"},
      {"/etc/hostname"},  // not executable
      {},
      {"/bin/true", "error to a file without its path"},
  };
  for (const auto& argv : cases) {
    SubprocessOptions options;
    options.argv = argv;
    if (argv.size() == 2) options.error = SubprocessOptions::Stream::kFile;
    std::string error;
    EXPECT_EQ(Subprocess::start(options, &error), nullptr);
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace quenlarch
