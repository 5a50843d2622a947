// Provider tokens: ES256 JSON Web Tokens signed here with OpenSSL, checked for signature, key id,
// algorithm, team and age; and the key files --provider-key reads.
#include "tools/notification_host/provider/provider_token.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/es256_token.h"
#include "tests/support/temp_dir.h"

namespace quenlarch::notification_host::provider {
namespace {

using nlohmann::json;
constexpr std::int64_t kNow = 1'700'000'000;
constexpr const char* kTeam = "TEAM123456";

class ProviderTokenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(dir_ / "k1.pem") << testing::keyPem(key_.get(), false);
    auto loaded = loadProviderKey("K1=" + dir_ / "k1.pem");
    ASSERT_TRUE(loaded) << loaded.error();
    verifier_ = std::make_unique<ProviderTokenVerifier>(std::vector<ProviderKey>{*loaded});
  }

  std::string bearer(const json& header, const json& claims, EVP_PKEY* key = nullptr) {
    return "bearer " + testing::es256Token(header, claims, key != nullptr ? key : key_.get());
  }
  std::string reasonFor(const std::string* authorization, std::int64_t now = kNow) {
    auto verified = verifier_->verify(authorization, kTeam, now);
    return verified ? "" : verified.error().reason;
  }

  testing::TempDir dir_;
  std::shared_ptr<EVP_PKEY> key_ = testing::newEcKey();
  std::unique_ptr<ProviderTokenVerifier> verifier_;
};

TEST_F(ProviderTokenTest, EachWayATokenFails) {
  const json header{{"alg", "ES256"}, {"kid", "K1"}, {"typ", "JWT"}};
  const json claims{{"iss", kTeam}, {"iat", kNow - 10}};
  const std::shared_ptr<EVP_PKEY> otherKey = testing::newEcKey();
  std::string flipped = bearer(header, claims);
  flipped[flipped.size() - 5] = flipped[flipped.size() - 5] == 'A' ? 'B' : 'A';
  struct Case {
    const char* name;
    std::string authorization;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"valid", bearer(header, claims), ""},
      {"scheme in any case", "Bearer " + testing::es256Token(header, claims, key_.get()), ""},
      {"an hour old", bearer(header, {{"iss", kTeam}, {"iat", kNow - 3600}}), ""},
      {"older", bearer(header, {{"iss", kTeam}, {"iat", kNow - 3601}}), "ExpiredProviderToken"},
      {"a minute ahead", bearer(header, {{"iss", kTeam}, {"iat", kNow + 60}}), ""},
      {"further ahead", bearer(header, {{"iss", kTeam}, {"iat", kNow + 61}}),
       "InvalidProviderToken"},
      {"unknown key id", bearer({{"alg", "ES256"}, {"kid", "K2"}}, claims), "InvalidProviderToken"},
      {"no key id", bearer({{"alg", "ES256"}}, claims), "InvalidProviderToken"},
      {"another algorithm", bearer({{"alg", "HS256"}, {"kid", "K1"}}, claims),
       "InvalidProviderToken"},
      {"signed by another key", bearer(header, claims, otherKey.get()), "InvalidProviderToken"},
      {"signature altered", flipped, "InvalidProviderToken"},
      {"another team", bearer(header, {{"iss", "OTHERTEAM1"}, {"iat", kNow}}),
       "InvalidProviderToken"},
      {"iat not a number", bearer(header, {{"iss", kTeam}, {"iat", "1700000000"}}),
       "InvalidProviderToken"},
      {"no iss", bearer(header, {{"iat", kNow}}), "InvalidProviderToken"},
      {"two parts", "bearer abc.def", "InvalidProviderToken"},
      {"four parts", bearer(header, claims) + ".x", "InvalidProviderToken"},
      {"padded base64", bearer(header, claims) + "==", "InvalidProviderToken"},
      {"not base64", "bearer a*b.c.d", "InvalidProviderToken"},
      {"another scheme", "Basic dXNlcjpwYXNz", "InvalidProviderToken"},
      {"empty token", "bearer ", "MissingProviderToken"},
      {"empty header", "", "MissingProviderToken"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();  // each token on its own: no earlier one was taken
    EXPECT_EQ(reasonFor(&c.authorization), c.reason);
  }
  EXPECT_EQ(reasonFor(nullptr), "MissingProviderToken");
}

