// A bundle: a directory with an Info.plist. The extension reads its own main bundle's location
// and one Info.plist key. Thread safety: implementations are immutable after construction.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/plist_value.h"

namespace quenlarch {

class Bundle {
 public:
  virtual ~Bundle() = default;
  Bundle(const Bundle&) = delete;
  Bundle& operator=(const Bundle&) = delete;

  // The path of the bundle directory (the path of its file URL), absolute.
  virtual std::string bundleURL() const = 0;
  // The Info.plist value for `key`, of any property-list type, or none.
  virtual std::optional<PlistValue> objectForInfoDictionaryKey(std::string_view key) const = 0;

 protected:
  Bundle() = default;
};

}  // namespace quenlarch
