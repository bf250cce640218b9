#include <winsock2.h>  // before <windows.h>, which would pull in the old winsock.h
#include <ws2tcpip.h>

#include "platform/win/win_support.h"

#include <algorithm>
#include <utility>

#include "platform/net/name_lookup.h"
#include "platform/net/socket.h"

namespace warderon {
namespace {

// Winsock counts its users: each socket keeps it started while it lives.
class TWinsockUse {
 public:
  TWinsockUse() {
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) throw TSocketError("start Winsock: failed");
  }
  ~TWinsockUse() { WSACleanup(); }
  TWinsockUse(const TWinsockUse&) = delete;
  TWinsockUse& operator=(const TWinsockUse&) = delete;
};

class TSocket {
 public:
  TSocket() = default;
  explicit TSocket(SOCKET socket) : socket_(socket) {}
  ~TSocket() {
    if (Valid()) closesocket(socket_);
  }
  TSocket(TSocket&& other) noexcept : socket_(std::exchange(other.socket_, INVALID_SOCKET)) {}
  TSocket& operator=(TSocket&& other) noexcept {
    if (this != &other) {
      if (Valid()) closesocket(socket_);
      socket_ = std::exchange(other.socket_, INVALID_SOCKET);
    }
    return *this;
  }
  TSocket(const TSocket&) = delete;
  TSocket& operator=(const TSocket&) = delete;
  SOCKET Get() const { return socket_; }
  bool Valid() const { return socket_ != INVALID_SOCKET; }

 private:
  SOCKET socket_ = INVALID_SOCKET;
};

std::string Describe(const std::string& what, int error) {
  return win::ErrorText(what, static_cast<DWORD>(error));
}

// Waits until the socket can be read (or written); false on time-out.
bool WaitReady(SOCKET socket, bool for_write, TDeadline deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
      deadline - std::chrono::steady_clock::now());
  const long long micros = std::clamp<long long>(left.count(), 0, 24LL * 3600 * 1000000);
  timeval timeout{static_cast<long>(micros / 1000000), static_cast<long>(micros % 1000000)};
  fd_set ready;
  FD_ZERO(&ready);
  FD_SET(socket, &ready);
  fd_set failed;
  FD_ZERO(&failed);
  FD_SET(socket, &failed);
  const int count =
      select(0, for_write ? nullptr : &ready, for_write ? &ready : nullptr, &failed, &timeout);
  if (count == SOCKET_ERROR) throw TSocketError(Describe("wait on socket", WSAGetLastError()));
  return count > 0;
}

void SetNonBlocking(SOCKET socket) {
  u_long yes = 1;
  ioctlsocket(socket, FIONBIO, &yes);
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
  if (lookup->status != 0) throw TSocketError(Describe("resolve '" + host + "'", lookup->status));
  out.list = lookup->list;
}

class TWinConnection final : public TTcpConnection {
 public:
  TWinConnection(TSocket socket, std::string peer)
      : socket_(std::move(socket)), peer_(std::move(peer)) {}

  void SendAll(std::string_view data, TDeadline deadline) override {
    while (!data.empty()) {
      if (!WaitReady(socket_.Get(), true, deadline))
        throw TSocketError("send to " + peer_ + ": timed out");
      const int sent = send(socket_.Get(), data.data(),
                            static_cast<int>(std::min<std::size_t>(data.size(), 1 << 20)), 0);
      if (sent == SOCKET_ERROR) {
        const int error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK) continue;
        throw TSocketError(Describe("send to " + peer_, error));
      }
      data.remove_prefix(static_cast<std::size_t>(sent));
    }
  }

  bool ClosedOrSpoken() override {
    return WaitReady(socket_.Get(), false, std::chrono::steady_clock::now());
  }

  std::size_t Receive(char* buffer, std::size_t size, TDeadline deadline) override {
    for (;;) {
      if (!WaitReady(socket_.Get(), false, deadline)) {
        throw TSocketError("receive from " + peer_ + ": timed out");
      }
      const int got =
          recv(socket_.Get(), buffer, static_cast<int>(std::min<std::size_t>(size, 1 << 20)), 0);
      if (got >= 0) return static_cast<std::size_t>(got);
      const int error = WSAGetLastError();
      if (error != WSAEWOULDBLOCK) throw TSocketError(Describe("receive from " + peer_, error));
    }
  }

 private:
  TWinsockUse winsock_;
  TSocket socket_;
  std::string peer_;
};

