// Counting pass-through keychain.
#include "bench/counting_keychain.h"

namespace quenlarch::bench {

KeychainMatch CountingKeychain::copyMatching(const KeychainQuery& query) {
  ++calls_;
  KeychainMatch match = inner_.copyMatching(query);
  noted(match.status);
  return match;
}

OSStatus CountingKeychain::update(const KeychainQuery& query,
                                  const KeychainQuery& attributesToUpdate) {
  ++calls_;
  return noted(inner_.update(query, attributesToUpdate));
}

OSStatus CountingKeychain::add(const KeychainQuery& attributes) {
  ++calls_;
  return noted(inner_.add(attributes));
}

OSStatus CountingKeychain::remove(const KeychainQuery& query) {
  ++calls_;
  return noted(inner_.remove(query));
}

}  // namespace quenlarch::bench
