// The IPv4 TCP table of the IP Helper library, looked up at run time: the
// extended table (with owners) where the system has it, else the stack
// table of older systems, else the plain table without owners. The buffer is
// kept from read to read and only grows.
#include "platform/win/unique_handle.h"
#include "platform/win/win_support.h"

#include <iphlpapi.h>
#include <winsock2.h>

#include <cstring>
#include <functional>

#include "platform/net/table_buffer.h"
#include "platform/net/tcp_table.h"

namespace warderon {
namespace {

using TGetTcpTable = DWORD(WINAPI*)(PMIB_TCPTABLE, PDWORD, BOOL);
using TGetExtendedTcpTable = DWORD(WINAPI*)(PVOID, PDWORD, BOOL, ULONG, TCP_TABLE_CLASS, ULONG);
using TAllocateFromStack = DWORD(WINAPI*)(PVOID*, BOOL, HANDLE, DWORD, DWORD);

constexpr DWORD kListenState = 2;
// The buffer is sized in rows of the plain table, whichever table fills it.
constexpr std::size_t kPlainRowBytes = 20;
constexpr std::size_t kFirstCapacity = 512;

enum class TTableSource { Extended, Stack, Plain };

std::string Dotted(DWORD network_order) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&network_order);
  return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
         std::to_string(bytes[2]) + "." + std::to_string(bytes[3]);
}

TTcpRow MakeRow(DWORD state, DWORD local_address, DWORD local_port, DWORD remote_address) {
  TTcpRow row;
  row.listening = state == kListenState;
  row.local_port = ntohs(static_cast<u_short>(local_port & 0xFFFF));
  row.local_address = Dotted(local_address);
  row.remote_address = Dotted(remote_address);
  return row;
}

class TWinTcpTable final : public TTcpTable {
 public:
  bool LoadFunctions() override {
    library_.Reset(LoadLibraryW(L"iphlpapi"));
    get_table_ = win::LookUpFunction<TGetTcpTable>(library_.Get(), "GetTcpTable");
    get_extended_ =
        win::LookUpFunction<TGetExtendedTcpTable>(library_.Get(), "GetExtendedTcpTable");
    from_stack_ = win::LookUpFunction<TAllocateFromStack>(library_.Get(),
                                                          "AllocateAndGetTcpExTableFromStack");
    source_ = get_extended_ != nullptr ? TTableSource::Extended
              : from_stack_ != nullptr ? TTableSource::Stack
                                       : TTableSource::Plain;
    return get_table_ != nullptr;
  }

  void AllocateBuffer() override {
    if (source_ != TTableSource::Stack) buffer_.Allocate();
  }

  std::vector<TTcpRow> Read(TTcpRows rows) override {
    switch (source_) {
      case TTableSource::Extended:
        return ReadExtended(rows);
      case TTableSource::Stack:
        return ReadFromStack();
      case TTableSource::Plain:
        return ReadPlain();
    }
    return {};
  }

 private:
  void FillBuffer(const std::function<DWORD(DWORD&)>& fill) {
    const long result = buffer_.Fill(
        [&](std::uint32_t& size) {
          DWORD system_size = size;
          return static_cast<long>(fill(system_size));
        },
        ERROR_INSUFFICIENT_BUFFER);
    if (result != NO_ERROR) {
      throw TTcpTableError("error getting TCP list table: " +
                           win::SystemMessage(static_cast<DWORD>(result)));
    }
  }

  std::vector<TTcpRow> ReadExtended(TTcpRows rows) {
    // Listeners alone when only listeners matter; every row with its owner
    // when clients of the sharing ports are watched too.
    const auto table_class =
        rows == TTcpRows::All ? TCP_TABLE_OWNER_PID_ALL : TCP_TABLE_OWNER_PID_LISTENER;
    FillBuffer([&](DWORD& size) {
      return get_extended_(buffer_.Data(), &size, TRUE, AF_INET, table_class, 0);
    });
    const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer_.Data());
    std::vector<TTcpRow> result;
    result.reserve(table->dwNumEntries);
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
      const MIB_TCPROW_OWNER_PID& entry = table->table[i];
      TTcpRow row =
          MakeRow(entry.dwState, entry.dwLocalAddr, entry.dwLocalPort, entry.dwRemoteAddr);
      row.owner_pid = entry.dwOwningPid;
      result.push_back(std::move(row));
    }
    return result;
  }

  std::vector<TTcpRow> ReadFromStack() {
    void* allocated = nullptr;
    // A failed call is a table without rows.
    if (from_stack_(&allocated, TRUE, GetProcessHeap(), 2, AF_INET) != NO_ERROR ||
        allocated == nullptr) {
      return {};
    }
    const auto* table = static_cast<const MIB_TCPTABLE_OWNER_PID*>(allocated);
    std::vector<TTcpRow> result;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
      const MIB_TCPROW_OWNER_PID& entry = table->table[i];
      TTcpRow row =
          MakeRow(entry.dwState, entry.dwLocalAddr, entry.dwLocalPort, entry.dwRemoteAddr);
      row.owner_pid = entry.dwOwningPid;
      result.push_back(std::move(row));
    }
    HeapFree(GetProcessHeap(), 0, allocated);
    return result;
  }

  std::vector<TTcpRow> ReadPlain() {
    FillBuffer([&](DWORD& size) {
      std::memset(buffer_.Data(), 0, size);
      const auto rows = static_cast<DWORD>(buffer_.Capacity());
      std::memcpy(buffer_.Data(), &rows, sizeof rows);
      return get_table_(reinterpret_cast<PMIB_TCPTABLE>(buffer_.Data()), &size, FALSE);
    });
    const auto* table = reinterpret_cast<const MIB_TCPTABLE*>(buffer_.Data());
    std::vector<TTcpRow> result;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
      const MIB_TCPROW& entry = table->table[i];
      result.push_back(
          MakeRow(entry.dwState, entry.dwLocalAddr, entry.dwLocalPort, entry.dwRemoteAddr));
    }
    return result;
  }

  win::TLibrary library_;
  TGetTcpTable get_table_ = nullptr;
  TGetExtendedTcpTable get_extended_ = nullptr;
  TAllocateFromStack from_stack_ = nullptr;
  TTableSource source_ = TTableSource::Plain;
  TTableBuffer buffer_{4, kPlainRowBytes, kFirstCapacity};
};

}  // namespace

std::unique_ptr<TTcpTable> MakeSystemTcpTable() { return std::make_unique<TWinTcpTable>(); }

}  // namespace warderon
