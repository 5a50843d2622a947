// Fuzzes the badge record decoder. Any bytes may sit in the keychain item's generic attribute (an
// older app, another installation, damage), so decoding must never crash, and whatever it accepts
// must survive a re-encode: the re-encoded record decodes to the same state, and a version-3 record
// comes back byte for byte (its count is masked with the same mask both ways).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "badge/badge_environment.h"
#include "badge/badge_record.h"
#include "badge/install_tag.h"
#include "fuzz/fuzz_check.h"

namespace quenlarch {
namespace {

using quenlarch::fuzz::check;

// The seed corpus uses these tags: "QLKNOWN1" is the installation the caller knows (passed as the
// known tag), "QLCURRNT" the process's current installation. "QLNOMASK" is a current tag whose
// mask is not at hand.
const HomeScreenBadgeInstallTag& knownTag() {
  static const HomeScreenBadgeInstallTag tag{ByteString{'Q', 'L', 'K', 'N', 'O', 'W', 'N', '1'},
                                             ByteString{0x11, 0x22, 0x33, 0x44}};
  return tag;
}

const HomeScreenBadgeInstallTag& currentTag() {
  static const HomeScreenBadgeInstallTag tag{ByteString{'Q', 'L', 'C', 'U', 'R', 'R', 'N', 'T'},
                                             ByteString{0xA5, 0x5A, 0xC3, 0x3C}};
  return tag;
}

void checkRoundTrip(std::span<const std::uint8_t> data, const HomeScreenBadgeInstallTag& known,
                    const HomeScreenBadgeEnvironment& env) {
  const std::optional<HomeScreenBadgeState> state = decodeBadgeRecord(data, known, env);
  if (!state) return;

  // The accepted shapes.
  check(state->installTag.bytes.size() == kInstallTagSize);
  if (state->isEnabled) {
    check(!isZeroInstallTag(state->installTag));
  } else {
    check(state->count == 0 && isZeroInstallTag(state->installTag));
  }

  const ByteString encoded = encodeBadgeRecord(*state, env);
  check(encoded.size() == kBadgeRecordSize);
  const std::optional<HomeScreenBadgeState> again = decodeBadgeRecord(encoded, known, env);
  check(again.has_value());
  check(again->isEnabled == state->isEnabled);
  check(again->count == state->count);
  check(again->installTag.bytes == state->installTag.bytes);
  check(again->installTag.countMask == state->installTag.countMask);

  // Version 3 is what the encoder writes: the record was already in its written form.
  if (data[2] == 3) check(std::equal(encoded.begin(), encoded.end(), data.begin(), data.end()));
}

}  // namespace
}  // namespace quenlarch

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quenlarch;
  static const HomeScreenBadgeEnvironment env(currentTag());
  static const HomeScreenBadgeEnvironment envWithoutMask(
      HomeScreenBadgeInstallTag{ByteString{'Q', 'L', 'N', 'O', 'M', 'A', 'S', 'K'}, std::nullopt});

  const std::span<const std::uint8_t> record(data, size);
  checkRoundTrip(record, knownTag(), env);
  checkRoundTrip(record, zeroInstallTag(), env);  // a caller without an installation of its own
  checkRoundTrip(record, knownTag(), envWithoutMask);
  return 0;
}
