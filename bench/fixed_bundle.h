// A bundle that exists only in memory: a fixed path and Info.plist, for in-process benchmarks that
// need an extension bundle without laying one out on disk.
#pragma once

#include <string>
#include <utility>

#include "platform/bundle.h"

namespace quenlarch::bench {

class FixedBundle final : public Bundle {
 public:
  FixedBundle(std::string path, PlistValue info) : path_(std::move(path)), info_(std::move(info)) {}

  std::string bundleURL() const override { return path_; }
  std::optional<PlistValue> objectForInfoDictionaryKey(std::string_view key) const override {
    const PlistValue* value = info_.find(key);
    if (value == nullptr) return std::nullopt;
    return *value;
  }

 private:
  const std::string path_;
  const PlistValue info_;
};

}  // namespace quenlarch::bench
