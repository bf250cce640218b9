#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include "platform/net/name_lookup.h"
#include "platform/net/socket.h"
#include "platform/posix/unique_fd.h"

namespace warderon {
namespace {

using TFd = TUniqueFd;

std::string Describe(const std::string& what, int error) {
  return what + ": " + std::generic_category().message(error) + " (" + std::to_string(error) + ")";
}

int MillisecondsLeft(TDeadline deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::clamp<long long>(left.count(), 0, 24LL * 3600 * 1000));
}

// Waits until the socket is ready for the given events; false on time-out.
bool WaitReady(int fd, short events, TDeadline deadline) {
  for (;;) {
    pollfd entry{fd, events, 0};
    const int ready = poll(&entry, 1, MillisecondsLeft(deadline));
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) throw TSocketError(Describe("wait on socket", errno));
  }
}

void SetNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL, 0);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

struct TAddresses {
  addrinfo* list = nullptr;
  ~TAddresses() {
    if (list != nullptr) freeaddrinfo(list);
  }
};

// The addresses of host, looked up within the deadline: a name server that
// never answers must not hold the caller longer than its other bounds.
void Resolve(const std::string& host, std::uint16_t port, int type, TDeadline deadline,
             TAddresses& out) {
  const std::optional<TNameLookup> lookup = LookUpWithin(host, port, type, deadline);
  if (!lookup) throw TSocketError("resolve '" + host + "': timed out");
  if (lookup->status != 0) {
    throw TSocketError("resolve '" + host + "': " + gai_strerror(lookup->status));
  }
  out.list = lookup->list;
}

class TPosixConnection final : public TTcpConnection {
 public:
  TPosixConnection(TFd fd, std::string peer) : fd_(std::move(fd)), peer_(std::move(peer)) {}

  void SendAll(std::string_view data, TDeadline deadline) override {
    while (!data.empty()) {
      if (!WaitReady(fd_.Get(), POLLOUT, deadline))
        throw TSocketError("send to " + peer_ + ": timed out");
      const auto sent = send(fd_.Get(), data.data(), data.size(), MSG_NOSIGNAL);
      if (sent < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
        throw TSocketError(Describe("send to " + peer_, errno));
      }
      data.remove_prefix(static_cast<std::size_t>(sent));
    }
  }

  bool ClosedOrSpoken() override {
    pollfd watched{fd_.Get(), POLLIN, 0};
    return poll(&watched, 1, 0) != 0;
  }

  std::size_t Receive(char* buffer, std::size_t size, TDeadline deadline) override {
    for (;;) {
      if (!WaitReady(fd_.Get(), POLLIN, deadline)) {
        throw TSocketError("receive from " + peer_ + ": timed out");
      }
      const auto got = recv(fd_.Get(), buffer, size, 0);
      if (got >= 0) return static_cast<std::size_t>(got);
      if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
        throw TSocketError(Describe("receive from " + peer_, errno));
      }
    }
  }

 private:
  TFd fd_;
  std::string peer_;
};

class TPosixListener final : public TTcpListener {
 public:
  TPosixListener(TFd fd, std::uint16_t port) : fd_(std::move(fd)), port_(port) {}
  std::uint16_t Port() const override { return port_; }
  std::unique_ptr<TTcpConnection> Accept(TDeadline deadline) override {
    if (!WaitReady(fd_.Get(), POLLIN, deadline)) return nullptr;
    TFd client(accept(fd_.Get(), nullptr, nullptr));
    if (!client.Valid()) throw TSocketError(Describe("accept", errno));
    SetNonBlocking(client.Get());
    return std::make_unique<TPosixConnection>(std::move(client), "test client");
  }

 private:
  TFd fd_;
  std::uint16_t port_;
};

class TPosixUdpReceiver final : public TUdpReceiver {
 public:
  TPosixUdpReceiver(TFd fd, std::uint16_t port) : fd_(std::move(fd)), port_(port) {}
  std::uint16_t Port() const override { return port_; }
  std::optional<std::string> Receive(TDeadline deadline) override {
    if (!WaitReady(fd_.Get(), POLLIN, deadline)) return std::nullopt;
    std::string buffer(65536, '\0');
    const auto got = recv(fd_.Get(), buffer.data(), buffer.size(), 0);
    if (got < 0) throw TSocketError(Describe("receive datagram", errno));
    buffer.resize(static_cast<std::size_t>(got));
    return buffer;
  }

 private:
  TFd fd_;
  std::uint16_t port_;
};

