// FleetPushes: the fleet-wide checks (stopping, the shared queue, the output) come first; the
// device's ProviderPushes then decides between running the push and keeping it.
#include "tools/notification_host/service/fleet_pushes.h"

#include "tools/common/command_line.h"
#include "tools/notification_host/shown_line.h"

namespace quenlarch::notification_host {

FleetPushes::FleetPushes(FleetDevices& devices, NotificationHost& host, sd_event* loop,
                         unsigned maxQueued, NotificationHost::ShownLine print,
                         std::function<void()> idle)
    : devices_(devices),
      host_(host),
      loop_(loop),
      maxQueued_(maxQueued),
      print_(std::move(print)),
      idle_(std::move(idle)),
      state_(devices.size()) {}

Expected<FleetPushes::Device*> FleetPushes::device(std::size_t index) {
  Device& state = state_[index];
  if (state.pushes) return &state;
  auto store = StoreAndForward::create(
      loop_, steadyClock(), [this](const IncomingPush& push, std::string_view why) {
        ++dropped_;
        print_(tools::jsonLine(droppedLine(push.name, push.headers, why)));
      });
  if (!store) return unexpected(store.error());
  state.store = std::move(*store);
  // Its own queue is bounded by the fleet's, which is checked first.
  state.pushes = std::make_unique<ProviderPushes>(
      host_, maxQueued_,
      [this](const std::string& line) {
        --queued_;
        ++shown_;
        print_(line);
        if (queued_ == 0 && idle_) idle_();
      },
      std::function<void()>(), state.store.get());
  state.pushes->routeTo(devices_.engine(index));
  made_.push_back(index);
  return &state;
}

template <typename Step>
auto FleetPushes::counted(ProviderPushes& pushes, Step step) {
  const std::size_t before = pushes.queued();
  auto result = step();
  if (pushes.queued() > before) queued_ += pushes.queued() - before;
  return result;
}

provider::SinkAnswer FleetPushes::submit(provider::ProviderPush push) {
  using Outcome = provider::SinkAnswer::Outcome;
  if (stopping_) return {Outcome::kStopping, std::nullopt};
  if (queued_ >= maxQueued_) return {Outcome::kQueueFull, std::nullopt};
  if (outputBehind_ && outputBehind_()) return {Outcome::kOverloaded, std::nullopt};
  // The endpoint found the token in the fleet's registry, which is made from the same manifest.
  const std::optional<std::size_t> index = devices_.find(push.deviceToken);
  Expected<Device*> state = index ? device(*index) : unexpected(std::string("no such device"));
  if (!state) {
    return {Outcome::kRefused,
            push::PushRefusal{"InternalServerError", "",
                              "device " + push.deviceToken + ": " + state.error(), 500}};
  }
  ProviderPushes& pushes = *(*state)->pushes;
  return counted(pushes, [&] { return pushes.submit(std::move(push)); });
}

Expected<std::optional<std::string>> FleetPushes::setDeviceAway(std::size_t index, bool away) {
  Expected<Device*> state = device(index);
  if (!state) return unexpected(state.error());
  ProviderPushes& pushes = *(*state)->pushes;
  return counted(pushes, [&] { return pushes.setDeviceAway(away); });
}

const StoreAndForward* FleetPushes::store(std::size_t index) const {
  return state_[index].store.get();
}

void FleetPushes::stopTaking() {
  stopping_ = true;
  for (std::size_t index : made_) state_[index].pushes->stopTaking();
}

bool FleetPushes::busy() const {
  if (queued_ > 0) return true;
  for (std::size_t index : made_) {
    if (state_[index].pushes->busy()) return true;
  }
  return false;
}

std::size_t FleetPushes::devicesAway() const {
  std::size_t away = 0;
  for (std::size_t index : made_) away += state_[index].store->away() ? 1u : 0u;
  return away;
}

}  // namespace quenlarch::notification_host
