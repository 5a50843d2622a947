// Exit codes, one-line diagnostics and checked JSON output for the command-line tools.
#include "tools/common/command_line.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <optional>
#include <vector>

namespace quenlarch::tools {
namespace {

// Length of the well-formed UTF-8 sequence at the start of `text`, or 0 when it is not one.
std::size_t utf8SequenceLength(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned char secondMin = 0x80, secondMax = 0xBF;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) secondMin = 0xA0;
    if (lead == 0xED) secondMax = 0x9F;  // no UTF-16 surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) secondMin = 0x90;
    if (lead == 0xF4) secondMax = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  if (byte(1) < secondMin || byte(1) > secondMax) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

// Edits (insert, delete, replace) that turn `a` into `b`.
std::size_t editDistance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The complaint about the subcommand the command line names, when `app` has none by that name.
// The programs' own options (--help, --help-all, --version) take no values, so the first argument
// after them is the subcommand. CLI11 would call it an unexpected extra argument, or
// say that a subcommand is required, which hides the typing slip a person made.
std::optional<std::string> unknownSubcommand(const CLI::App& app, int argc, char** argv) {
  const std::vector<const CLI::App*> subcommands = app.get_subcommands(
      [](const CLI::App* sub) { return !sub->get_name().empty() && !sub->get_disabled(); });
  if (subcommands.empty()) return std::nullopt;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word.empty()) return std::nullopt;
    if (word.front() == '-') {
      // An option of a subcommand, or a mistyped one: CLI11's own message says it best.
      if (app.get_option_no_throw(word) == nullptr) return std::nullopt;
      continue;
    }
    const CLI::App* closest = nullptr;
    std::size_t closestDistance = word.size();
    for (const CLI::App* sub : subcommands) {
      if (sub->check_name(word)) return std::nullopt;
      const std::size_t distance = editDistance(word, sub->get_name());
      if (distance < closestDistance) {
        closest = sub;
        closestDistance = distance;
      }
    }
    std::string message = "unknown subcommand '" + word + "'";
    // Two slips (a swapped pair of letters) still suggest; a wholly different word does not.
    if (closest != nullptr && closestDistance <= 2 && closestDistance < word.size()) {
      return message + "; did you mean '" + closest->get_name() + "'?";
    }
    return message + " (the subcommands are listed by '" + app.get_name() + " --help')";
  }
  return std::nullopt;
}

// CLI11 says only "A subcommand is required"; a person needs to know which there are.
std::optional<std::string> missingSubcommand(const CLI::App& app, const CLI::ParseError& error) {
  if (error.get_name() != "RequiredError" || !app.get_subcommands().empty()) return std::nullopt;
  const std::vector<const CLI::App*> subcommands = app.get_subcommands(
      [](const CLI::App* sub) { return !sub->get_name().empty() && !sub->get_disabled(); });
  if (subcommands.empty()) return std::nullopt;
  std::string names;
  for (const CLI::App* sub : subcommands) names += (names.empty() ? "" : ", ") + sub->get_name();
  return "a subcommand is required: one of " + names + " (see '" + app.get_name() + " --help')";
}

}  // namespace

std::string versionLine(std::string_view program) {
  return std::string(program) + " " + QUENLARCH_VERSION;
}

std::string oneLine(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const auto c = static_cast<unsigned char>(text.front());
    std::size_t length = utf8SequenceLength(text);
    if (length > 1) {
      out.append(text.substr(0, length));
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (length == 1 && c >= 0x20 && c != 0x7F) {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
    text.remove_prefix(length > 1 ? length : 1);
  }
  return out;
}

void Console::note(std::string_view message) const {
  if (sink_) return sink_(oneLine(message), /*limited=*/true);
  std::cerr << program_ << ": " << oneLine(message) << std::endl;
}

int Console::fail(int code, std::string_view message) const {
  if (sink_) {
    sink_(oneLine(message), /*limited=*/false);
  } else {
    std::cerr << program_ << ": " << oneLine(message) << std::endl;
  }
  return code;
}

int parseAndRun(CLI::App& app, const Console& console, int argc, char** argv, const int& exitCode) {
  app.name(console.program());
  app.set_version_flag("--version", versionLine(console.program()), "Print the version and exit");
  app.set_help_all_flag("--help-all", "Print the help of every subcommand and exit");
  app.failure_message([&console](const CLI::App*, const CLI::Error& error) {
    return console.program() + ": " + oneLine(error.what()) + "\n";
  });
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    // --help, --help-all, --version: answered on stdout, which must have taken it.
    app.exit(e);
    if (!stdoutIntact()) {
      return console.fail(kExitFailed, "the output was lost: writing to standard output failed");
    }
    return kExitOk;
  } catch (const CLI::ParseError& e) {
    if (std::optional<std::string> unknown = unknownSubcommand(app, argc, argv)) {
      return console.fail(kExitUsage, *unknown);
    }
    if (std::optional<std::string> missing = missingSubcommand(app, e)) {
      return console.fail(kExitUsage, *missing);
    }
    app.exit(e);
    return kExitUsage;
  }
  return exitCode;
}

bool printJsonLine(const nlohmann::ordered_json& json) {
  std::cout << jsonLine(json) << '\n';
  std::cout.flush();
  return static_cast<bool>(std::cout);
}

bool stdoutIntact() {
  std::cout.flush();
  return static_cast<bool>(std::cout) && std::fflush(stdout) == 0 && !std::ferror(stdout);
}

bool isUtf8(const std::string& text) {
  try {
    (void)nlohmann::json(text).dump();  // the strict dump refuses malformed UTF-8
    return true;
  } catch (const nlohmann::json::exception&) {
    return false;
  }
}

}  // namespace quenlarch::tools
