// ServiceOutput: notes are routed through the error writer while the loop runs, and the held-back
// note counts are printed by a timer on the loop.
#include "tools/notification_host/service/service_output.h"

#include <unistd.h>

#include "tools/notification_host/diagnostics.h"

namespace quenlarch::notification_host {
namespace {

// Once the loop is done, how long what is still queued for stdout and stderr may take to go out.
constexpr auto kFinalOutputTime = std::chrono::seconds(5);

}  // namespace

Expected<std::unique_ptr<ServiceOutput>> ServiceOutput::open(sd_event* loop) {
  auto out = StreamWriter::open(loop, STDOUT_FILENO, "standard output");
  if (!out) return unexpected(out.error());
  auto err = StreamWriter::open(loop, STDERR_FILENO, "standard error");
  if (!err) return unexpected(err.error());
  std::unique_ptr<ServiceOutput> output(new ServiceOutput(std::move(*out), std::move(*err)));
  ServiceOutput* raw = output.get();
  auto counts = EventSource::timer(
      loop,
      [raw] {
        if (auto next = printDueNoteCounts()) raw->counts_.armAt(*next);
      },
      "note counts");
  if (!counts) return unexpected(counts.error());
  raw->counts_ = std::move(*counts);
  routeNotes([raw](std::string_view line) { raw->err_->write(line); },
             [raw](std::chrono::steady_clock::time_point due) {
               if (!raw->counts_.armed()) raw->counts_.armAt(due);
             });
  return output;
}

std::optional<std::string> ServiceOutput::finish() {
  routeNotes(nullptr, nullptr);
  const auto deadline = std::chrono::steady_clock::now() + kFinalOutputTime;
  const bool errIntact = err_->finish(deadline);
  if (!out_->finish(deadline)) {
    return std::to_string(out_->lost()) + " lines lost writing standard output (" +
           out_->failure() + ")";
  }
  if (!errIntact) {
    return std::to_string(err_->lost()) + " lines lost writing standard error (" + err_->failure() +
           ")";
  }
  return std::nullopt;
}

void ServiceOutput::print(const std::string& line) {
  const bool lostBefore = out_->lost() > 0;
  out_->write(line);
  if (!lostBefore && out_->lost() > 0) {
    note("lost a line writing standard output (" + out_->failure() + ")");
  }
}

}  // namespace quenlarch::notification_host
