// bench-trivial: the floor for a process per push. Linked with the same libraries as the
// extension, it does as little as a process can and still be compared with one:
//   bench-trivial                      starts and exits
//   bench-trivial --commit DB          one durable single-row commit (see durable_commit.h)
//   bench-trivial ... --hold           then prints "ready" and waits for end of input, so that
//                                      its memory can be read while it lives
//   bench-trivial --first-sha256 [--no-openssl-config]
//                                      prints the microseconds the process's first SHA-256 takes,
//                                      optionally after telling OpenSSL not to load its config
#include <openssl/crypto.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "bench/durable_commit.h"
#include "platform/linux/openssl_sha256.h"

namespace {

void waitForEndOfInput() {
  std::puts("ready");
  std::fflush(stdout);
  char buffer[256];
  while (::read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
  }
}

double firstSha256Micros(bool skipConfig) {
  const auto start = std::chrono::steady_clock::now();
  if (skipConfig) OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
  const quenlarch::OpenSslSha256 sha256;
  const std::uint8_t message[] = {'b', 'e', 'n', 'c', 'h'};
  volatile std::uint8_t sink = sha256.digest(message)[0];
  (void)sink;
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace

int main(int argc, char** argv) {
  std::string commitPath;
  bool hold = false;
  bool firstSha256 = false;
  bool skipConfig = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--commit") == 0 && i + 1 < argc) {
      commitPath = argv[++i];
    } else if (std::strcmp(argv[i], "--hold") == 0) {
      hold = true;
    } else if (std::strcmp(argv[i], "--first-sha256") == 0) {
      firstSha256 = true;
    } else if (std::strcmp(argv[i], "--no-openssl-config") == 0) {
      skipConfig = true;
    } else {
      std::fprintf(stderr,
                   "usage: bench-trivial [--commit DB] [--hold] "
                   "[--first-sha256 [--no-openssl-config]]\n");
      return 2;
    }
  }
  try {
    if (!commitPath.empty()) {
      quenlarch::bench::DurableCommit floor(commitPath);
      floor.commit(static_cast<std::int64_t>(::getpid()));
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench-trivial: %s\n", e.what());
    return 1;
  }
  if (firstSha256) std::printf("%.1f\n", firstSha256Micros(skipConfig));
  if (hold) waitForEndOfInput();
  return 0;
}
