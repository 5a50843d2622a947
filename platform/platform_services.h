// The platform services handed to an extension's principal class when the runtime creates it.
// They live for the rest of the process.
#pragma once

#include "platform/bundle.h"
#include "platform/keychain.h"
#include "platform/outcome_log.h"
#include "platform/random_source.h"
#include "platform/sha256.h"
#include "platform/sleeper.h"

namespace quenlarch {

struct PlatformServices {
  const Bundle& mainBundle;
  const Sha256& sha256;
  Keychain& keychain;
  Sleeper& sleeper;
  RandomSource& random;
  OutcomeLog& outcomeLog;
};

}  // namespace quenlarch
