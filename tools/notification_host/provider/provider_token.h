// Token authentication at the provider endpoint: "authorization: bearer <JWT>", a JSON Web Token
// signed with ES256 (ECDSA on P-256 with SHA-256) by a key the service knows by its key id.
//
//   header  {"alg": "ES256", "kid": KEYID}          other members ("typ") are ignored
//   claims  {"iss": TEAMID, "iat": SECONDS}         iss: the team the app was installed with;
//                                                   iat: at most an hour old, at most a minute
//                                                   ahead of the service's clock
//   signature  the 64 bytes r || s, base64url      checked with OpenSSL over "header.claims"
//
// Keys come from `serve --provider-key KEYID=PEM` (repeatable): an EC P-256 public key, or a
// private key whose public half is taken. Verified tokens are remembered (a few, for as long as
// their iat allows), because a provider sends the same token with every push for up to an hour
// and a signature check costs more than the rest of a request. Not thread-safe: the endpoint
// runs on one event loop.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/expected.h"

namespace quenlarch::notification_host::provider {

// One refused token: the provider API's reason (MissingProviderToken, InvalidProviderToken,
// ExpiredProviderToken; all status 403) and a line for the service's log.
struct TokenRefusal {
  std::string reason;
  std::string message;
};

// The key for one key id, from a --provider-key value ("KEYID=PATH"). Refused with one line when
// the value, the file or the key is not usable (the key must be an EC key on P-256).
struct ProviderKey {
  std::string keyId;
  std::shared_ptr<EVP_PKEY> key;
};
Expected<ProviderKey> loadProviderKey(std::string_view keyOption);

class ProviderTokenVerifier {
 public:
  static constexpr std::int64_t kMaxAgeSeconds = 3600;
  static constexpr std::int64_t kMaxSkewSeconds = 60;

  explicit ProviderTokenVerifier(std::vector<ProviderKey> keys);

  // Checks the value of the request's authorization header (none when it had none) for `team`
  // at `nowEpochSeconds`.
  Expected<void, TokenRefusal> verify(const std::string* authorization, std::string_view team,
                                      std::int64_t nowEpochSeconds);

 private:
  struct Verified {
    std::string team;
    std::int64_t issuedAt;
  };
  // Checks everything but the token's age; answers the claims it carries.
  Expected<Verified, TokenRefusal> check(std::string_view token);

  std::map<std::string, std::shared_ptr<EVP_PKEY>, std::less<>> keys_;
  std::map<std::string, Verified, std::less<>> remembered_;
};

}  // namespace quenlarch::notification_host::provider
