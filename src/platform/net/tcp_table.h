// The machine's IPv4 TCP table: per row its state, local port, remote
// address and, where the platform knows it, the owning process.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace warderon {

class TTcpTableError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TTcpRow {
  bool listening = false;
  std::uint16_t local_port = 0;  // host order
  std::string remote_address;    // dotted decimal
  std::optional<std::uint32_t> owner_pid;
  std::string local_address = "0.0.0.0";  // dotted decimal; "0.0.0.0" for every address
};

// Which rows a read must return: listeners alone, or every row.
enum class TTcpRows { Listeners, All };

class TTcpTable {
 public:
  virtual ~TTcpTable() = default;
  // Finds the system's table calls. False when the machine cannot give a
  // TCP table at all: the monitor then stays idle.
  virtual bool LoadFunctions() = 0;
  // Sets up the buffer for the first read.
  virtual void AllocateBuffer() = 0;
  // One consistent copy of the table, in the system's order. Raises
  // TTcpTableError when it cannot be read.
  virtual std::vector<TTcpRow> Read(TTcpRows rows) = 0;
};

std::unique_ptr<TTcpTable> MakeSystemTcpTable();

}  // namespace warderon
