// A test writer process: increments the badge counter of one installation N times through the real
// increment loop on the real keychain store, as concurrent extension processes would, and reports
// what happened as one JSON line: {"succeeded": n, "gaveUp": n, "busy": n, "refused": n}. gaveUp:
// every attempt lost its race; busy: the store stayed locked past its busy time-out; refused:
// anything else (the record not ours, switched off or gone, or another keychain failure). With
// WRITER_ACK=1 it also writes a line "+" the moment each increment returns, so a test that kills
// it knows exactly which increments were acknowledged.
// Usage: increment-writer KEYCHAIN_PATH BUNDLE_PATH ACCESS_GROUP COUNT
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <string>

#include "badge/counter_increment.h"
#include "platform/linux/openssl_sha256.h"
#include "platform/linux/sqlite_keychain.h"
#include "platform/linux/system_random_source.h"
#include "platform/linux/system_sleeper.h"

int main(int argc, char** argv) {
  using namespace quenlarch;
  if (argc != 5) {
    std::cerr << "usage: increment-writer KEYCHAIN BUNDLE GROUP COUNT\n";
    return 2;
  }
  const std::string group = argv[3];
  const int count = std::stoi(argv[4]);
  SqliteKeychain keychain(argv[1], std::vector<std::string>{group});
  OpenSslSha256 sha256;
  SystemSleeper sleeper;
  SystemRandomSource random;
  HomeScreenBadgeEnvironment env(makeInstallTag(argv[2], sha256));
  HomeScreenBadgeKeychainItem item{std::string(kBadgeKeychainService),
                                   std::string(kBadgeKeychainAccount), group};

  const char* ackEnv = std::getenv("WRITER_ACK");
  const bool ack = ackEnv != nullptr && std::string(ackEnv) == "1";
  int succeeded = 0;
  int gaveUp = 0;
  int busy = 0;
  int refused = 0;
  for (int i = 0; i < count; ++i) {
    const BadgeIncrement result = incrementBadgeCountWithReason(
        env.currentInstallTag(), item, CounterPlatform{keychain, sleeper, random}, env);
    if (result.count) {
      ++succeeded;
      if (ack) (void)!::write(STDOUT_FILENO, "+\n", 2);
    } else if (result.reason.outcome == BadgeOutcome::kGaveUp) {
      ++gaveUp;
    } else if (result.reason.outcome == BadgeOutcome::kKeychainUnusable &&
               keychain.lastProblem() == KeychainStoreProblem::kBusy) {
      ++busy;
    } else {
      ++refused;
    }
  }
  std::cout << "{\"succeeded\":" << succeeded << ",\"gaveUp\":" << gaveUp << ",\"busy\":" << busy
            << ",\"refused\":" << refused << "}\n";
  return 0;
}
