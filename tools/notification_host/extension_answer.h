// What a line from the extension means for the request the host waits on. Kept apart from the
// session's process handling so that the rule can be tested line by line.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/push_content.h"
#include "tools/notification_host/delivery_session.h"

namespace quenlarch::notification_host {

// The content to show when `line` answers request `id` (the extension's content for a deliver,
// `received` for a release); none for anything else, which is noted on stderr. Answers about
// requests that were already shown end up here as "anything else", which is what keeps a late or
// repeated deliver from ever being shown a second time.
std::optional<Shown> answerFor(std::string_view line, const std::string& id,
                               const std::shared_ptr<const PushContent>& received);

}  // namespace quenlarch::notification_host
