// Where serve --fleet's provider endpoint hands the pushes it accepts: to the device the push's
// token names, through that device's own ProviderPushes (its engine, and its store-and-forward
// while it is away), all sharing one host (the fleet's apps are copies of one, so their strings
// are read once) and one bounded queue: with `maxQueued` pushes taken and not yet shown across
// the fleet, the next is answered 429. A device's state is made on its first push or presence
// change, so a fleet of thousands costs only what its busy devices hold.
// Runs on the service's loop thread; no locks.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/expected.h"
#include "tools/notification_host/provider/provider_sink.h"
#include "tools/notification_host/service/fleet_devices.h"
#include "tools/notification_host/service/provider_pushes.h"
#include "tools/notification_host/service/store_and_forward.h"

namespace quenlarch::notification_host {

class FleetPushes final : public provider::ProviderSink {
 public:
  // `print` gets each line (shown, or dropped while a device was away); `idle` is called when the
  // last push taken has been shown.
  FleetPushes(FleetDevices& devices, NotificationHost& host, sd_event* loop, unsigned maxQueued,
              NotificationHost::ShownLine print, std::function<void()> idle);

  provider::SinkAnswer submit(provider::ProviderPush push) override;

  // The device left or came back (see ProviderPushes::setDeviceAway); fails when its state
  // cannot be made.
  Expected<std::optional<std::string>> setDeviceAway(std::size_t device, bool away);
  // The device's store-and-forward; none before it first went away or got a push.
  const StoreAndForward* store(std::size_t device) const;
  void stopTaking();
  void setOutputBehind(std::function<bool()> behind) { outputBehind_ = std::move(behind); }
  // A client's push to a device was shown (counted among pushesShown).
  void countShown() { ++shown_; }

  bool busy() const;
  std::size_t devicesAway() const;
  std::uint64_t shown() const { return shown_; }
  std::uint64_t dropped() const { return dropped_; }

 private:
  struct Device {
    std::unique_ptr<StoreAndForward> store;
    std::unique_ptr<ProviderPushes> pushes;
  };
  // The device's state, made on first use.
  Expected<Device*> device(std::size_t index);
  // Runs `step` on the device's pushes and counts what it queued in the fleet's queue.
  template <typename Step>
  auto counted(ProviderPushes& pushes, Step step);

  FleetDevices& devices_;
  NotificationHost& host_;
  sd_event* loop_;
  const unsigned maxQueued_;
  NotificationHost::ShownLine print_;
  std::function<void()> idle_;
  std::function<bool()> outputBehind_;
  std::vector<Device> state_;
  std::vector<std::size_t> made_;  // devices whose state was made
  std::size_t queued_ = 0;
  std::uint64_t shown_ = 0;
  std::uint64_t dropped_ = 0;
  bool stopping_ = false;
};

}  // namespace quenlarch::notification_host
