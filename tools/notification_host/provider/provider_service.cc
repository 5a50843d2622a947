// Option checks that need more than CLI11's validators (keys, the app's identifier), then the
// endpoint's parts in the order they depend on each other.
#include "tools/notification_host/provider/provider_service.h"

#include <signal.h>

#include "tools/notification_host/provider/provider_token.h"
#include "tools/notification_host/provider/tls_context.h"

namespace quenlarch::notification_host::provider {

void addProviderOptions(CLI::App& command, ProviderArgs& args) {
  CLI::Option* listen =
      command.add_option("--provider-listen", args.listen,
                         "Serve the push-provider API (HTTP/2 over TLS) on ADDRESS:PORT");
  CLI::Option* cert = command
                          .add_option("--tls-cert", args.tlsCert,
                                      "PEM certificate (and chain) of the push-provider endpoint "
                                      "(default: a throwaway self-signed one beside the socket)")
                          ->check(CLI::ExistingFile);
  CLI::Option* key = command
                         .add_option("--tls-key", args.tlsKey,
                                     "PEM private key of the push-provider endpoint's certificate")
                         ->check(CLI::ExistingFile);
  // Neither: serve makes a throwaway certificate. Only one of them is a slip.
  cert->needs(key)->needs(listen);
  key->needs(cert);
  command
      .add_option("--provider-key", args.keys,
                  "KEYID=PEM: a public key provider tokens may be signed with (repeatable)")
      ->needs(listen);
  command
      .add_option("--provider-ca", args.providerCa,
                  "PEM certificate authority whose client certificates authenticate provider "
                  "requests (subject UID: the app's bundle id); alone, without --provider-key, "
                  "the only way in")
      ->check(CLI::ExistingFile)
      ->needs(listen);
  command
      .add_option("--provider-auth", args.auth,
                  "token: check provider tokens or client certificates; none: accept any request "
                  "(local development)")
      ->check(CLI::IsMember({"token", "none"}))
      ->needs(listen)
      ->capture_default_str();
  command
      .add_option("--inject", args.inject,
                  "REASON:RATE: answer that share of requests with REASON (TooManyRequests, "
                  "InternalServerError, ServiceUnavailable, Shutdown) to test retries; repeatable")
      ->needs(listen);
  command
      .add_option("--inject-seed", args.injectSeed, "Seed of --inject's draws, for repeatable runs")
      ->needs(listen);
  command
      .add_option("--request-log", args.requestLog,
                  "Append every provider request, taken or refused, to FILE as a JSON line")
      ->needs(listen);
}

Expected<std::unique_ptr<ProviderService>> ProviderService::start(
    sd_event* event, const ProviderArgs& args, const std::string& appPath,
    const std::string& bundleId, ProviderSink& sink, const tools::Console& console,
    const ProviderLimits& limits, std::unique_ptr<DeviceRegistry> registry) {
  std::unique_ptr<ProviderTokenVerifier> verifier;
  const bool certificates = args.providerCa.has_value();
  if (args.auth == "none" && certificates) {
    return unexpected("--provider-auth none checks nothing, so it takes no --provider-ca");
  }
  if (args.auth == "token" && args.keys.empty() && !certificates) {
    return unexpected(
        "--provider-auth token needs at least one --provider-key KEYID=PEM or a --provider-ca PEM "
        "(or --provider-auth none for local development)");
  }
  if (args.auth == "token" && !args.keys.empty()) {
    std::vector<ProviderKey> keys;
    for (const std::string& keyOption : args.keys) {
      auto key = loadProviderKey(keyOption);
      if (!key) return unexpected(key.error());
      keys.push_back(std::move(*key));
    }
    verifier = std::make_unique<ProviderTokenVerifier>(std::move(keys));
  }
  if (bundleId.empty()) {
    return unexpected(appPath +
                      " has no CFBundleIdentifier in its Info.plist, which pushes name as their "
                      "topic");
  }
  auto tls = makeServerTlsContext(args.tlsCert, args.tlsKey);
  if (!tls) return unexpected(tls.error());
  if (certificates) {
    if (auto asked = askForClientCertificates(tls->get(), *args.providerCa); !asked) {
      return unexpected(asked.error());
    }
  }

  // A client that hangs up makes the next TLS write fail with EPIPE; the socket BIO cannot pass
  // MSG_NOSIGNAL, so the signal that would end the service is ignored instead.
  ::signal(SIGPIPE, SIG_IGN);
  std::vector<Injection> injections;
  for (const std::string& option : args.inject) {
    auto injection = parseInjection(option);
    if (!injection) return unexpected(injection.error());
    injections.push_back(std::move(*injection));
  }
  auto madeInjector = FailureInjector::create(std::move(injections), args.injectSeed);
  if (!madeInjector) return unexpected(madeInjector.error());
  std::unique_ptr<ProviderService> service(new ProviderService());
  service->injector_ = std::make_unique<FailureInjector>(std::move(*madeInjector));
  auto log =
      RequestLog::open(args.requestLog, [&console](std::string_view line) { console.note(line); });
  if (!log) return unexpected(log.error());
  service->log_ = std::move(*log);
  service->registry_ =
      registry ? std::move(registry) : std::make_unique<PlistDeviceRegistry>(appPath);
  service->endpoint_ = std::make_unique<ProviderEndpoint>(bundleId, std::move(verifier),
                                                          certificates, *service->registry_, sink);
  ProviderEndpoint* endpoint = service->endpoint_.get();
  RequestLog* requestLog = service->log_.get();
  FailureInjector* injector = service->injector_.get();
  auto server = ProviderServer::listen(
      event, *args.listen, std::move(*tls), limits,
      [endpoint, requestLog, injector](ProviderRequest request) {
        const RequestSummary summary = summarize(request);
        ProviderAnswer answer;
        if (request.cut != ProviderRequest::Cut::kNone) {
          answer = cutAnswer(request);
        } else if (const Injection* injected = injector->draw()) {
          answer = injectedAnswer(*injected, request.headers);
        } else {
          answer = endpoint->answer(std::move(request));
        }
        requestLog->record(summary, answer);
        return answer;
      },
      [&console](std::string_view line) { console.note(line); });
  if (!server) return unexpected(server.error());
  service->server_ = std::move(*server);
  if (args.auth == "none") {
    console.note(
        "provider authentication is off (--provider-auth none): any client that "
        "reaches " +
        service->server_->boundAddress() + " may push");
  }
  return service;
}

}  // namespace quenlarch::notification_host::provider
