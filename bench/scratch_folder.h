// A fresh, empty folder for one benchmark's files, under $BADGE_BENCH_DIR (or /tmp) so that the
// databases live on the filesystem the run means to measure. Removed with the object.
#pragma once

#include <string>

namespace quenlarch::bench {

class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace quenlarch::bench
