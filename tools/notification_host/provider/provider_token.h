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
// and a signature check costs more than the rest of a request. A provider that signs a new token
// (a newer iat) for the same team and key within 20 minutes of the last one taken is answered
// TooManyProviderTokenUpdates; the window is kept in memory per team and key id (the last iat
// taken and the service's clock when it was taken), so it starts empty with each serve. The same
// token, an older one still within its hour, or one issued within a minute of the last one taken
// (a pool's connections each sign their own as they start) is always taken. Not thread-safe: the
// endpoint runs on one event loop.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/linux/expected.h"

namespace quenlarch::notification_host::provider {

// One refused token: the provider API's reason (MissingProviderToken, InvalidProviderToken,
// ExpiredProviderToken: status 403; TooManyProviderTokenUpdates: 429) and a line for the
// service's log.
struct TokenRefusal {
  std::string reason;
  std::string message;
  unsigned status = 403;
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
  // A new token (a newer iat) for a team and key is taken at most once in this many seconds.
  static constexpr std::int64_t kMinUpdateSeconds = 20 * 60;
  // Tokens issued this close to the last one taken count as the same update: a provider's pool of
  // connections signs one token each as it starts, within moments of each other.
  static constexpr std::int64_t kSameUpdateSeconds = 60;

  explicit ProviderTokenVerifier(std::vector<ProviderKey> keys);

  // Checks the value of the request's authorization header (none when it had none) for `team`
  // at `nowEpochSeconds`.
  Expected<void, TokenRefusal> verify(const std::string* authorization, std::string_view team,
                                      std::int64_t nowEpochSeconds);

 private:
  struct Verified {
    std::string team;
    std::string keyId;
    std::int64_t issuedAt;
  };
  // The last token taken for a team and key: its iat, and the service's time when it was taken.
  struct LastTaken {
    std::int64_t issuedAt;
    std::int64_t takenAt;
  };
  // Refuses a newer token within kMinUpdateSeconds of the last one taken; else records it.
  Expected<void, TokenRefusal> takeUpdate(const Verified& verified, std::int64_t nowEpochSeconds);
  // Checks everything but the token's age; answers the claims it carries.
  Expected<Verified, TokenRefusal> check(std::string_view token);

  std::map<std::string, std::shared_ptr<EVP_PKEY>, std::less<>> keys_;
  std::map<std::string, Verified, std::less<>> remembered_;
  // One entry per team and configured key at most: only the app's team gets this far.
  std::map<std::pair<std::string, std::string>, LastTaken> lastTaken_;
};

}  // namespace quenlarch::notification_host::provider
