// tag: the install tag of a bundle; decode/encode: badge records as hex. Bundle paths are taken in
// their canonical form, as install and the extension take them.
#include "tools/badge_app/record_commands.h"

#include <memory>

#include "badge/badge_environment.h"
#include "badge/badge_record.h"
#include "badge/install_tag.h"
#include "platform/hex.h"
#include "platform/linux/openssl_sha256.h"
#include "tools/badge_app/bundle_location.h"
#include "tools/badge_app/command_output.h"
#include "tools/badge_app/option_checks.h"

namespace quenlarch::badge_app {
namespace {

using tools::kExitFailed;
using tools::kExitUsage;

struct RecordOptions {
  std::string tagPath;
  std::string decodeHex;
  std::optional<std::string> decodeBundle;
  std::optional<std::uint32_t> encodeCount;
  std::optional<std::string> encodeBundle;
  bool encodeDisabled = false;
};

// The canonical form of the bundle path `path` (bundle_location.h).
CommandStep<std::string> canonicalBundle(const std::string& path) {
  std::optional<std::string> canonical = canonicalBundlePath(path);
  if (!canonical) return failure(kExitUsage, "cannot resolve the path '" + path + "'");
  return std::move(*canonical);
}

CommandStep<HomeScreenBadgeInstallTag> tagOfBundle(const std::string& path) {
  CommandStep<std::string> canonical = canonicalBundle(path);
  if (!canonical) return unexpected(canonical.error());
  OpenSslSha256 sha256;
  return makeInstallTag(*canonical, sha256);
}

int runTag(const RecordOptions& o) {
  CommandStep<std::string> canonical = canonicalBundle(o.tagPath);
  if (!canonical) return report(canonical.error());
  OpenSslSha256 sha256;
  const HomeScreenBadgeInstallTag tag = makeInstallTag(*canonical, sha256);
  return emitJson({{"path", installTagPath(*canonical)},
                   {"installTag", hexEncode(tag.bytes)},
                   {"countMask", hexEncode(*tag.countMask)}});
}

int runDecode(const RecordOptions& o) {
  const ByteString record = *hexDecode(o.decodeHex);
  HomeScreenBadgeInstallTag known = zeroInstallTag();
  if (o.decodeBundle) {
    CommandStep<HomeScreenBadgeInstallTag> tag = tagOfBundle(*o.decodeBundle);
    if (!tag) return report(tag.error());
    known = std::move(*tag);
  }
  HomeScreenBadgeEnvironment env(known);
  BadgeRecordDecoding decoded = decodeBadgeRecordWithReason(record, known, env);
  if (!decoded.state) {
    return console().fail(kExitFailed,
                          "invalid record: " + describeBadgeRecordDefect(decoded.defect, record));
  }
  nlohmann::ordered_json json = describeRecord(record, decoded, known);
  json.erase("record");
  return emitJson(json);
}

int runEncode(const RecordOptions& o) {
  HomeScreenBadgeEnvironment env(zeroInstallTag());
  if (o.encodeDisabled) {
    return emitLine(hexEncode(encodeBadgeRecord({false, 0, zeroInstallTag()}, env)));
  }
  if (!o.encodeCount || !o.encodeBundle) {
    return console().fail(kExitUsage, "encode needs --count N and --bundle PATH, or --disabled");
  }
  CommandStep<HomeScreenBadgeInstallTag> tag = tagOfBundle(*o.encodeBundle);
  if (!tag) return report(tag.error());
  return emitLine(hexEncode(encodeBadgeRecord({true, *o.encodeCount, *tag}, env)));
}

}  // namespace

void addRecordCommands(CLI::App& app, int& exitCode) {
  auto options = std::make_shared<RecordOptions>();

  CLI::App* tag = app.add_subcommand("tag", "Print the install tag and count mask of a bundle");
  tag->add_option("PATH", options->tagPath, "App or extension bundle")
      ->required()
      ->check(utf8Path());
  tag->callback([options, &exitCode] { exitCode = runTag(*options); });

  CLI::App* decode = app.add_subcommand("decode", "Decode a badge record given as hex");
  decode->add_option("HEX", options->decodeHex, "The 16-byte record as 32 hex digits")
      ->required()
      ->check(hexBytes());
  decode->add_option("--bundle", options->decodeBundle, "Bundle whose tag is the known tag")
      ->check(utf8Path());
  decode->callback([options, &exitCode] { exitCode = runDecode(*options); });

  CLI::App* encode = app.add_subcommand("encode", "Encode a badge record as hex");
  // --disabled first: CLI11 checks options in order, and a clash with it is the clearer message.
  CLI::Option* disabled = encode->add_flag("--disabled", options->encodeDisabled,
                                           "The record of a switched-off counter");
  CLI::Option* count =
      wholeCount(encode->add_option("--count", options->encodeCount, "The count, 0 to 4294967295"));
  CLI::Option* bundle =
      encode->add_option("--bundle", options->encodeBundle, "Bundle of the installation")
          ->check(utf8Path());
  disabled->excludes(count)->excludes(bundle);
  count->needs(bundle);
  bundle->needs(count);
  encode->callback([options, &exitCode] { exitCode = runEncode(*options); });
}

}  // namespace quenlarch::badge_app
