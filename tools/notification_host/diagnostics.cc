// The host's one console, and the limit its notes pass. Everything here runs on the main thread,
// where the loop runs.
#include "tools/notification_host/diagnostics.h"

#include <iostream>
#include <string>

#include "tools/common/note_limiter.h"

namespace quenlarch::notification_host {
namespace {

using TimePoint = std::chrono::steady_clock::time_point;

struct NoteRoute {
  tools::NoteLimiter limiter;
  std::function<void(std::string_view)> output;
  std::function<void(TimePoint)> countDue;
  std::size_t lost = 0;
};

NoteRoute& route() {
  static NoteRoute instance;
  return instance;
}

constexpr std::string_view kProgram = "notification-host";

void emit(std::string_view message) {
  NoteRoute& r = route();
  std::string line(kProgram);
  line.append(": ").append(message);
  if (r.output) return r.output(line);
  std::cerr << line << std::endl;
  if (!std::cerr) {
    ++r.lost;
    std::cerr.clear();
  }
}

tools::Console& mutableConsole() {
  static tools::Console instance{std::string(kProgram)};
  static const bool sinkSet = [] {
    instance.setSink([](std::string_view message, bool limited) {
      if (!limited) return emit(message);
      NoteRoute& r = route();
      for (const std::string& out : r.limiter.offer(message, std::chrono::steady_clock::now())) {
        emit(out);
      }
      if (r.countDue) {
        if (std::optional<TimePoint> next = r.limiter.nextDue()) r.countDue(*next);
      }
    });
    return true;
  }();
  (void)sinkSet;
  return instance;
}

}  // namespace

const tools::Console& console() { return mutableConsole(); }

void note(std::string_view message) { console().note(message); }

void routeNotes(std::function<void(std::string_view line)> output,
                std::function<void(TimePoint due)> countDue) {
  route().output = std::move(output);
  route().countDue = std::move(countDue);
}

std::optional<TimePoint> printDueNoteCounts() {
  for (const std::string& line : route().limiter.due(std::chrono::steady_clock::now())) emit(line);
  return route().limiter.nextDue();
}

void flushNoteCounts() {
  for (const std::string& line : route().limiter.flush()) emit(line);
}

std::size_t lostNoteLines() { return route().lost; }

}  // namespace quenlarch::notification_host
