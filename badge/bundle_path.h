// Lexical handling of bundle paths, standing in for the platform's file-URL operations: standardize
// (collapse repeated slashes, drop ".", resolve ".."), path extension, last component, and removing
// the last component. Nothing here touches the filesystem.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quenlarch {

class BundlePath {
 public:
  // The standardized form of `path`. ".." above the root of an absolute path stays at the root.
  static BundlePath standardized(std::string_view path);

  // The text after the last "." of the last component ("" when there is none, or when the only
  // dot starts the component, as in ".hidden").
  std::string pathExtension() const;
  std::string lastPathComponent() const;
  // Removing from the root leaves the root.
  void deleteLastPathComponent();
  // The path as a string, without a trailing slash except for the root itself.
  std::string path() const;

 private:
  bool absolute_ = false;
  std::vector<std::string> components_;
};

}  // namespace quenlarch
