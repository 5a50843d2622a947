// The provider endpoint's listener on an sd-event loop: accepts TCP connections on the address it
// is given, keeps at most ProviderLimits::maxConnections of them (more are closed as soon as they
// are accepted, so they never hold up the others), and runs each as an Http2Connection. Every
// callback runs on the loop's thread; nothing here takes a lock or starts a thread.
#pragma once

#include <openssl/ssl.h>
#include <systemd/sd-event.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/expected.h"
#include "tools/notification_host/provider/http2_connection.h"
#include "tools/notification_host/provider/provider_limits.h"

namespace quenlarch::notification_host::provider {

class ProviderServer {
 public:
  // Listens on `address` ("127.0.0.1:8443", "[::1]:8443"; port 0 picks a free one). One line
  // when the address is malformed or cannot be bound.
  static Expected<std::unique_ptr<ProviderServer>> listen(sd_event* event,
                                                          const std::string& address,
                                                          std::shared_ptr<SSL_CTX> tls,
                                                          const ProviderLimits& limits,
                                                          Http2Connection::Answerer answerer);
  ~ProviderServer();  // closes the listener and every connection at once
  ProviderServer(const ProviderServer&) = delete;
  ProviderServer& operator=(const ProviderServer&) = delete;

  // The address as bound, with the port chosen ("127.0.0.1:40213").
  const std::string& boundAddress() const { return boundAddress_; }
  std::uint16_t port() const { return port_; }
  std::size_t connections() const { return open_.size(); }

  // Stops accepting and sends GOAWAY on every connection; the streams in flight are answered.
  // `drained` runs (on the loop) once the last connection has finished, at once when none is
  // open.
  void stop(std::function<void()> drained);

 private:
  ProviderServer(sd_event* event, int listenFd, std::shared_ptr<SSL_CTX> tls,
                 const ProviderLimits& limits, Http2Connection::Answerer answerer);
  static int onAccept(sd_event_source*, int fd, std::uint32_t events, void* self);
  static int onReap(sd_event_source*, void* self);
  void connectionFinished(Http2Connection* connection);

  sd_event* event_;
  int listenFd_;
  std::shared_ptr<SSL_CTX> tls_;
  ProviderLimits limits_;
  Http2Connection::Answerer answerer_;
  sd_event_source* accept_ = nullptr;
  sd_event_source* reap_ = nullptr;  // destroys finished connections outside their callbacks
  std::string boundAddress_;
  std::uint16_t port_ = 0;
  std::map<Http2Connection*, std::unique_ptr<Http2Connection>> open_;
  std::vector<std::unique_ptr<Http2Connection>> finished_;
  std::function<void()> drained_;
  bool stopping_ = false;
};

}  // namespace quenlarch::notification_host::provider
