// Provider tokens made the way a provider's server makes them (ES256 JSON Web Tokens signed with
// OpenSSL), and the key files the endpoint reads, for the token and endpoint tests.
#pragma once

#include <openssl/evp.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

namespace quenlarch::testing {

// A new EC key on `curve` ("P-256", "P-384").
std::shared_ptr<EVP_PKEY> newEcKey(const char* curve = "P-256");

// The PEM text of the key's private or public half.
std::string keyPem(EVP_PKEY* key, bool privateHalf);

// base64url(header) "." base64url(claims) "." base64url(r || s), signed with `key`.
std::string es256Token(const nlohmann::json& header, const nlohmann::json& claims, EVP_PKEY* key);

}  // namespace quenlarch::testing
