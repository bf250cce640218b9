// The machine's network shares and the connections to each.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace warderon {

struct TShareConnection {
  std::string user;    // the connected account's name
  std::string client;  // the remote computer's name, or its IPv4 address
};

class TShareList {
 public:
  virtual ~TShareList() = default;
  // Every share's name (hidden and administrative shares too), or nothing
  // when the list cannot be had whole.
  virtual std::optional<std::vector<std::string>> Shares() = 0;
  // The connections to one share, or nothing when they cannot be had whole.
  virtual std::optional<std::vector<TShareConnection>> Connections(const std::string& share) = 0;
};

std::unique_ptr<TShareList> MakeSystemShareList();

}  // namespace warderon
