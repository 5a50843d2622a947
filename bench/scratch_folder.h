// A fresh, empty folder for one benchmark's files, under $BADGE_BENCH_DIR (or /tmp) so that the
// databases live on the filesystem the run means to measure. Removed with the object. And the
// one way the benchmarks read a file they are given.
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

// The whole of the file at `path`; throws std::runtime_error when it cannot be read.
std::string readWholeFile(const std::string& path);

}  // namespace quenlarch::bench
