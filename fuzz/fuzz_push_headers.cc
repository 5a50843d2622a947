// Fuzzes the push rules and provider tokens. The input is read three ways: as a push (envelope or
// bare payload) through the intake against the app's topic, as "name: value" header lines, and,
// line by line, as the value of an authorization header. Refusals must be one line with a 400 or
// 413 status; an accepted push must carry content and a UUID; and no token may ever
// pass, since none can be signed by the key made here at start.
#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "tools/notification_host/provider/provider_token.h"
#include "tools/notification_host/push/push_headers.h"
#include "tools/notification_host/push/push_intake.h"

namespace {

using quenlarch::fuzz::check;

using namespace quenlarch::notification_host;

void checkRefusal(const push::PushRefusal& refusal) {
  check(!refusal.reason.empty());
  check(refusal.message.find('\n') == std::string::npos);
  check(refusal.status == 400 || refusal.status == 413);
}

std::vector<std::string_view> lines(std::string_view text) {
  std::vector<std::string_view> out;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    out.push_back(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
  }
  return out;
}

provider::ProviderTokenVerifier& verifier() {
  static provider::ProviderTokenVerifier made({provider::ProviderKey{
      "K1", std::shared_ptr<EVP_PKEY>(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"),
                                      EVP_PKEY_free)}});
  return made;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  const push::PushDestination destination{"com.quenlarch.app", size % 2 == 0,
                                          "DeviceTokenNotForTopic"};
  auto accepted = acceptPush(input, destination);
  if (!accepted) {
    checkRefusal(accepted.error());
  } else {
    check(accepted->content != nullptr);
    check(accepted->headers.apnsId.size() == 36);
    check(!accepted->headers.topic || accepted->headers.topic->starts_with("com.quenlarch.app"));
  }

  std::vector<push::HeaderField> fields;
  for (std::string_view line : lines(input)) {
    const std::size_t colon = line.find(": ");
    if (colon != std::string_view::npos) {
      fields.push_back({std::string(line.substr(0, colon)), std::string(line.substr(colon + 2))});
    }
    const std::string authorization(line);
    check(!verifier().verify(&authorization, "TEAM123456", 1'700'000'000));
  }
  if (auto given = push::readHeaderFields(fields); !given) checkRefusal(given.error());
  return 0;
}
