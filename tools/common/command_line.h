// The frame both command-line tools share: exit codes, one-line diagnostics on stderr, the CLI11
// parse-and-run step, and JSON output whose loss is noticed.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "platform/linux/json_text.h"

namespace quenlarch::tools {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // the command ran; the answer is "no" or something failed
inline constexpr int kExitUsage = 2;   // malformed arguments

// `text` made safe for a one-line message: newlines, other control characters and bytes that are
// not UTF-8 become escapes (\n, \t, \xNN), so one diagnostic is always exactly one line.
std::string oneLine(std::string_view text);

// True when `text` is well-formed UTF-8, as option values that name files must be.
bool isUtf8(const std::string& text);

// Diagnostics as "<program>: <message>" on stderr, one line each (the message goes through
// oneLine; callers pass raw paths and names).
class Console {
 public:
  // Takes each message, made one line, instead of stderr, and adds the "<program>: ". `limited`
  // is false for the failure a command ends with, which no rate limit may hold back.
  using Sink = std::function<void(std::string_view message, bool limited)>;

  explicit Console(std::string program) : program_(std::move(program)) {}

  void note(std::string_view message) const;
  // Unset: written to stderr at once.
  void setSink(Sink sink) { sink_ = std::move(sink); }
  // Prints like note(), past any limit, and returns `code`, for `return console.fail(...)`.
  int fail(int code, std::string_view message) const;
  const std::string& program() const { return program_; }

 private:
  std::string program_;
  Sink sink_;
};

// "<program> <version>", the first line of --version, with the version the project was built as.
std::string versionLine(std::string_view program);

// Parses the command line and runs the chosen subcommand's callback. Every program gets --version
// and --help-all (the help of every subcommand at once, which the manual pages are made from), and
// its usage lines name it as `console` does, however it was started. Help and version exit 0, or
// 1 when their output was lost; a parse error is one line through `console` ("<program>: --count:
// ...", "<program>: unknown subcommand 'stauts'") and answers kExitUsage; otherwise `exitCode` as
// the callback set it.
int parseAndRun(CLI::App& app, const Console& console, int argc, char** argv, const int& exitCode);

// jsonLine lives beside the other JSON helpers; the tools name it from here too.
using quenlarch::jsonLine;
// Writes jsonLine(json) and a newline to stdout and flushes. False when the write failed (a full
// disk, a closed pipe): the caller reports the loss and exits non-zero.
bool printJsonLine(const nlohmann::ordered_json& json);
// Flushes stdout; false when anything written to it so far was lost.
bool stdoutIntact();

}  // namespace quenlarch::tools
