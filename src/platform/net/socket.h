// TCP connections and UDP datagrams with time-outs, over Winsock or BSD
// sockets. Every failure raises TSocketError with the operation and the peer
// in its message. Each object owns its socket and closes it when destroyed.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace warderon {

class TSocketError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using TDeadline = std::chrono::steady_clock::time_point;

class TTcpConnection {
 public:
  virtual ~TTcpConnection() = default;
  // Sends everything before the deadline.
  virtual void SendAll(std::string_view data, TDeadline deadline) = 0;
  // Receives up to size bytes, waiting until the deadline for the first;
  // returns 0 when the peer has closed the connection.
  virtual std::size_t Receive(char* buffer, std::size_t size, TDeadline deadline) = 0;
  // Whether the peer has closed the connection or sent something, without
  // waiting. For a peer that never sends (a syslog collector) either means
  // the connection is no longer one to write to.
  virtual bool ClosedOrSpoken() = 0;
};

// Whether small writes wait to be sent together (the default) or go at once:
// a protocol that waits for answers to what it wrote (RELP) must not have
// its last frames held back until the peer acknowledges the earlier ones.
enum class TTcpWrites { Coalesced, Immediate };

// Resolves host and connects, trying each address, all before the deadline
// (name resolution included).
std::unique_ptr<TTcpConnection> ConnectTcp(const std::string& host, std::uint16_t port,
                                           TDeadline deadline,
                                           TTcpWrites writes = TTcpWrites::Coalesced);

// What a connection attempt to a loopback port found.
enum class TProbeResult { Reached, Refused, NoAnswer };

// Connects to 127.0.0.1 on every port at once (non-blocking), waits for
// them together until the deadline, and disconnects: one result per port,
// NoAnswer for those that neither accepted nor refused in time (a listener
// whose queue is full). At most kMaxProbesAtOnce are open at a time.
constexpr std::size_t kMaxProbesAtOnce = 256;
std::vector<TProbeResult> ProbeLoopbackPorts(const std::vector<std::uint16_t>& ports,
                                             TDeadline deadline);

// Resolves host before the deadline and sends one datagram; does not wait
// for anything back.
void SendUdpDatagram(const std::string& host, std::uint16_t port, std::string_view data,
                     TDeadline deadline);

// The host name of an IPv4 address in dotted form, found by a reverse lookup
// before the deadline; nothing when none is found in time.
std::optional<std::string> HostNameOfAddress(const std::string& address, TDeadline deadline);

// A listening socket on 127.0.0.1, for test peers.
class TTcpListener {
 public:
  virtual ~TTcpListener() = default;
  virtual std::uint16_t Port() const = 0;
  // The next connection, or nothing when none came before the deadline.
  virtual std::unique_ptr<TTcpConnection> Accept(TDeadline deadline) = 0;
};

// Port 0 picks a free port.
std::unique_ptr<TTcpListener> ListenOnLoopback(std::uint16_t port = 0);

// A UDP socket bound to 127.0.0.1, for test peers.
class TUdpReceiver {
 public:
  virtual ~TUdpReceiver() = default;
  virtual std::uint16_t Port() const = 0;
  // The next datagram, or nothing when none came before the deadline.
  virtual std::optional<std::string> Receive(TDeadline deadline) = 0;
};

std::unique_ptr<TUdpReceiver> BindUdpOnLoopback();

}  // namespace warderon
