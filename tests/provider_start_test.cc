// What a first start of the provider endpoint gives a person: a throwaway certificate a client on
// this machine can trust for the address it dials, and a summary whose curl command is right for
// the endpoint as it started.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tools/notification_host/provider/endpoint_welcome.h"
#include "tools/notification_host/provider/failure_injection.h"
#include "tools/notification_host/provider/self_signed_certificate.h"

namespace quenlarch::notification_host::provider {
namespace {

template <typename T>
std::unique_ptr<T, void (*)(T*)> readPem(const std::string& path,
                                         T* (*read)(FILE*, T**, pem_password_cb*, void*),
                                         void (*free)(T*)) {
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "r"), std::fclose);
  return {file ? read(file.get(), nullptr, nullptr, nullptr) : nullptr, free};
}

TEST(ProviderStartTest, TheThrowawayCertificateCoversWhatAClientDials) {
  struct Row {
    std::string listen;
    std::vector<std::string> ips;    // each must verify
    std::vector<std::string> hosts;  // each must verify
  };
  const std::vector<Row> rows = {
      {"127.0.0.1:0", {"127.0.0.1", "::1"}, {"localhost"}},
      {"[::1]:8443", {"::1", "127.0.0.1"}, {"localhost"}},
      {"0.0.0.0:8443", {"127.0.0.1"}, {"localhost"}},
      {"192.0.2.7:443", {"192.0.2.7", "127.0.0.1"}, {}},
      {"push.example.test:443", {"127.0.0.1"}, {"push.example.test", "localhost"}},
  };
  testing::TempDir dir;
  const CertificateFiles files = certificateFilesBeside(dir / "notification-host.sock");
  EXPECT_EQ(files.certificate, dir / "notification-host-provider.pem");
  EXPECT_EQ(files.key, dir / "notification-host-provider.key");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.listen);
    ASSERT_TRUE(writeSelfSignedCertificate(row.listen, files));
    auto cert = readPem<X509>(files.certificate, PEM_read_X509, X509_free);
    auto key = readPem<EVP_PKEY>(files.key, PEM_read_PrivateKey, EVP_PKEY_free);
    ASSERT_TRUE(cert && key);
    EXPECT_EQ(X509_check_private_key(cert.get(), key.get()), 1) << "the key is the certificate's";
    EXPECT_EQ(X509_check_ca(cert.get()), 1) << "a client takes it as its own anchor";
    for (const std::string& ip : row.ips)
      EXPECT_EQ(X509_check_ip_asc(cert.get(), ip.c_str(), 0), 1) << ip;
    for (const std::string& host : row.hosts) {
      EXPECT_EQ(X509_check_host(cert.get(), host.c_str(), host.size(), 0, nullptr), 1) << host;
    }
    EXPECT_EQ(X509_check_host(cert.get(), "elsewhere.test", 14, 0, nullptr), 0);
    struct stat info {};
    ASSERT_EQ(::stat(files.key.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << "the key is the user's only";
  }
  EXPECT_FALSE(writeSelfSignedCertificate("127.0.0.1:0", certificateFilesBeside(dir / "no/s.sock")))
      << "a folder that is not there is named, not created";
}

