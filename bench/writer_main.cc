// bench-writer: one of many concurrent writer processes. Increments the benchmark installation's
// badge counter COUNT times through the real increment loop on the real keychain store, as
// extension processes do, and reports one JSON line:
//   {"succeeded": n, "gaveUp": n, "unavailable": n, "refused": n}
// gaveUp: every attempt lost its race; unavailable: the store answered errSecStoreUnavailable (as
// when a writer waits for the lock past the busy timeout); refused: any other failure.
// It prints "ready" first and starts on the first line of standard input, so that the harness
// can release every writer at the same moment.
// Usage: bench-writer KEYCHAIN_PATH COUNT
#include <iostream>
#include <string>

#include "badge/counter_increment.h"
#include "bench/bench_counter.h"
#include "platform/linux/sqlite_keychain.h"
#include "platform/linux/system_random_source.h"
#include "platform/linux/system_sleeper.h"

int main(int argc, char** argv) {
  using namespace quenlarch;
  if (argc != 3) {
    std::cerr << "usage: bench-writer KEYCHAIN COUNT\n";
    return 2;
  }
  const int count = std::stoi(argv[2]);
  const bench::BenchCounter counter;
  SqliteKeychain keychain(argv[1], std::vector<std::string>{bench::kBenchAccessGroup});
  SystemSleeper sleeper;
  SystemRandomSource random;

  std::cout << "ready" << std::endl;
  std::string go;
  if (!std::getline(std::cin, go)) return 1;

  int succeeded = 0;
  int gaveUp = 0;
  int unavailable = 0;
  int refused = 0;
  for (int i = 0; i < count; ++i) {
    const BadgeIncrement result = incrementBadgeCountWithReason(
        counter.tag(), counter.item(), CounterPlatform{keychain, sleeper, random}, counter.env());
    if (result.count) {
      ++succeeded;
    } else if (result.reason.outcome == BadgeOutcome::kGaveUp) {
      ++gaveUp;
    } else if (result.reason.keychainStatus == errSecStoreUnavailable) {
      ++unavailable;
    } else {
      ++refused;
    }
  }
  std::cout << "{\"succeeded\":" << succeeded << ",\"gaveUp\":" << gaveUp
            << ",\"unavailable\":" << unavailable << ",\"refused\":" << refused << "}" << std::endl;
  return 0;
}
