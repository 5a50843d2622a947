// ES256 token checks with OpenSSL: base64url through EVP_DecodeBlock, the raw r || s signature
// turned into the DER ECDSA_SIG that EVP_DigestVerify takes.
#include "tools/notification_host/provider/provider_token.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/pem.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <nlohmann/json.hpp>
#include <optional>

#include "platform/linux/file_io.h"

namespace quenlarch::notification_host::provider {
namespace {

constexpr std::size_t kMaxKeyFileBytes = 64 * 1024;
constexpr std::size_t kRememberedTokens = 16;
constexpr std::size_t kSignatureBytes = 64;  // r and s, 32 bytes each

// Base64url (no padding) decoded; none when `text` holds anything else.
std::optional<std::string> fromBase64Url(std::string_view text) {
  if (text.size() % 4 == 1) return std::nullopt;
  std::string standard;
  standard.reserve(text.size() + 3);
  for (char c : text) {
    if (c == '-') {
      standard.push_back('+');
    } else if (c == '_') {
      standard.push_back('/');
    } else if (std::isalnum(static_cast<unsigned char>(c)) != 0) {
      standard.push_back(c);
    } else {
      return std::nullopt;
    }
  }
  const std::size_t padding = (4 - standard.size() % 4) % 4;
  standard.append(padding, '=');
  std::string bytes(standard.size() / 4 * 3, '\0');
  const int decoded = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                      reinterpret_cast<const unsigned char*>(standard.data()),
                                      static_cast<int>(standard.size()));
  if (decoded < 0) return std::nullopt;
  // EVP_DecodeBlock counts the zero bytes that stand for the padding.
  bytes.resize(static_cast<std::size_t>(decoded) - padding);
  return bytes;
}

std::optional<nlohmann::json> jsonObjectPart(std::string_view part) {
  std::optional<std::string> text = fromBase64Url(part);
  if (!text) return std::nullopt;
  nlohmann::json json = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
  if (!json.is_object()) return std::nullopt;
  return json;
}

bool signatureMatches(EVP_PKEY* key, std::string_view signedText, std::string_view signature) {
  ECDSA_SIG* sig = ECDSA_SIG_new();
  if (sig == nullptr) return false;
  const auto* raw = reinterpret_cast<const unsigned char*>(signature.data());
  BIGNUM* r = BN_bin2bn(raw, kSignatureBytes / 2, nullptr);
  BIGNUM* s = BN_bin2bn(raw + kSignatureBytes / 2, kSignatureBytes / 2, nullptr);
  if (r == nullptr || s == nullptr || ECDSA_SIG_set0(sig, r, s) != 1) {
    BN_free(r);
    BN_free(s);
    ECDSA_SIG_free(sig);
    return false;
  }
  unsigned char* der = nullptr;
  const int derLength = i2d_ECDSA_SIG(sig, &der);
  ECDSA_SIG_free(sig);
  if (derLength <= 0) return false;
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  const bool matches = context != nullptr &&
                       EVP_DigestVerifyInit(context, nullptr, EVP_sha256(), nullptr, key) == 1 &&
                       EVP_DigestVerify(context, der, static_cast<std::size_t>(derLength),
                                        reinterpret_cast<const unsigned char*>(signedText.data()),
                                        signedText.size()) == 1;
  EVP_MD_CTX_free(context);
  OPENSSL_free(der);
  return matches;
}

bool isP256Key(EVP_PKEY* key) {
  std::array<char, 64> group{};
  return EVP_PKEY_is_a(key, "EC") == 1 &&
         EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group.data(), group.size(),
                                        nullptr) == 1 &&
         std::string_view(group.data()) == "prime256v1";
}

TokenRefusal invalid(std::string message) { return {"InvalidProviderToken", std::move(message)}; }

}  // namespace

Expected<ProviderKey> loadProviderKey(std::string_view keyOption) {
  const std::size_t equals = keyOption.find('=');
  if (equals == std::string_view::npos || equals == 0 || equals + 1 == keyOption.size()) {
    return unexpected("--provider-key takes KEYID=PEMFILE, not \"" + std::string(keyOption) + "\"");
  }
  const std::string keyId(keyOption.substr(0, equals));
  const std::string path(keyOption.substr(equals + 1));
  FileContents text = readRegularFile(path, kMaxKeyFileBytes);
  if (text.error) {
    return unexpected("cannot read " + path + ": " + text.error->message(kMaxKeyFileBytes));
  }
  BIO* bio = BIO_new_mem_buf(text.bytes.data(), static_cast<int>(text.bytes.size()));
  EVP_PKEY* key = bio == nullptr ? nullptr : PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
  if (key == nullptr && bio != nullptr && BIO_reset(bio) == 1) {
    key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
  }
  BIO_free(bio);
  if (key == nullptr) {
    return unexpected(path + " holds no PEM public or private key (for key id " + keyId + ")");
  }
  std::shared_ptr<EVP_PKEY> owned(key, EVP_PKEY_free);
  if (!isP256Key(key)) {
    return unexpected("the key in " + path + " is not an EC P-256 key, which ES256 needs");
  }
  return ProviderKey{keyId, std::move(owned)};
}

ProviderTokenVerifier::ProviderTokenVerifier(std::vector<ProviderKey> keys) {
  for (ProviderKey& key : keys) keys_[key.keyId] = std::move(key.key);
}

