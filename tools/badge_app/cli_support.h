// Shared pieces of the badge-app commands: the exit codes, argument checks that CLI11 leaves to
// us, and printing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace quenlarch::badge_app {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // the command ran; the answer is "no" or the store is unusable
inline constexpr int kExitUsage = 2;   // malformed arguments

// Prints "badge-app: <message>" on stderr and returns `code`, for `return fail(...)`.
int fail(int code, std::string_view message);

// A decimal count 0..4294967295, digits only; none otherwise.
std::optional<std::uint32_t> parseCount(std::string_view text);
// The path made absolute (lexically, without resolving links); none when there is no working
// directory to resolve it against.
std::optional<std::string> absolutePath(std::string_view path);
void printJson(const nlohmann::ordered_json& json);

}  // namespace quenlarch::badge_app
