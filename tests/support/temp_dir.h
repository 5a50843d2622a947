// A temporary folder that is removed with everything in it when the object goes.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <utility>

namespace quenlarch::testing {

class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "badge-test") {
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() { removeAll(); }
  TempDir(TempDir&& other) noexcept : path_(std::exchange(other.path_, {})) {}
  TempDir& operator=(TempDir&& other) noexcept {
    removeAll();
    path_ = std::exchange(other.path_, {});
    return *this;
  }

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  void removeAll() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  std::string path_;
};

}  // namespace quenlarch::testing
