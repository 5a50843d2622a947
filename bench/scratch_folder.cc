// Scratch folders through mkdtemp.
#include "bench/scratch_folder.h"

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace quenlarch::bench {

ScratchFolder::ScratchFolder() {
  const char* base = std::getenv("BADGE_BENCH_DIR");
  std::string root = base != nullptr && *base != '\0' ? base : "/tmp";
  std::filesystem::create_directories(root);
  std::string pattern = root + "/badge-bench-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create " + pattern);
  path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string readWholeFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace quenlarch::bench
