// Test contents: a content whose mutableCopy is configurable, so tests can make the copy fail to be
// a MutableNotificationContent, and count how many copies were made.
#pragma once

#include <atomic>
#include <memory>

#include "platform/notification_content.h"

namespace quenlarch::testing {

class FakeContent : public MutableNotificationContent {
 public:
  enum class CopyKind { kMutable, kImmutable };

  FakeContent(PlistValue userInfo, std::optional<std::int64_t> badge,
              CopyKind copyKind = CopyKind::kMutable);

  const PlistValue& userInfo() const override { return userInfo_; }
  std::optional<std::int64_t> badge() const override { return badge_; }
  std::shared_ptr<NotificationContent> mutableCopy() const override;
  void setBadge(std::uint32_t badge) override { badge_ = badge; }

  // Copies made of this content (a copy of a copy counts on the copy).
  int copiesMade() const { return copies_.load(); }

 private:
  PlistValue userInfo_;
  std::optional<std::int64_t> badge_;
  CopyKind copyKind_;
  mutable std::atomic<int> copies_{0};
};

// A content that only reads: what a `mutableCopy` returns when it is not mutable.
class ReadOnlyContent final : public NotificationContent {
 public:
  ReadOnlyContent(PlistValue userInfo, std::optional<std::int64_t> badge)
      : userInfo_(std::move(userInfo)), badge_(badge) {}
  const PlistValue& userInfo() const override { return userInfo_; }
  std::optional<std::int64_t> badge() const override { return badge_; }
  std::shared_ptr<NotificationContent> mutableCopy() const override {
    return std::make_shared<ReadOnlyContent>(userInfo_, badge_);
  }

 private:
  PlistValue userInfo_;
  std::optional<std::int64_t> badge_;
};

// A push payload {"aps": {"alert": {"loc-key": locKey}}} (no alert when locKey is empty).
PlistValue payloadWithLocKey(std::string_view locKey);

}  // namespace quenlarch::testing
