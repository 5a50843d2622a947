// File plumbing shared by whatever reads small files it did not write (property lists, payloads)
// or replaces files others read (bundle files): a capped read of a regular file that never blocks
// on a FIFO or a device, an atomic, durable replacement, and the one loop that writes all of a
// buffer to a blocking descriptor.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/expected.h"

namespace quenlarch {

// Files that hold a user's secrets or settings: read and written by their owner alone.
constexpr mode_t kOwnerOnly = 0600;

struct FileError {
  enum class Kind {
    kCannotOpen,      // open(2) failed; systemError says why
    kNotRegularFile,  // a folder, FIFO, socket or device
    kTooLarge,        // more than the cap
    kCannotRead,      // read(2) failed; systemError says why
    kCannotWrite,     // creating, writing, syncing or renaming failed; systemError says why
  };
  Kind kind;
  int systemError = 0;  // errno where the system refused, else 0

  // One line without a newline: "cannot open: No such file or directory", "not a regular file",
  // "larger than 4096 bytes" (with `maxBytes` as given to the read).
  std::string message(std::size_t maxBytes = 0) const;
};

struct FileContents {
  std::string bytes;               // the whole file when `error` is none, else empty
  std::optional<FileError> error;  // why the file was not read
};

// Reads the regular file at `path`, at most `maxBytes` of it: anything longer is kTooLarge, found
// by reading one byte past the cap rather than trusting the size the file had when opened. Opens
// without blocking and without becoming the controlling terminal, so a FIFO or a device is refused
// at once rather than waited on.
FileContents readRegularFile(const std::string& path, std::size_t maxBytes);

// Replaces `path` with `bytes` so that readers see the old file or the new one, never a part, and
// a crash leaves one of the two: the bytes go to a hidden temporary file in the same folder, which
// gets `mode` (exactly, whatever the umask), is synced, and is renamed over `path`; then the
// folder is synced so that the rename lasts. On failure the old file is left as it was and no
// temporary file stays behind. The folder must exist.
std::optional<FileError> writeFileAtomically(const std::string& path, std::string_view bytes,
                                             mode_t mode);

// Writes all of `bytes` to the blocking descriptor `fd` (a file, a pipe, a socket), retrying after
// signals. Fails with the system's reason ("Broken pipe") when a write fails; part of `bytes` may
// then have been written. A process that writes to pipes or sockets ignores SIGPIPE, so that a
// reader gone away fails the write instead of killing the writer.
Expected<void> writeAll(int fd, std::string_view bytes);

}  // namespace quenlarch