// New tokens for a team and key, one after the other on a clock the test moves: a newer one within
// 20 minutes of the last one taken is refused, and a refused one does not restart the window.
TEST_F(ProviderTokenTest, ANewTokenIsTakenAtMostOnceInTwentyMinutes) {
  const std::shared_ptr<EVP_PKEY> key2 = testing::newEcKey();
  std::ofstream(dir_ / "k2.pem") << testing::keyPem(key2.get(), false);
  auto loaded2 = loadProviderKey("K2=" + dir_ / "k2.pem");
  ASSERT_TRUE(loaded2) << loaded2.error();
  ProviderTokenVerifier verifier({*loadProviderKey("K1=" + dir_ / "k1.pem"), *loaded2});
  struct Step {
    std::int64_t now;  // seconds after kNow
    std::int64_t iat;  // seconds after kNow
    const char* kid;
    const char* reason;
  };
  const std::vector<Step> steps = {
      {0, 0, "K1", ""},
      {30, 0, "K1", ""},   // the same token again
      {40, 40, "K1", ""},  // a pool's next connection, signed moments later
      {90, 90, "K1", "TooManyProviderTokenUpdates"},
      {90, 90, "K2", ""},  // another key has a window of its own
      {1199, 1199, "K1", "TooManyProviderTokenUpdates"},
      {1200, 1150, "K1", ""},  // 20 minutes after the last one taken
      {1300, 0, "K1", ""},     // an older token, still within its hour
      {1300, 1290, "K1", "TooManyProviderTokenUpdates"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(std::to_string(step.now) + " " + step.kid);
    const std::string token =
        "bearer " + testing::es256Token({{"alg", "ES256"}, {"kid", step.kid}},
                                        {{"iss", kTeam}, {"iat", kNow + step.iat}},
                                        step.kid == std::string("K1") ? key_.get() : key2.get());
    auto verified = verifier.verify(&token, kTeam, kNow + step.now);
    EXPECT_EQ(verified ? "" : verified.error().reason, step.reason);
    if (!verified) {
      EXPECT_EQ(verified.error().status, 429u);
    }
  }
}

// A verified token is remembered, so that the signature is checked once per token; it must
// still age out and still speak only for its own team.
TEST_F(ProviderTokenTest, ARememberedTokenStillAgesAndKeepsItsTeam) {
  const std::string token =
      bearer({{"alg", "ES256"}, {"kid", "K1"}}, {{"iss", kTeam}, {"iat", kNow}});
  EXPECT_EQ(reasonFor(&token), "");
  EXPECT_EQ(reasonFor(&token, kNow + 3600), "");
  EXPECT_EQ(reasonFor(&token, kNow + 3601), "ExpiredProviderToken");
  EXPECT_EQ(reasonFor(&token), "");
  auto otherTeam = verifier_->verify(&token, "OTHERTEAM1", kNow);
  ASSERT_FALSE(otherTeam);
  EXPECT_EQ(otherTeam.error().reason, "InvalidProviderToken");
}

TEST_F(ProviderTokenTest, KeyFilesAreP256PublicOrPrivateKeys) {
  std::ofstream(dir_ / "private.pem") << testing::keyPem(key_.get(), true);
  std::ofstream(dir_ / "p384.pem") << testing::keyPem(testing::newEcKey("P-384").get(), false);
  std::ofstream(dir_ / "junk.pem") << "-----BEGIN PUBLIC KEY-----\nnope\n";
  struct Case {
    std::string keyOption;
    bool loads;
  };
  const std::vector<Case> cases = {
      {"K=" + dir_ / "private.pem", true}, {"K=" + dir_ / "p384.pem", false},
      {"K=" + dir_ / "junk.pem", false},   {"K=" + dir_ / "missing.pem", false},
      {"K=" + dir_.path(), false},         {dir_ / "private.pem", false},
      {"=" + dir_ / "private.pem", false}, {"K=", false},
  };
  for (const Case& c : cases) {
    auto loaded = loadProviderKey(c.keyOption);
    EXPECT_EQ(loaded.has_value(), c.loads) << c.keyOption << ": " << (loaded ? "" : loaded.error());
  }
  // The private key's public half verifies what the key signs.
  auto fromPrivate = loadProviderKey("K1=" + dir_ / "private.pem");
  ASSERT_TRUE(fromPrivate);
  ProviderTokenVerifier verifier({*fromPrivate});
  const std::string token =
      bearer({{"alg", "ES256"}, {"kid", "K1"}}, {{"iss", kTeam}, {"iat", kNow}});
  EXPECT_TRUE(verifier.verify(&token, kTeam, kNow));
}

}  // namespace
}  // namespace quenlarch::notification_host::provider
