// The badge record stored in the shared keychain item's generic attribute, shared with the
// containing app. Exactly 16 bytes:
//
//   offset size field
//   0      2    magic "TB" (0x54 0x42)
//   2      1    version: written as 3; 2 and 3 are read
//   3      1    enabled: 0 = counting off, 1 = on; other values are invalid
//   4      4    count, unsigned 32-bit little-endian; in version 3 byte i is XORed with mask[i]
//   8      8    install tag bytes of the installation the record belongs to
//
// Valid shapes: enabled (1, any count, a tag other than the zero tag) and disabled (0, count 0,
// the zero tag). The codec also holds the one rule for whose counter a record is.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "badge/badge_environment.h"
#include "badge/install_tag.h"

namespace quenlarch {

inline constexpr std::size_t kBadgeRecordSize = 16;

struct HomeScreenBadgeState {
  bool isEnabled = false;
  std::uint32_t count = 0;
  HomeScreenBadgeInstallTag installTag;  // with its count mask when known
};

// None for any malformed or inconsistent record. A well-formed record of an installation whose
// mask is unknown decodes with a zero mask (its count comes out masked) and a tag without mask;
// callers reject it by comparing tags.
std::optional<HomeScreenBadgeState> decodeBadgeRecord(std::span<const std::uint8_t> data,
                                                      const HomeScreenBadgeInstallTag& knownTag,
                                                      const HomeScreenBadgeEnvironment& env);

// The first rule a record breaks, in the order the decoder checks them.
enum class BadgeRecordDefect {
  kNone,
  kWrongSize,
  kBadMagic,
  kUnknownVersion,
  kBadEnabledByte,
  kEnabledWithZeroTag,
  kDisabledNotEmpty,  // a disabled record with a count or a tag
};

struct BadgeRecordDecoding {
  std::optional<HomeScreenBadgeState> state;            // none for an invalid record
  BadgeRecordDefect defect = BadgeRecordDefect::kNone;  // why `state` is none
  // False when the count is still masked: a version-3 record of an installation whose mask is
  // unknown. Such a count means nothing and is not to be shown.
  bool countKnown = false;
};

// decodeBadgeRecord, saying why it refused a record and whether the count could be unmasked.
BadgeRecordDecoding decodeBadgeRecordWithReason(std::span<const std::uint8_t> data,
                                                const HomeScreenBadgeInstallTag& knownTag,
                                                const HomeScreenBadgeEnvironment& env);
// The defect in words, for error lines; `data` is the refused record.
std::string describeBadgeRecordDefect(BadgeRecordDefect defect, std::span<const std::uint8_t> data);

// Whether `state` is the live counter of the installation `knownTag`: enabled, carrying that tag,
// and the known tag is not the zero tag. The one place this rule is written.
bool isOwnedByInstallation(const HomeScreenBadgeState& state,
                           const HomeScreenBadgeInstallTag& knownTag);

// Always version 3; does not validate. 16 bytes for any 8-byte tag.
ByteString encodeBadgeRecord(const HomeScreenBadgeState& state,
                             const HomeScreenBadgeEnvironment& env);

}  // namespace quenlarch