TEST(ProviderStartTest, TheSummaryNamesWhatTheEndpointAcceptsAndAReadyCommand) {
  const std::string token(64, 'a');
  struct Row {
    const char* name;
    EndpointFacts facts;
    std::vector<std::string> said;  // each in some line, in order of the lines
  };
  const std::vector<Row> rows = {
      {"throwaway, no authentication",
       {"127.0.0.1:4431",
        "com.quenlarch.app",
        DeviceRegistration{token, "TEAM1", std::nullopt},
        {},
        "/run/q/c'a.pem",
        true},
       {"throwaway self-signed certificate for the endpoint: /run/q/c'a.pem",
        "accepting device token " + token + ", topic com.quenlarch.app, any request",
        "push with: curl -sS -i --http2 --cacert '/run/q/c'\\''a.pem' -H 'apns-topic: "
        "com.quenlarch.app' -d '{\"aps\":{\"alert\":\"Hello\",\"mutable-content\":1}}' "
        "https://127.0.0.1:4431/3/device/" +
            token}},
      {"tokens, a wildcard address",
       {"0.0.0.0:8443",
        "com.quenlarch.app",
        DeviceRegistration{token, "TEAM1", std::nullopt},
        {"KEY1", "KEY2"},
        "own.pem",
        false},
       {"team TEAM1 signed with key KEY1, KEY2", "authorization: bearer $PROVIDER_TOKEN",
        "https://127.0.0.1:8443/3/device/" + token}},
      {"certificates alone",
       {"127.0.0.1:8443",
        "com.quenlarch.app",
        DeviceRegistration{token, "TEAM1", std::nullopt},
        {},
        "own.pem",
        false,
        "ca.pem"},
       {"client certificates for topic com.quenlarch.app issued by ca.pem",
        "--cert CLIENT.pem --key CLIENT.key"}},
      {"a fleet: its devices' tokens, the first one's in the command",
       {"127.0.0.1:8443",
        "com.quenlarch.app",
        DeviceRegistration{token, "TEAM1", std::nullopt},
        {},
        "own.pem",
        false,
        "",
        1000},
       {"accepting the 1000 device tokens of the fleet's manifest, topic com.quenlarch.app",
        "https://127.0.0.1:8443/3/device/" + token}},
      {"IPv6 wildcard, a retired token",
       {"[::]:8443", "t", DeviceRegistration{token, "TEAM1", 1000}, {}, "own.pem", false},
       {"is retired", "accepting device token DEVICE_TOKEN",
        "https://[::1]:8443/3/device/DEVICE_TOKEN"}},
      {"no registration",
       {"127.0.0.1:1", "t", std::nullopt, {}, "own.pem", false},
       {"no device token yet", "/3/device/DEVICE_TOKEN"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::vector<std::string> lines = welcomeLines(row.facts);
    EXPECT_EQ(lines.front().find("throwaway") != std::string::npos, row.facts.throwawayCertificate);
    std::string all;
    for (const std::string& line : lines) all += line + "\n";
    std::size_t at = 0;
    for (const std::string& said : row.said) {
      at = all.find(said, at);
      EXPECT_NE(at, std::string::npos) << said << "\n" << all;
      if (at == std::string::npos) break;
    }
  }
}

// --inject: only the documented answers of a busy or failing service, at a share of requests, drawn
// the same way for the same seed.
TEST(FailureInjectionTest, InjectionsAreDocumentedAnswersAtTheirRate) {
  struct Row {
    const char* option;
    unsigned status;  // 0: refused at start
  };
  const Row rows[] = {
      {"TooManyRequests:0.05", 429},    {"InternalServerError:1", 500}, {"Shutdown:0.5", 503},
      {"ServiceUnavailable:0.01", 503}, {"BadDeviceToken:0.1", 0},      {"TooManyRequests:0", 0},
      {"TooManyRequests:1.5", 0},       {"TooManyRequests:nan", 0},     {"TooManyRequests", 0},
  };
  for (const Row& row : rows) {
    auto injection = parseInjection(row.option);
    EXPECT_EQ(injection ? injection->status : 0u, row.status) << row.option;
  }
  EXPECT_FALSE(FailureInjector::create(
      {*parseInjection("Shutdown:0.6"), *parseInjection("TooManyRequests:0.5")}, 1));
  const std::vector<Injection> both = {*parseInjection("TooManyRequests:0.05"),
                                       *parseInjection("ServiceUnavailable:0.01")};
  auto first = FailureInjector::create(both, 42);
  auto again = FailureInjector::create(both, 42);
  ASSERT_TRUE(first && again);
  std::size_t tooMany = 0, unavailable = 0;
  for (int i = 0; i < 100'000; ++i) {
    const Injection* drawn = first->draw();
    const Injection* repeated = again->draw();
    ASSERT_EQ(drawn ? drawn->reason : "", repeated ? repeated->reason : "") << i;
    if (drawn != nullptr) ++(drawn->status == 429 ? tooMany : unavailable);
  }
  EXPECT_NEAR(static_cast<double>(tooMany), 5'000, 300);
  EXPECT_NEAR(static_cast<double>(unavailable), 1'000, 150);
}

}  // namespace
}  // namespace quenlarch::notification_host::provider
