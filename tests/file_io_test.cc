// File plumbing: what a capped read gives or refuses (never blocking), and what an atomic write
// leaves behind, on success and on failure.
#include "platform/linux/file_io.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "tests/support/temp_dir.h"

namespace quenlarch {
namespace {

namespace fs = std::filesystem;
using Kind = FileError::Kind;

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

TEST(FileIoTest, ReadsRegularFilesUpToTheCapAndRefusesTheRest) {
  testing::TempDir dir;
  writeFile(dir / "empty", "");
  writeFile(dir / "at-cap", std::string(16, 'x'));
  writeFile(dir / "over-cap", std::string(17, 'x'));
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  fs::create_directory(dir / "folder");
  const struct {
    std::string path;
    std::optional<Kind> error;
    std::size_t size;
  } cases[] = {
      {dir / "empty", std::nullopt, 0},           {dir / "at-cap", std::nullopt, 16},
      {dir / "over-cap", Kind::kTooLarge, 0},     {dir / "missing", Kind::kCannotOpen, 0},
      {dir / "fifo", Kind::kNotRegularFile, 0},  // without waiting for a writer
      {dir / "folder", Kind::kNotRegularFile, 0}, {"/dev/zero", Kind::kNotRegularFile, 0},
  };
  for (const auto& c : cases) {
    const FileContents read = readRegularFile(c.path, 16);
    EXPECT_EQ(read.error ? std::optional(read.error->kind) : std::nullopt, c.error) << c.path;
    EXPECT_EQ(read.bytes.size(), c.size) << c.path;
  }
  EXPECT_EQ(readRegularFile(dir / "missing", 16).error->message(),
            "cannot open: No such file or directory");
  EXPECT_EQ(readRegularFile(dir / "over-cap", 16).error->message(16), "larger than 16 bytes");
}

TEST(FileIoTest, AtomicWriteReplacesWithTheExactModeAndLeavesNothingBehind) {
  testing::TempDir dir;
  const std::string path = dir / "file";
  const mode_t oldMask = ::umask(077);
  EXPECT_EQ(writeFileAtomically(path, "old", 0644), std::nullopt);
  EXPECT_EQ(writeFileAtomically(path, "new", 0755), std::nullopt);
  ::umask(oldMask);
  EXPECT_EQ(readRegularFile(path, 100).bytes, "new");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);

  const std::string failures[] = {dir / "no/such/folder/file", dir.path() + "/", dir / ".."};
  for (const std::string& target : failures) {
    const std::optional<FileError> error = writeFileAtomically(target, "x", 0644);
    ASSERT_TRUE(error.has_value()) << target;
    EXPECT_EQ(error->kind, Kind::kCannotWrite) << target;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1)
      << "temporary files left behind";
}

}  // namespace
}  // namespace quenlarch