Expected<ProviderTokenVerifier::Verified, TokenRefusal> ProviderTokenVerifier::check(
    std::string_view token) {
  const std::size_t firstDot = token.find('.');
  const std::size_t secondDot = token.rfind('.');
  if (firstDot == std::string_view::npos || firstDot == secondDot) {
    return unexpected(invalid("the token is not header.claims.signature"));
  }
  std::optional<nlohmann::json> header = jsonObjectPart(token.substr(0, firstDot));
  std::optional<nlohmann::json> claims =
      jsonObjectPart(token.substr(firstDot + 1, secondDot - firstDot - 1));
  std::optional<std::string> signature = fromBase64Url(token.substr(secondDot + 1));
  if (!header || !claims || !signature) {
    return unexpected(invalid("the token's parts are not base64url JSON objects and bytes"));
  }
  if (header->value("alg", nlohmann::json()) != "ES256") {
    return unexpected(invalid("the token is not signed with ES256"));
  }
  auto kid = header->find("kid");
  auto key =
      kid != header->end() && kid->is_string() ? keys_.find(kid->get<std::string>()) : keys_.end();
  if (key == keys_.end()) {
    const std::string named =
        kid != header->end() && kid->is_string()
            ? "key id " + nlohmann::json(kid->get<std::string>())
                              .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
            : std::string("no key id");
    return unexpected(invalid("the token names " + named + ", not one of serve's --provider-key"));
  }
  auto iss = claims->find("iss");
  auto iat = claims->find("iat");
  if (iss == claims->end() || !iss->is_string() || iat == claims->end() ||
      !iat->is_number_integer()) {
    return unexpected(invalid("the token's claims lack iss or an integer iat"));
  }
  if (signature->size() != kSignatureBytes ||
      !signatureMatches(key->second.get(), token.substr(0, secondDot), *signature)) {
    return unexpected(invalid("the token's signature does not verify with key " + key->first));
  }
  return Verified{iss->get<std::string>(), key->first, iat->get<std::int64_t>()};
}

Expected<void, TokenRefusal> ProviderTokenVerifier::verify(const std::string* authorization,
                                                           std::string_view team,
                                                           std::int64_t nowEpochSeconds) {
  std::string_view value = authorization == nullptr ? std::string_view() : *authorization;
  constexpr std::string_view kScheme = "bearer ";
  const bool bearer = value.size() >= kScheme.size() &&
                      std::equal(kScheme.begin(), kScheme.end(), value.begin(), [](char a, char b) {
                        return a == std::tolower(static_cast<unsigned char>(b));
                      });
  if (value.empty() || (bearer && value.size() == kScheme.size())) {
    return unexpected(TokenRefusal{"MissingProviderToken", "the request has no provider token"});
  }
  if (!bearer) return unexpected(invalid("authorization is not \"bearer <token>\""));
  const std::string_view token = value.substr(kScheme.size());

  auto remembered = remembered_.find(token);
  Verified verified;
  if (remembered != remembered_.end()) {
    verified = remembered->second;
  } else {
    auto checked = check(token);
    if (!checked) return unexpected(checked.error());
    verified = *checked;
  }
  if (verified.team != team) {
    return unexpected(invalid(
        team.empty() ? "team " + verified.team + " cannot push: no device is registered"
                     : "team " + verified.team + " is not the app's team " + std::string(team)));
  }
  if (verified.issuedAt > nowEpochSeconds + kMaxSkewSeconds) {
    return unexpected(invalid("the token is issued in the future"));
  }
  if (verified.issuedAt < nowEpochSeconds - kMaxAgeSeconds) {
    remembered_.erase(std::string(token));
    return unexpected(TokenRefusal{"ExpiredProviderToken", "the token is more than an hour old"});
  }
  if (auto taken = takeUpdate(verified, nowEpochSeconds); !taken) return taken;
  if (remembered == remembered_.end()) {
    if (remembered_.size() >= kRememberedTokens) {
      std::erase_if(remembered_, [&](const auto& entry) {
        return entry.second.issuedAt < nowEpochSeconds - kMaxAgeSeconds;
      });
    }
    if (remembered_.size() >= kRememberedTokens) remembered_.erase(remembered_.begin());
    remembered_.emplace(std::string(token), verified);
  }
  return {};
}

Expected<void, TokenRefusal> ProviderTokenVerifier::takeUpdate(const Verified& verified,
                                                               std::int64_t nowEpochSeconds) {
  auto [last, first] = lastTaken_.try_emplace({verified.team, verified.keyId},
                                              LastTaken{verified.issuedAt, nowEpochSeconds});
  if (first || verified.issuedAt <= last->second.issuedAt + kSameUpdateSeconds) return {};
  const std::int64_t since = nowEpochSeconds - last->second.takenAt;
  if (since < kMinUpdateSeconds) {
    return unexpected(TokenRefusal{"TooManyProviderTokenUpdates",
                                   "a new token for team " + verified.team + " and key " +
                                       verified.keyId + " " + std::to_string(since) +
                                       " s after the last one; a new token may come every " +
                                       std::to_string(kMinUpdateSeconds / 60) + " minutes",
                                   429});
  }
  last->second = LastTaken{verified.issuedAt, nowEpochSeconds};
  return {};
}

}  // namespace quenlarch::notification_host::provider