// A socket bound to 127.0.0.1 and the port it got.
std::pair<TFd, std::uint16_t> BindLoopback(int type, std::uint16_t port) {
  TFd fd(socket(AF_INET, type | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) throw TSocketError(Describe("create socket", errno));
  const int yes = 1;
  setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw TSocketError(Describe("bind 127.0.0.1:" + std::to_string(port), errno));
  }
  socklen_t length = sizeof address;
  getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length);
  return {std::move(fd), ntohs(address.sin_port)};
}

}  // namespace

std::unique_ptr<TTcpConnection> ConnectTcp(const std::string& host, std::uint16_t port,
                                           TDeadline deadline, TTcpWrites writes) {
  TAddresses addresses;
  Resolve(host, port, SOCK_STREAM, deadline, addresses);
  const std::string peer = host + ":" + std::to_string(port);
  std::string last_error = "no address";
  for (const addrinfo* entry = addresses.list; entry != nullptr; entry = entry->ai_next) {
    TFd fd(socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC, entry->ai_protocol));
    if (!fd.Valid()) {
      last_error = std::generic_category().message(errno);
      continue;
    }
    SetNonBlocking(fd.Get());
    if (connect(fd.Get(), entry->ai_addr, entry->ai_addrlen) != 0 && errno != EINPROGRESS) {
      last_error = std::generic_category().message(errno);
      continue;
    }
    if (!WaitReady(fd.Get(), POLLOUT, deadline))
      throw TSocketError("connect to " + peer + ": timed out");
    int error = 0;
    socklen_t length = sizeof error;
    getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0) {
      last_error = std::generic_category().message(error);
      continue;
    }
    if (writes == TTcpWrites::Immediate) {
      const int on = 1;
      setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    return std::make_unique<TPosixConnection>(std::move(fd), peer);
  }
  throw TSocketError("connect to " + peer + ": " + last_error);
}

std::vector<TProbeResult> ProbeLoopbackPorts(const std::vector<std::uint16_t>& ports,
                                             TDeadline deadline) {
  std::vector<TProbeResult> results(ports.size(), TProbeResult::NoAnswer);
  for (std::size_t first = 0; first < ports.size(); first += kMaxProbesAtOnce) {
    const std::size_t end = std::min(ports.size(), first + kMaxProbesAtOnce);
    std::vector<TFd> sockets;
    std::vector<pollfd> waits;
    std::vector<std::size_t> owners;  // the port index of each wait
    for (std::size_t i = first; i < end; ++i) {
      TFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
      if (!fd.Valid()) continue;  // no answer: tried again later
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(ports[i]);
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        results[i] = TProbeResult::Reached;
      } else if (errno != EINPROGRESS) {
        results[i] = TProbeResult::Refused;
      } else {
        waits.push_back({fd.Get(), POLLOUT, 0});
        owners.push_back(i);
        sockets.push_back(std::move(fd));
      }
    }
    std::size_t open = waits.size();
    while (open > 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      const int ready = poll(waits.data(), waits.size(), static_cast<int>(left.count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) break;
      for (std::size_t w = 0; w < waits.size(); ++w) {
        if (waits[w].fd < 0 || waits[w].revents == 0) continue;
        int error = 0;
        socklen_t length = sizeof error;
        getsockopt(waits[w].fd, SOL_SOCKET, SO_ERROR, &error, &length);
        results[owners[w]] = error == 0 ? TProbeResult::Reached : TProbeResult::Refused;
        waits[w].fd = -1;  // poll skips it from now on
        --open;
      }
    }
  }
  return results;
}

void SendUdpDatagram(const std::string& host, std::uint16_t port, std::string_view data,
                     TDeadline deadline) {
  TAddresses addresses;
  Resolve(host, port, SOCK_DGRAM, deadline, addresses);
  const addrinfo* entry = addresses.list;
  TFd fd(socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC, entry->ai_protocol));
  if (!fd.Valid()) throw TSocketError(Describe("create socket", errno));
  if (sendto(fd.Get(), data.data(), data.size(), 0, entry->ai_addr, entry->ai_addrlen) < 0) {
    throw TSocketError(Describe("send datagram to " + host + ":" + std::to_string(port), errno));
  }
}

std::optional<std::string> HostNameOfAddress(const std::string& address, TDeadline deadline) {
  return ReverseLookUpWithin(address, deadline);
}

std::unique_ptr<TTcpListener> ListenOnLoopback(std::uint16_t port) {
  auto [fd, bound] = BindLoopback(SOCK_STREAM, port);
  if (listen(fd.Get(), 16) != 0) throw TSocketError(Describe("listen", errno));
  return std::make_unique<TPosixListener>(std::move(fd), bound);
}

std::unique_ptr<TUdpReceiver> BindUdpOnLoopback() {
  auto [fd, bound] = BindLoopback(SOCK_DGRAM, 0);
  return std::make_unique<TPosixUdpReceiver>(std::move(fd), bound);
}

}  // namespace warderon
