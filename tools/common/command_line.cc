// Exit codes, one-line diagnostics and checked JSON output for the command-line tools.
#include "tools/common/command_line.h"

#include <cstdio>
#include <iostream>

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

}  // namespace

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
  std::cerr << program_ << ": " << oneLine(message) << std::endl;
}

int Console::fail(int code, std::string_view message) const {
  note(message);
  return code;
}

int parseAndRun(CLI::App& app, const Console& console, int argc, char** argv, const int& exitCode) {
  app.failure_message([&console](const CLI::App*, const CLI::Error& error) {
    return console.program() + ": " + oneLine(error.what()) + "\n";
  });
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kExitUsage;
  }
  return exitCode;
}

std::string jsonLine(const nlohmann::ordered_json& json) {
  return json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
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

}  // namespace quenlarch::tools
