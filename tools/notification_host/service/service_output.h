// serve's standard output and error as writers on its loop: the lines nobody asked for (shown
// provider pushes, opened notifications) and the notes, none of which may block the loop.
#pragma once

#include <systemd/sd-event.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/linux/expected.h"
#include "tools/notification_host/engine/event_loop.h"
#include "tools/notification_host/engine/stream_writer.h"

namespace quenlarch::notification_host {

// Standard output and error as the loop's writers, and the notes routed through them until this
// goes; then whatever is still queued is written, for a while at most.
class ServiceOutput {
 public:
  static Expected<std::unique_ptr<ServiceOutput>> open(sd_event* loop);
  // A run that ends early (a failure after the writers opened) still gets its last notes out.
  ~ServiceOutput() { finish(); }

  StreamWriter& out() { return *out_; }
  // Writes `line` on standard output; the first line lost there is also said on stderr.
  void print(const std::string& line);
  // Either stream is behind: the service takes no more pushes until it has caught up.
  bool behind() const { return out_->behind() || err_->behind(); }
  void onBacklogChanged(const std::function<void()>& changed) {
    out_->onBacklogChanged([changed](bool) { changed(); });
    err_->onBacklogChanged([changed](bool) { changed(); });
  }
  // After the loop: notes go to stderr directly again, and what was queued goes out. Returns
  // the failure to report, if any line was lost.
  std::optional<std::string> finish();

 private:
  ServiceOutput(std::unique_ptr<StreamWriter> out, std::unique_ptr<StreamWriter> err)
      : out_(std::move(out)), err_(std::move(err)) {}
  std::unique_ptr<StreamWriter> out_;
  std::unique_ptr<StreamWriter> err_;
  EventSource counts_;  // prints held-back note counts when they fall due
};

}  // namespace quenlarch::notification_host
