// A keychain that passes every call through to another one, counts the calls and keeps the last
// status, so a benchmark can show how often a path touches the keychain at all, and why it failed.
#pragma once

#include <atomic>

#include "platform/keychain.h"

namespace quenlarch::bench {

class CountingKeychain final : public Keychain {
 public:
  // `inner` must outlive this object.
  explicit CountingKeychain(Keychain& inner) : inner_(inner) {}

  KeychainMatch copyMatching(const KeychainQuery& query) override;
  OSStatus update(const KeychainQuery& query, const KeychainQuery& attributesToUpdate) override;
  OSStatus add(const KeychainQuery& attributes) override;
  OSStatus remove(const KeychainQuery& query) override;

  // Calls of any kind since construction.
  long calls() const { return calls_.load(); }
  // What the latest call answered; errSecSuccess before the first.
  OSStatus lastStatus() const { return lastStatus_.load(); }

 private:
  OSStatus noted(OSStatus status) {
    lastStatus_ = status;
    return status;
  }

  Keychain& inner_;
  std::atomic<long> calls_{0};
  std::atomic<OSStatus> lastStatus_{errSecSuccess};
};

}  // namespace quenlarch::bench
