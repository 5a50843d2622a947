// tag: the install tag of a bundle; decode/encode: badge records as hex.
#include "tools/badge_app/record_commands.h"

#include <iostream>
#include <memory>

#include <nlohmann/json.hpp>

#include "badge/badge_environment.h"
#include "badge/badge_record.h"
#include "badge/install_tag.h"
#include "platform/hex.h"
#include "platform/linux/openssl_sha256.h"
#include "tools/badge_app/cli_support.h"

namespace quenlarch::badge_app {
namespace {

struct RecordOptions {
  std::string tagPath;
  std::string decodeHex;
  std::string decodeBundle;
  std::string encodeCount;
  std::string encodeBundle;
  bool encodeDisabled = false;
};

int runTag(const RecordOptions& o) {
  std::optional<std::string> path = absolutePath(o.tagPath);
  if (!path) return fail(kExitUsage, "cannot make the path '" + o.tagPath + "' absolute");
  OpenSslSha256 sha256;
  HomeScreenBadgeInstallTag tag = makeInstallTag(*path, sha256);
  printJson({{"path", installTagPath(*path)},
             {"installTag", hexEncode(tag.bytes)},
             {"countMask", hexEncode(*tag.countMask)}});
  return kExitOk;
}

// Names the first rule a record breaks, for the error line of `decode`.
std::string whyRecordIsInvalid(const ByteString& record) {
  if (record.size() != kBadgeRecordSize) {
    return "a record is 16 bytes, this one is " + std::to_string(record.size());
  }
  if (record[0] != 'T' || record[1] != 'B') return "the record does not start with \"TB\"";
  if (record[2] != 2 && record[2] != 3) {
    return "unknown record version " + std::to_string(record[2]);
  }
  if (record[3] > 1) return "enabled byte " + std::to_string(record[3]) + " is neither 0 nor 1";
  if (record[3] == 1) return "an enabled record carries the zero install tag";
  return "a disabled record must have count 0 and the zero install tag";
}

int runDecode(const RecordOptions& o) {
  std::optional<ByteString> record = hexDecode(o.decodeHex);
  if (!record) return fail(kExitUsage, "the record must be hex digits in pairs, got '" + o.decodeHex + "'");

  HomeScreenBadgeInstallTag known = zeroInstallTag();
  if (!o.decodeBundle.empty()) {
    std::optional<std::string> path = absolutePath(o.decodeBundle);
    if (!path) return fail(kExitUsage, "cannot make the path '" + o.decodeBundle + "' absolute");
    OpenSslSha256 sha256;
    known = makeInstallTag(*path, sha256);
  }
  HomeScreenBadgeEnvironment env(known);
  std::optional<HomeScreenBadgeState> state = decodeBadgeRecord(*record, known, env);
  if (!state) return fail(kExitFailed, "invalid record: " + whyRecordIsInvalid(*record));
  const bool owned = state->isEnabled && !isZeroInstallTag(known) && state->installTag == known;
  printJson({{"enabled", state->isEnabled},
             {"count", state->count},
             {"installTag", hexEncode(state->installTag.bytes)},
             {"ownedByThisInstall", owned}});
  return kExitOk;
}

int runEncode(const RecordOptions& o) {
  HomeScreenBadgeEnvironment env(zeroInstallTag());
  if (o.encodeDisabled) {
    if (!o.encodeCount.empty() || !o.encodeBundle.empty()) {
      return fail(kExitUsage, "--disabled takes neither --count nor --bundle");
    }
    std::cout << hexEncode(encodeBadgeRecord({false, 0, zeroInstallTag()}, env)) << '\n';
    return kExitOk;
  }
  if (o.encodeCount.empty() || o.encodeBundle.empty()) {
    return fail(kExitUsage, "encode needs --count N and --bundle PATH, or --disabled");
  }
  std::optional<std::uint32_t> count = parseCount(o.encodeCount);
  if (!count) {
    return fail(kExitUsage, "--count must be a whole number from 0 to 4294967295, got '" + o.encodeCount + "'");
  }
  std::optional<std::string> path = absolutePath(o.encodeBundle);
  if (!path) return fail(kExitUsage, "cannot make the path '" + o.encodeBundle + "' absolute");
  OpenSslSha256 sha256;
  HomeScreenBadgeInstallTag tag = makeInstallTag(*path, sha256);
  std::cout << hexEncode(encodeBadgeRecord({true, *count, tag}, env)) << '\n';
  return kExitOk;
}

}  // namespace

void addRecordCommands(CLI::App& app, int& exitCode) {
  auto options = std::make_shared<RecordOptions>();

  CLI::App* tag = app.add_subcommand("tag", "Print the install tag and count mask of a bundle");
  tag->add_option("PATH", options->tagPath, "App or extension bundle")->required();
  tag->callback([options, &exitCode] { exitCode = runTag(*options); });

  CLI::App* decode = app.add_subcommand("decode", "Decode a badge record given as hex");
  decode->add_option("HEX", options->decodeHex, "The 16-byte record as 32 hex digits")->required();
  decode->add_option("--bundle", options->decodeBundle, "Bundle whose tag is the known tag");
  decode->callback([options, &exitCode] { exitCode = runDecode(*options); });

  CLI::App* encode = app.add_subcommand("encode", "Encode a badge record as hex");
  encode->add_option("--count", options->encodeCount, "The count, 0 to 4294967295");
  encode->add_option("--bundle", options->encodeBundle, "Bundle of the installation");
  encode->add_flag("--disabled", options->encodeDisabled, "The record of a switched-off counter");
  encode->callback([options, &exitCode] { exitCode = runEncode(*options); });
}

}  // namespace quenlarch::badge_app
