// Listening, accepting within the connection limit (evicting the longest idle when full), the
// drain at stop, and the deferred destruction of finished connections (a connection reports its
// end from inside its own callbacks).
#include "tools/notification_host/provider/provider_server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

namespace quenlarch::notification_host::provider {
namespace {

constexpr int kBacklog = 128;
constexpr int kAcceptsPerTurn = 64;

struct HostPort {
  std::string host;
  std::string port;
};

std::optional<HostPort> splitAddress(const std::string& address) {
  const std::size_t colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == address.size()) return std::nullopt;
  std::string host = address.substr(0, colon);
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') return std::nullopt;
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    return std::nullopt;  // an IPv6 address needs its brackets
  }
  // getaddrinfo takes any number as a service and keeps its low 16 bits, so 99999 would listen
  // on 34463: the port is checked here.
  const std::string port = address.substr(colon + 1);
  unsigned value = 0;
  const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (error != std::errc() || end != port.data() + port.size() || value > 65535) {
    return std::nullopt;
  }
  return HostPort{host, port};
}

std::string describe(const sockaddr_storage& address, std::uint16_t* port) {
  char host[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    inet_ntop(AF_INET6, &v6.sin6_addr, host, sizeof host);
    *port = ntohs(v6.sin6_port);
    // Appended to, not inserted into: GCC 12 at -O3 warns (-Wrestrict) about "[" + std::string.
    return std::string("[").append(host) + "]:" + std::to_string(*port);
  }
  const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
  inet_ntop(AF_INET, &v4.sin_addr, host, sizeof host);
  *port = ntohs(v4.sin_port);
  return std::string(host) + ":" + std::to_string(*port);
}

}  // namespace

Expected<std::unique_ptr<ProviderServer>> ProviderServer::listen(
    sd_event* event, const std::string& address, std::shared_ptr<SSL_CTX> tls,
    const ProviderLimits& limits, Http2Connection::Answerer answerer, Note note, Clock& clock) {
  std::optional<HostPort> parts = splitAddress(address);
  if (!parts) {
    return unexpected(
        "--provider-listen takes ADDRESS:PORT (\"127.0.0.1:8443\", \"[::1]:8443\"), "
        "not \"" +
        address + "\"");
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (int error = getaddrinfo(parts->host.c_str(), parts->port.c_str(), &hints, &found);
      error != 0) {
    return unexpected("cannot listen on " + address + ": " + gai_strerror(error));
  }
  const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int one = 1;
  const bool bound = fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
                     ::bind(fd, found->ai_addr, found->ai_addrlen) == 0 &&
                     ::listen(fd, kBacklog) == 0;
  const int bindError = errno;
  freeaddrinfo(found);
  if (!bound) {
    if (fd >= 0) ::close(fd);
    return unexpected("cannot listen on " + address + ": " + std::strerror(bindError));
  }
  std::unique_ptr<ProviderServer> server(new ProviderServer(
      event, fd, std::move(tls), limits, std::move(answerer), std::move(note), clock));
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
  server->boundAddress_ = describe(local, &server->port_);
  ProviderServer* self = server.get();
  auto accepting = EventSource::io(
      event, fd, EPOLLIN, [self](std::uint32_t) { self->accept(); }, "provider listener");
  auto reaping = EventSource::deferred(
      event, [self] { self->reap(); }, "provider finished connections");
  if (!accepting || !reaping) return unexpected("cannot watch " + address + " on the event loop");
  server->accept_ = std::move(*accepting);
  server->reap_ = std::move(*reaping);
  return server;
}

ProviderServer::ProviderServer(sd_event* event, int listenFd, std::shared_ptr<SSL_CTX> tls,
                               const ProviderLimits& limits, Http2Connection::Answerer answerer,
                               Note note, Clock& clock)
    : event_(sd_event_ref(event)),
      listenFd_(listenFd),
      tls_(std::move(tls)),
      limits_(limits),
      answerer_(std::move(answerer)),
      clock_(clock),
      drops_(event, std::move(note), limits.dropNoteWindow, clock) {}

ProviderServer::~ProviderServer() {
  accept_ = EventSource();
  reap_ = EventSource();
  if (listenFd_ >= 0) ::close(listenFd_);
  open_.clear();
  finished_.clear();
  sd_event_unref(event_);
}

void ProviderServer::accept() {
  for (int i = 0; i < kAcceptsPerTurn; ++i) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    const int client = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&address), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (client < 0) break;  // EAGAIN, or a client that is already gone
    std::uint16_t port = 0;
    admit(client, describe(address, &port));
  }
}

void ProviderServer::admit(int fd, std::string peer) {
  if (stopping_) {
    ::close(fd);
    return drops_.dropped(peer, describe(ConnectionEnd::kStopped));
  }
  if (open_.size() >= limits_.maxConnections) {
    if (Http2Connection* idle = longestIdle()) idle->evict();
  }
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::unique_ptr<Http2Connection> connection = Http2Connection::start(
      fd, peer, tls_.get(), event_, limits_, answerer_,
      [this](Http2Connection* done, ConnectionEnd end) { connectionFinished(done, end); }, clock_);
  if (!connection) return drops_.dropped(peer, "no resources for another connection");
  open_.emplace(connection.get(), std::move(connection));
}

Http2Connection* ProviderServer::longestIdle() const {
  Http2Connection* idle = nullptr;
  for (const auto& [connection, owned] : open_) {
    if (idle == nullptr || connection->idleSince() < idle->idleSince()) idle = connection;
  }
  return idle;
}

void ProviderServer::connectionFinished(Http2Connection* connection, ConnectionEnd end) {
  auto it = open_.find(connection);
  if (it == open_.end()) return;
  // A client that brought requests and then went (or idled out) needs no line; one dropped before
  // its first, or put out for a newcomer, does.
  const bool worthALine = end != ConnectionEnd::kClosed && end != ConnectionEnd::kDrained;
  if (worthALine && (connection->answered() == 0 || end == ConnectionEnd::kEvicted)) {
    drops_.dropped(connection->peer(), describe(end), connection->handshakeFailure());
  }
  finished_.push_back(std::move(it->second));
  open_.erase(it);
  reap_.trigger();
}

void ProviderServer::reap() {
  finished_.clear();
  if (!stopping_ || !open_.empty() || !drained_) return;
  accept_ = EventSource();
  if (listenFd_ >= 0) ::close(std::exchange(listenFd_, -1));
  std::exchange(drained_, nullptr)();
}

void ProviderServer::stop(Clock::duration allowance, std::function<void()> drained) {
  stopping_ = true;
  drained_ = std::move(drained);
  const auto deadline = clock_.now() + allowance;
  std::vector<Http2Connection*> open;
  for (const auto& [connection, owned] : open_) open.push_back(connection);
  for (Http2Connection* connection : open) connection->goAway(deadline);
  // The drained callback runs from the reaper, on the loop, even when nothing was open.
  reap_.trigger();
}

}  // namespace quenlarch::notification_host::provider
