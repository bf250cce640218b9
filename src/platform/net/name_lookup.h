// getaddrinfo bounded by a deadline, for both socket layers. Include it
// after the platform's socket headers (netdb.h, or ws2tcpip.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/net/bounded_call.h"

namespace warderon {

struct TNameLookup {
  int status = 0;            // getaddrinfo's result
  addrinfo* list = nullptr;  // the caller frees it
};

// Nothing when the deadline passed first (a name server that never
// answers); a late answer is freed by the helper.
inline std::optional<TNameLookup> LookUpWithin(const std::string& host, std::uint16_t port,
                                               int type,
                                               std::chrono::steady_clock::time_point deadline) {
  const std::string service = std::to_string(port);
  // A numeric address needs no name server: it is read at once, without a
  // helper thread (the loopback probes of the socket monitor, peers given
  // by address).
  {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = type;
    hints.ai_flags = AI_NUMERICHOST;
    TNameLookup numeric;
    numeric.status = getaddrinfo(host.c_str(), service.c_str(), &hints, &numeric.list);
    if (numeric.status == 0) return numeric;
  }
  return CallWithin<TNameLookup>(
      [host, service, type] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = type;
        TNameLookup result;
        result.status = getaddrinfo(host.c_str(), service.c_str(), &hints, &result.list);
        return result;
      },
      [](TNameLookup& late) {
        if (late.list != nullptr) freeaddrinfo(late.list);
      },
      deadline);
}

// The host name registered for an IPv4 address in dotted form (a reverse
// lookup), or nothing when there is none, the text is no such address, or
// the deadline passed first.
inline std::optional<std::string> ReverseLookUpWithin(
    const std::string& address, std::chrono::steady_clock::time_point deadline) {
  sockaddr_in socket_address{};
  socket_address.sin_family = AF_INET;
  if (inet_pton(AF_INET, address.c_str(), &socket_address.sin_addr) != 1) return std::nullopt;
  const auto found = CallWithin<std::optional<std::string>>(
      [socket_address]() -> std::optional<std::string> {
        char host[1025] = {};
        if (getnameinfo(reinterpret_cast<const sockaddr*>(&socket_address), sizeof socket_address,
                        host, sizeof host, nullptr, 0, NI_NAMEREQD) != 0) {
          return std::nullopt;
        }
        return std::string(host);
      },
      [](std::optional<std::string>&) {}, deadline);
  return found ? *found : std::nullopt;
}

}  // namespace warderon
