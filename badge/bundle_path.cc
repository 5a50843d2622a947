// BundlePath: components are kept split so that removals and the extension test are exact.
#include "badge/bundle_path.h"

namespace quenlarch {

BundlePath BundlePath::standardized(std::string_view path) {
  BundlePath result;
  result.absolute_ = !path.empty() && path.front() == '/';
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    std::string_view component = path.substr(start, end - start);
    if (component.empty() || component == ".") {
      // Repeated or trailing slashes and "." add nothing.
    } else if (component == "..") {
      if (!result.components_.empty() && result.components_.back() != "..") {
        result.components_.pop_back();
      } else if (!result.absolute_) {
        result.components_.emplace_back("..");
      }
    } else {
      result.components_.emplace_back(component);
    }
    start = end + 1;
  }
  return result;
}

std::string BundlePath::pathExtension() const {
  if (components_.empty()) return "";
  const std::string& last = components_.back();
  std::size_t dot = last.rfind('.');
  if (dot == std::string::npos || dot == 0) return "";
  return last.substr(dot + 1);
}

std::string BundlePath::lastPathComponent() const {
  if (components_.empty()) return absolute_ ? "/" : "";
  return components_.back();
}

void BundlePath::deleteLastPathComponent() {
  if (!components_.empty()) components_.pop_back();
}

std::string BundlePath::path() const {
  std::string out = absolute_ ? "/" : "";
  for (std::size_t i = 0; i < components_.size(); ++i) {
    if (i > 0) out += '/';
    out += components_[i];
  }
  return out;
}

}  // namespace quenlarch
