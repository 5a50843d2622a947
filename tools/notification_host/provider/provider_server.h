// The provider endpoint's listener on an sd-event loop: accepts TCP connections on the address it
// is given, keeps at most ProviderLimits::maxConnections of them, and runs each as an
// Http2Connection. When every slot is taken, the connection idle longest makes room for the
// newcomer, so clients that hold slots without pushing cannot keep a provider out. Every callback
// runs on the loop's thread; nothing here takes a lock or starts a thread.
#pragma once

#include <openssl/ssl.h>
#include <systemd/sd-event.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/expected.h"
#include "tools/notification_host/engine/event_loop.h"
#include "tools/notification_host/provider/drop_notes.h"
#include "tools/notification_host/provider/http2_connection.h"
#include "tools/notification_host/provider/provider_limits.h"

namespace quenlarch::notification_host::provider {

class ProviderServer {
 public:
  using Note = DropNotes::Note;

  // Listens on `address` ("127.0.0.1:8443", "[::1]:8443"; port 0 picks a free one). One line
  // when the address is malformed or cannot be bound. `note` takes the lines about connections
  // dropped before a request. Deadlines (handshake, idle, drain) and note windows read `clock`.
  static Expected<std::unique_ptr<ProviderServer>> listen(sd_event* event,
                                                          const std::string& address,
                                                          std::shared_ptr<SSL_CTX> tls,
                                                          const ProviderLimits& limits,
                                                          Http2Connection::Answerer answerer,
                                                          Note note, Clock& clock = steadyClock());
  ~ProviderServer();  // closes the listener and every connection at once
  ProviderServer(const ProviderServer&) = delete;
  ProviderServer& operator=(const ProviderServer&) = delete;

  // The address as bound, with the port chosen ("127.0.0.1:40213").
  const std::string& boundAddress() const { return boundAddress_; }
  std::uint16_t port() const { return port_; }
  std::size_t connections() const { return open_.size(); }

  // Sends GOAWAY on every connection; the streams in flight are answered, and those still
  // incomplete after `allowance` are answered 503 as their connection closes. The port stays
  // bound until then (connections arriving meanwhile are closed at once), so that no second
  // endpoint starts on it beside this one. `drained` runs (on the loop) once the last connection
  // has finished and the listener is closed, at once when none is open.
  void stop(Clock::duration allowance, std::function<void()> drained);

 private:
  ProviderServer(sd_event* event, int listenFd, std::shared_ptr<SSL_CTX> tls,
                 const ProviderLimits& limits, Http2Connection::Answerer answerer, Note note,
                 Clock& clock);
  void accept();
  void admit(int fd, std::string peer);
  // The connection idle longest, which gives its slot to a newcomer.
  Http2Connection* longestIdle() const;
  void connectionFinished(Http2Connection* connection, ConnectionEnd end);
  void reap();

  sd_event* event_;
  int listenFd_;
  std::shared_ptr<SSL_CTX> tls_;
  ProviderLimits limits_;
  Http2Connection::Answerer answerer_;
  Clock& clock_;
  DropNotes drops_;
  std::string boundAddress_;
  std::uint16_t port_ = 0;
  std::map<Http2Connection*, std::unique_ptr<Http2Connection>> open_;
  std::vector<std::unique_ptr<Http2Connection>> finished_;
  std::function<void()> drained_;
  bool stopping_ = false;
  EventSource accept_;
  EventSource reap_;  // destroys finished connections outside their callbacks
};

}  // namespace quenlarch::notification_host::provider