class TWinListener final : public TTcpListener {
 public:
  TWinListener(TSocket socket, std::uint16_t port) : socket_(std::move(socket)), port_(port) {}
  std::uint16_t Port() const override { return port_; }
  std::unique_ptr<TTcpConnection> Accept(TDeadline deadline) override {
    if (!WaitReady(socket_.Get(), false, deadline)) return nullptr;
    TSocket client(accept(socket_.Get(), nullptr, nullptr));
    if (!client.Valid()) throw TSocketError(Describe("accept", WSAGetLastError()));
    SetNonBlocking(client.Get());
    return std::make_unique<TWinConnection>(std::move(client), "test client");
  }

 private:
  TWinsockUse winsock_;
  TSocket socket_;
  std::uint16_t port_;
};

class TWinUdpReceiver final : public TUdpReceiver {
 public:
  TWinUdpReceiver(TSocket socket, std::uint16_t port) : socket_(std::move(socket)), port_(port) {}
  std::uint16_t Port() const override { return port_; }
  std::optional<std::string> Receive(TDeadline deadline) override {
    if (!WaitReady(socket_.Get(), false, deadline)) return std::nullopt;
    std::string buffer(65536, '\0');
    const int got = recv(socket_.Get(), buffer.data(), static_cast<int>(buffer.size()), 0);
    if (got == SOCKET_ERROR) throw TSocketError(Describe("receive datagram", WSAGetLastError()));
    buffer.resize(static_cast<std::size_t>(got));
    return buffer;
  }

 private:
  TWinsockUse winsock_;
  TSocket socket_;
  std::uint16_t port_;
};

std::pair<TSocket, std::uint16_t> BindLoopback(int type, std::uint16_t port) {
  TSocket socket(::socket(AF_INET, type, 0));
  if (!socket.Valid()) throw TSocketError(Describe("create socket", WSAGetLastError()));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(socket.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw TSocketError(Describe("bind 127.0.0.1:" + std::to_string(port), WSAGetLastError()));
  }
  int length = sizeof address;
  getsockname(socket.Get(), reinterpret_cast<sockaddr*>(&address), &length);
  return {std::move(socket), ntohs(address.sin_port)};
}

}  // namespace

