// getaddrinfo bounded by a deadline, for both socket layers. Include it
// after the platform's socket headers (netdb.h, or ws2tcpip.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/bounded_call.h"

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

}  // namespace warderon
