// provider-test-server: the provider endpoint on an sd-event loop with a recording sink instead of
// the host, for tests that push with real clients (curl --http2, node-apn). Takes serve's provider
// options plus the limits, a queue capacity and --record FILE, to which each accepted push is
// appended as a JSON line (before its 200 goes out). Prints JSON lines on stdout:
//   {"listening": "127.0.0.1:PORT", "port": PORT}   once, when connections are taken
//   {"stopping": true}                               on SIGTERM; later pushes get 503
// and exits 0 once every connection has finished after SIGTERM (within --stop-allowance-ms).
#include <signal.h>
#include <systemd/sd-event.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <vector>

#include "platform/linux/plist_json.h"
#include "tools/common/command_line.h"
#include "tools/notification_host/engine/event_loop.h"
#include "tools/notification_host/provider/provider_service.h"
#include "tools/notification_host/push/push_intake.h"

namespace {

using namespace quenlarch::notification_host;
using namespace quenlarch::notification_host::provider;

// Holds every push it accepts (nothing runs them), so `capacity` pushes fill it.
class RecordingSink final : public ProviderSink {
 public:
  RecordingSink(std::uint64_t capacity, const std::string& record)
      : capacity_(capacity), record_(record, std::ios::app) {}

  void stopAccepting() { stopping_ = true; }

  SinkAnswer submit(ProviderPush push) override {
    if (stopping_) return {SinkAnswer::Outcome::kStopping, std::nullopt};
    if (held_ >= capacity_) return {SinkAnswer::Outcome::kQueueFull, std::nullopt};
    ++held_;
    const push::PushHeaders& headers = push.push.headers;
    nlohmann::ordered_json line{
        {"deviceToken", push.deviceToken},
        {"apnsId", headers.apnsId},
        {"pushType", push::pushTypeName(headers.pushType)},
        {"priority", headers.priority},
        {"payload", quenlarch::jsonFromPlist(push.push.content->userInfo()).dump()}};
    if (headers.expiration) line["expiration"] = *headers.expiration;
    if (headers.collapseId) line["collapseId"] = *headers.collapseId;
    if (headers.topic) line["topic"] = *headers.topic;
    record_ << quenlarch::tools::jsonLine(line) << std::endl;
    return {};
  }

 private:
  std::uint64_t capacity_;
  std::ofstream record_;
  std::uint64_t held_ = 0;
  bool stopping_ = false;
};

struct TestServerArgs {
  std::string app;
  ProviderArgs provider;
  ProviderLimits limits;
  std::string record;
  std::uint64_t queueCapacity = 1'000'000;
  unsigned handshakeTimeoutMs = 5'000;
  unsigned idleTimeoutMs = 5'000;
  unsigned stopAllowanceMs = 30'000;
  unsigned noteWindowMs = 10'000;
};

int run(const TestServerArgs& args, const quenlarch::tools::Console& console) {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  sigprocmask(SIG_BLOCK, &stops, nullptr);

  auto loop = EventLoop::create();
  if (!loop) return console.fail(1, loop.error());
  ProviderLimits limits = args.limits;
  limits.handshakeTimeout = std::chrono::milliseconds(args.handshakeTimeoutMs);
  limits.idleTimeout = std::chrono::milliseconds(args.idleTimeoutMs);
  limits.dropNoteWindow = std::chrono::milliseconds(args.noteWindowMs);
  RecordingSink sink(args.queueCapacity, args.record);
  auto service = ProviderService::start(loop->get(), args.provider, args.app,
                                        quenlarch::notification_host::bundleIdentifier(args.app),
                                        sink, console, limits);
  if (!service) return console.fail(1, service.error());
  auto stop = [&] {
    sink.stopAccepting();
    quenlarch::tools::printJsonLine({{"stopping", true}});
    (*service)->stop(std::chrono::milliseconds(args.stopAllowanceMs), [&loop] { loop->exit(0); });
  };
  std::vector<EventSource> signals;
  for (int signal : {SIGTERM, SIGINT}) {
    auto source = EventSource::signal(loop->get(), signal, stop, "stop signal");
    if (!source) return console.fail(1, source.error());
    signals.push_back(std::move(*source));
  }
  quenlarch::tools::printJsonLine(
      {{"listening", (*service)->server().boundAddress()}, {"port", (*service)->server().port()}});
  const int result = loop->run();
  signals.clear();
  service->reset();
  return result < 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const quenlarch::tools::Console console("provider-test-server");
  CLI::App app("The provider endpoint with a recording sink, for tests");
  TestServerArgs args;
  app.add_option("--app", args.app, "The app bundle directory")->required();
  addProviderOptions(app, args.provider);
  app.add_option("--record", args.record, "File to append accepted pushes to")->required();
  app.add_option("--queue-capacity", args.queueCapacity, "Pushes accepted before 429");
  app.add_option("--max-connections", args.limits.maxConnections);
  app.add_option("--max-streams", args.limits.maxConcurrentStreams);
  app.add_option("--handshake-timeout-ms", args.handshakeTimeoutMs);
  app.add_option("--idle-timeout-ms", args.idleTimeoutMs);
  app.add_option("--stop-allowance-ms", args.stopAllowanceMs);
  app.add_option("--note-window-ms", args.noteWindowMs);
  int exitCode = 0;
  app.callback([&] {
    if (!args.provider.listen) {
      exitCode = console.fail(2, "--provider-listen is required");
      return;
    }
    exitCode = run(args, console);
  });
  return quenlarch::tools::parseAndRun(app, console, argc, argv, exitCode);
}
