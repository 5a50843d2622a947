// Install-tag derivation: which path is hashed for each bundle layout, the digests themselves, and
// mask resolution against known and current tags.
#include "badge/install_tag.h"

#include <gtest/gtest.h>

#include "badge/badge_environment.h"
#include "platform/hex.h"
#include "platform/linux/openssl_sha256.h"
#include "tests/support/fakes.h"

namespace quenlarch {
namespace {

struct PathCase {
  const char* bundle;
  const char* hashed;
};

class InstallTagPathTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(InstallTagPathTest, HashesTheAppBundlePath) {
  EXPECT_EQ(installTagPath(GetParam().bundle), GetParam().hashed);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, InstallTagPathTest,
    ::testing::Values(
        PathCase{"/private/var/containers/Bundle/Application/ID/App.app/PlugIns/Ext.appex",
                 "/var/containers/Bundle/Application/ID/App.app"},
        PathCase{"/Applications/App.app/Contents/PlugIns/Ext.appex", "/Applications/App.app"},
        PathCase{"/Applications/App.app/Contents/PlugIns/Ext.appex/", "/Applications/App.app"},
        PathCase{"/Applications/App.app", "/Applications/App.app"},
        PathCase{"/Applications/App.app/", "/Applications/App.app"},
        PathCase{"/private/tmp/App.app", "/private/tmp/App.app"},
        PathCase{"/private/varnish/App.app", "/private/varnish/App.app"},
        PathCase{"/Applications/App.app/Contents/PlugIns/Ext.APPEX",
                 "/Applications/App.app/Contents/PlugIns/Ext.APPEX"},
        PathCase{"/", "/"}, PathCase{"//", "/"},
        PathCase{"//Applications//./App.app/Contents/../Contents/PlugIns//Ext.appex",
                 "/Applications/App.app"},
        PathCase{"/../Applications/App.app", "/Applications/App.app"},
        // Without a "Contents" folder only the extension and its folder go.
        PathCase{"/Apps/App.app/PlugIns/Ext.appex", "/Apps/App.app"}, PathCase{"/Ext.appex", "/"},
        PathCase{"/Apps/.appex", "/Apps/.appex"}));

TEST(InstallTagTest, DigestsMatchSha256OfThePath) {
  OpenSslSha256 sha;
  struct {
    const char* bundle;
    const char* tag;
    const char* mask;
  } cases[] = {
      {"/Applications/App.app/Contents/PlugIns/Ext.appex", "097c279ff638d91f", "d26a20d3"},
      {"/private/var/containers/Bundle/Application/ID/App.app/PlugIns/Ext.appex",
       "bc299dcdfe14ba01", "9210ed23"},
      {"/", "8a5edab282632443", "9ccd0274"},
  };
  for (const auto& c : cases) {
    HomeScreenBadgeInstallTag tag = makeInstallTag(c.bundle, sha);
    EXPECT_EQ(hexEncode(tag.bytes), c.tag) << c.bundle;
    ASSERT_TRUE(tag.countMask.has_value());
    EXPECT_EQ(hexEncode(*tag.countMask), c.mask) << c.bundle;
  }
}

TEST(InstallTagTest, AppAndItsExtensionDeriveTheSameTagAndMask) {
  OpenSslSha256 sha;
  HomeScreenBadgeInstallTag app = makeInstallTag("/Applications/App.app", sha);
  HomeScreenBadgeInstallTag ext =
      makeInstallTag("/Applications/App.app/Contents/PlugIns/E.appex", sha);
  EXPECT_EQ(app.bytes, ext.bytes);
  EXPECT_EQ(app.countMask, ext.countMask);
}

// A digest whose first 8 bytes are zero must not yield the zero tag.
class ZeroPrefixSha256 final : public Sha256 {
 public:
  Sha256Digest digest(std::span<const std::uint8_t>) const override {
    Sha256Digest d{};
    d[8] = 0xAB;
    return d;
  }
};

TEST(InstallTagTest, AllZeroDigestPrefixBecomesNonZeroTag) {
  ZeroPrefixSha256 sha;
  HomeScreenBadgeInstallTag tag = makeInstallTag("/Applications/App.app", sha);
  EXPECT_EQ(hexEncode(tag.bytes), "0000000000000001");
  EXPECT_FALSE(isZeroInstallTag(tag));
}

TEST(InstallTagTest, EqualityIgnoresTheMask) {
  HomeScreenBadgeInstallTag withMask{ByteString(8, 7), ByteString{1, 2, 3, 4}};
  HomeScreenBadgeInstallTag without{ByteString(8, 7), std::nullopt};
  EXPECT_EQ(withMask, without);
  EXPECT_FALSE(withMask == (HomeScreenBadgeInstallTag{ByteString(7, 7), std::nullopt}));
  EXPECT_TRUE(isZeroInstallTag({ByteString(8, 0), ByteString{9, 9, 9, 9}}));
}

TEST(InstallTagTest, MaskResolutionPrefersOwnThenKnownThenCurrent) {
  const HomeScreenBadgeInstallTag current{ByteString(8, 0xC1), ByteString{0xC, 0xC, 0xC, 0xC}};
  const HomeScreenBadgeInstallTag known{ByteString(8, 0xA1), ByteString{0xA, 0xA, 0xA, 0xA}};
  HomeScreenBadgeEnvironment env(current);
  auto bare = [](std::uint8_t b) {
    return HomeScreenBadgeInstallTag{ByteString(8, b), std::nullopt};
  };

  EXPECT_EQ(resolvedCountMask({ByteString(8, 0xA1), ByteString{1, 1, 1, 1}}, known, env),
            (ByteString{1, 1, 1, 1}));
  EXPECT_EQ(resolvedCountMask(bare(0xA1), known, env), *known.countMask);
  EXPECT_EQ(resolvedCountMask(bare(0xC1), known, env), *current.countMask);
  EXPECT_EQ(resolvedCountMask(bare(0x55), known, env), ByteString(4, 0));

  ByteString recordTag(8, 0xA1);
  EXPECT_EQ(resolvedInstallTag(recordTag, known, env).countMask, known.countMask);
  recordTag.assign(8, 0xC1);
  EXPECT_EQ(resolvedInstallTag(recordTag, known, env).countMask, current.countMask);
  recordTag.assign(8, 0x55);
  EXPECT_FALSE(resolvedInstallTag(recordTag, known, env).countMask.has_value());
  // A known tag without a mask is passed over for the current tag.
  recordTag.assign(8, 0xC1);
  EXPECT_EQ(resolvedInstallTag(recordTag, bare(0xC1), env).countMask, current.countMask);
}

TEST(InstallTagTest, CurrentTagIsDerivedOnceFromTheMainBundle) {
  OpenSslSha256 sha;
  testing::FakeBundle bundle("/Applications/App.app/Contents/PlugIns/Ext.appex");
  HomeScreenBadgeEnvironment env(bundle, sha);
  const HomeScreenBadgeInstallTag* first = &env.currentInstallTag();
  EXPECT_EQ(hexEncode(first->bytes), "097c279ff638d91f");
  EXPECT_EQ(first, &env.currentInstallTag());
}

}  // namespace
}  // namespace quenlarch