std::unique_ptr<TTcpConnection> ConnectTcp(const std::string& host, std::uint16_t port,
                                           TDeadline deadline, TTcpWrites writes) {
  const TWinsockUse winsock;
  TAddresses addresses;
  Resolve(host, port, SOCK_STREAM, deadline, addresses);
  const std::string peer = host + ":" + std::to_string(port);
  std::string last_error = "no address";
  for (const addrinfo* entry = addresses.list; entry != nullptr; entry = entry->ai_next) {
    TSocket socket(::socket(entry->ai_family, entry->ai_socktype, entry->ai_protocol));
    if (!socket.Valid()) {
      last_error = Describe("create socket", WSAGetLastError());
      continue;
    }
    SetNonBlocking(socket.Get());
    if (connect(socket.Get(), entry->ai_addr, static_cast<int>(entry->ai_addrlen)) != 0 &&
        WSAGetLastError() != WSAEWOULDBLOCK) {
      last_error = Describe("connect", WSAGetLastError());
      continue;
    }
    if (!WaitReady(socket.Get(), true, deadline))
      throw TSocketError("connect to " + peer + ": timed out");
    int error = 0;
    int length = sizeof error;
    getsockopt(socket.Get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
    if (error != 0) {
      last_error = Describe("connect", error);
      continue;
    }
    if (writes == TTcpWrites::Immediate) {
      const int on = 1;
      setsockopt(socket.Get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                 sizeof on);
    }
    return std::make_unique<TWinConnection>(std::move(socket), peer);
  }
  throw TSocketError("connect to " + peer + ": " + last_error);
}

std::vector<TProbeResult> ProbeLoopbackPorts(const std::vector<std::uint16_t>& ports,
                                             TDeadline deadline) {
  const TWinsockUse winsock;
  std::vector<TProbeResult> results(ports.size(), TProbeResult::NoAnswer);
  for (std::size_t first = 0; first < ports.size(); first += kMaxProbesAtOnce) {
    const std::size_t end = std::min(ports.size(), first + kMaxProbesAtOnce);
    std::vector<TSocket> sockets;
    std::vector<WSAPOLLFD> waits;
    std::vector<std::size_t> owners;  // the port index of each wait
    for (std::size_t i = first; i < end; ++i) {
      TSocket socket(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
      if (!socket.Valid()) continue;  // no answer: tried again later
      SetNonBlocking(socket.Get());
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(ports[i]);
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (connect(socket.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        results[i] = TProbeResult::Reached;
      } else if (WSAGetLastError() != WSAEWOULDBLOCK) {
        results[i] = TProbeResult::Refused;
      } else {
        waits.push_back({socket.Get(), POLLWRNORM, 0});
        owners.push_back(i);
        sockets.push_back(std::move(socket));
      }
    }
    while (!waits.empty()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      const int ready =
          WSAPoll(waits.data(), static_cast<ULONG>(waits.size()), static_cast<INT>(left.count()));
      if (ready <= 0) break;
      // Answered sockets leave the wait list; the others are asked again.
      std::size_t kept = 0;
      for (std::size_t w = 0; w < waits.size(); ++w) {
        if (waits[w].revents == 0) {
          waits[kept] = waits[w];
          waits[kept].revents = 0;
          owners[kept++] = owners[w];
          continue;
        }
        int error = 0;
        int length = sizeof error;
        getsockopt(waits[w].fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
        const bool failed = error != 0 || (waits[w].revents & (POLLERR | POLLHUP)) != 0;
        results[owners[w]] = failed ? TProbeResult::Refused : TProbeResult::Reached;
      }
      waits.resize(kept);
      owners.resize(kept);
    }
  }
  return results;
}

void SendUdpDatagram(const std::string& host, std::uint16_t port, std::string_view data,
                     TDeadline deadline) {
  const TWinsockUse winsock;
  TAddresses addresses;
  Resolve(host, port, SOCK_DGRAM, deadline, addresses);
  const addrinfo* entry = addresses.list;
  TSocket socket(::socket(entry->ai_family, entry->ai_socktype, entry->ai_protocol));
  if (!socket.Valid()) throw TSocketError(Describe("create socket", WSAGetLastError()));
  if (sendto(socket.Get(), data.data(), static_cast<int>(data.size()), 0, entry->ai_addr,
             static_cast<int>(entry->ai_addrlen)) == SOCKET_ERROR) {
    throw TSocketError(
        Describe("send datagram to " + host + ":" + std::to_string(port), WSAGetLastError()));
  }
}

std::optional<std::string> HostNameOfAddress(const std::string& address, TDeadline deadline) {
  const TWinsockUse winsock;
  return ReverseLookUpWithin(address, deadline);
}

std::unique_ptr<TTcpListener> ListenOnLoopback(std::uint16_t port) {
  const TWinsockUse winsock;
  auto [socket, bound] = BindLoopback(SOCK_STREAM, port);
  if (listen(socket.Get(), 16) != 0) throw TSocketError(Describe("listen", WSAGetLastError()));
  return std::make_unique<TWinListener>(std::move(socket), bound);
}

std::unique_ptr<TUdpReceiver> BindUdpOnLoopback() {
  const TWinsockUse winsock;
  auto [socket, bound] = BindLoopback(SOCK_DGRAM, 0);
  return std::make_unique<TWinUdpReceiver>(std::move(socket), bound);
}

}  // namespace warderon
