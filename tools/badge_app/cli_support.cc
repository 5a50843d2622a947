// badge-app helpers.
#include "tools/badge_app/cli_support.h"

#include <charconv>
#include <filesystem>
#include <iostream>
#include <limits>

#include <nlohmann/json.hpp>

namespace quenlarch::badge_app {

int fail(int code, std::string_view message) {
  std::cerr << "badge-app: " << message << '\n';
  return code;
}

std::optional<std::uint32_t> parseCount(std::string_view text) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || value > std::numeric_limits<std::uint32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

std::optional<std::string> absolutePath(std::string_view path) {
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(std::filesystem::path(path), ec);
  if (ec || path.empty()) return std::nullopt;
  return absolute.string();
}

void printJson(const nlohmann::ordered_json& json) { std::cout << json.dump() << '\n'; }

}  // namespace quenlarch::badge_app
