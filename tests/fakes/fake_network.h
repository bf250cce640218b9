// A TCP table and a share list whose content the test sets.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/net/share_list.h"
#include "platform/net/tcp_table.h"

namespace warderon::testing {

class TFakeTcpTable final : public TTcpTable {
 public:
  bool LoadFunctions() override { return available; }
  void AllocateBuffer() override { ++allocations; }
  std::vector<TTcpRow> Read(TTcpRows wanted) override {
    requests.push_back(wanted);
    if (fail) throw TTcpTableError("error getting TCP list table: test");
    std::vector<TTcpRow> result;
    for (const TTcpRow& row : rows) {
      if (row.listening || wanted == TTcpRows::All) result.push_back(row);
    }
    return result;
  }

  static TTcpRow Listener(std::uint16_t port, std::uint32_t pid) {
    return {true, port, "0.0.0.0", pid};
  }
  static TTcpRow Client(std::uint16_t port, const std::string& remote) {
    return {false, port, remote, 4};
  }

  bool available = true;
  bool fail = false;
  int allocations = 0;
  std::vector<TTcpRow> rows;
  std::vector<TTcpRows> requests;
};

class TFakeShareList final : public TShareList {
 public:
  std::optional<std::vector<std::string>> Shares() override {
    if (!listable) return std::nullopt;
    std::vector<std::string> names;
    for (const auto& [name, connections] : shares) names.push_back(name);
    return names;
  }
  std::optional<std::vector<TShareConnection>> Connections(const std::string& share) override {
    ++connection_calls;
    if (unlistable_connections.count(share) != 0) return std::nullopt;
    return shares.at(share);
  }

  bool listable = true;
  int connection_calls = 0;
  std::map<std::string, std::vector<TShareConnection>> shares;
  std::map<std::string, bool> unlistable_connections;
};

}  // namespace warderon::testing
