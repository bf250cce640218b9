// The IPv4 TCP table from the kernel's socket diagnostics (netlink), which
// tells, unlike /proc/net/tcp6, whether an IPv6 socket also takes IPv4. A
// listener on the IPv6 wildcard without "IPv6 only" accepts IPv4 on its port,
// so it counts as an IPv4 listener; IPv4 peers of such a socket show as
// IPv4-mapped addresses and count as IPv4 rows. Owners come from one pass
// over the processes' descriptors, made only when a listener needs one.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "platform/net/tcp_table.h"

namespace warderon {
namespace {

constexpr int kListenState = 10;  // TCP_LISTEN in the kernel's numbering

class TNetlinkSocket {
 public:
  TNetlinkSocket() : fd_(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)) {
    if (fd_ < 0) Fail("open the socket diagnostics");
  }
  ~TNetlinkSocket() { close(fd_); }
  TNetlinkSocket(const TNetlinkSocket&) = delete;
  TNetlinkSocket& operator=(const TNetlinkSocket&) = delete;
  int Get() const { return fd_; }

  [[noreturn]] static void Fail(const std::string& what) {
    throw TTcpTableError("error getting TCP list table: cannot " + what + ": " +
                         std::strerror(errno));
  }

 private:
  int fd_;
};

struct TDiagSocket {
  int family = 0;
  bool listening = false;
  bool v6_only = false;
  std::uint16_t local_port = 0;
  unsigned char local[16] = {};
  unsigned char remote[16] = {};
  std::uint32_t inode = 0;
};

bool IsZero(const unsigned char* bytes, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

bool IsV4Mapped(const unsigned char* address) {
  static const unsigned char kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  return std::memcmp(address, kPrefix, sizeof kPrefix) == 0;
}

std::string Dotted(const unsigned char* bytes) {
  return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
         std::to_string(bytes[2]) + "." + std::to_string(bytes[3]);
}

// Every TCP socket of one family in the given states.
void DumpFamily(int family, std::uint32_t states, std::vector<TDiagSocket>& sockets) {
  TNetlinkSocket link;
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } message{};
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  message.request.sdiag_family = static_cast<__u8>(family);
  message.request.sdiag_protocol = IPPROTO_TCP;
  message.request.idiag_states = states;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(link.Get(), &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel),
             sizeof kernel) < 0) {
    TNetlinkSocket::Fail("ask for the TCP sockets");
  }
  alignas(nlmsghdr) char buffer[32768];
  for (;;) {
    const ssize_t received = recv(link.Get(), buffer, sizeof buffer, 0);
    if (received < 0) {
      if (errno == EINTR) continue;
      TNetlinkSocket::Fail("read the TCP sockets");
    }
    auto* header = reinterpret_cast<nlmsghdr*>(buffer);
    for (auto left = static_cast<unsigned>(received); NLMSG_OK(header, left);
         header = NLMSG_NEXT(header, left)) {
      if (header->nlmsg_type == NLMSG_DONE) return;
      if (header->nlmsg_type == NLMSG_ERROR) {
        const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(header));
        errno = -error->error;
        TNetlinkSocket::Fail("read the TCP sockets");
      }
      if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY) continue;
      const auto* diag = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
      TDiagSocket socket;
      socket.family = diag->idiag_family;
      socket.listening = diag->idiag_state == kListenState;
      socket.local_port = ntohs(diag->id.idiag_sport);
      std::memcpy(socket.local, diag->id.idiag_src, sizeof socket.local);
      std::memcpy(socket.remote, diag->id.idiag_dst, sizeof socket.remote);
      socket.inode = diag->idiag_inode;
      // Attributes follow the message; "IPv6 only" is one of them.
      int attributes_left = static_cast<int>(header->nlmsg_len - NLMSG_LENGTH(sizeof *diag));
      for (auto* attribute = reinterpret_cast<rtattr*>(const_cast<inet_diag_msg*>(diag) + 1);
           RTA_OK(attribute, attributes_left); attribute = RTA_NEXT(attribute, attributes_left)) {
        if (attribute->rta_type == INET_DIAG_SKV6ONLY && RTA_PAYLOAD(attribute) >= 1) {
          socket.v6_only = *static_cast<const unsigned char*>(RTA_DATA(attribute)) != 0;
        }
      }
      sockets.push_back(socket);
    }
  }
}

// Where a socket was found: a process and the descriptor it holds it by.
struct TSocketHolder {
  std::uint32_t pid = 0;
  unsigned fd = 0;
};

// The socket inode a descriptor of a process refers to, or 0.
std::uint32_t SocketInodeOf(int folder_fd, const char* name) {
  char target[64];
  const ssize_t length = readlinkat(folder_fd, name, target, sizeof target - 1);
  if (length <= 9 || std::strncmp(target, "socket:[", 8) != 0) return 0;
  target[length] = '\0';
  return static_cast<std::uint32_t>(std::strtoul(target + 8, nullptr, 10));
}

// Whether the process still holds the socket by that descriptor.
bool StillHolds(const TSocketHolder& holder, std::uint32_t inode) {
  const std::string link =
      "/proc/" + std::to_string(holder.pid) + "/fd/" + std::to_string(holder.fd);
  return SocketInodeOf(AT_FDCWD, link.c_str()) == inode;
}

// The names in a folder of /proc, read with bare getdents64 calls (opendir
// would add a stat per folder, and a pass opens one folder per process).
// The kernel fills the buffer until the next entry does not fit, so a
// reply with room left for the largest entry is the whole rest: the call
// that would return nothing is saved.
template <class TVisit>
void ForEachName(int folder_fd, TVisit visit) {
  alignas(8) char buffer[16384];
  for (;;) {
    const long bytes = syscall(SYS_getdents64, folder_fd, buffer, sizeof buffer);
    if (bytes <= 0) return;
    for (long offset = 0; offset < bytes;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buffer + offset);
      if (entry->d_name[0] != '.' && !visit(entry->d_name)) return;
      offset += entry->d_reclen;
    }
    if (static_cast<std::size_t>(bytes) + sizeof(dirent64) <= sizeof buffer) return;
  }
}

// The first holder of each wanted socket inode, in process number order:
// one pass over /proc/*/fd that ends as soon as every wanted socket is found.
std::unordered_map<std::uint32_t, TSocketHolder> FindHolders(
    const std::unordered_set<std::uint32_t>& wanted) {
  std::unordered_map<std::uint32_t, TSocketHolder> holders;
  const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (proc < 0) return holders;
  ForEachName(proc, [&](const char* name) {
    char* end = nullptr;
    const unsigned long pid = std::strtoul(name, &end, 10);
    if (*end != '\0' || pid == 0) return true;
    const std::string folder = std::string(name) + "/fd";
    const int descriptors = openat(proc, folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptors < 0) return true;  // gone, or not ours to see
    ForEachName(descriptors, [&](const char* fd_name) {
      const std::uint32_t inode = SocketInodeOf(descriptors, fd_name);
      if (inode == 0 || wanted.count(inode) == 0) return true;
      const auto fd = static_cast<unsigned>(std::strtoul(fd_name, nullptr, 10));
      holders.emplace(inode, TSocketHolder{static_cast<std::uint32_t>(pid), fd});
      return true;
    });
    close(descriptors);
    return holders.size() < wanted.size();
  });
  close(proc);
  return holders;
}

class TPosixTcpTable final : public TTcpTable {
 public:
  bool LoadFunctions() override { return true; }
  void AllocateBuffer() override {}

  std::vector<TTcpRow> Read(TTcpRows wanted) override {
    const std::uint32_t states = wanted == TTcpRows::All ? 0xFFFFFFFFU : 1U << kListenState;
    std::vector<TDiagSocket> sockets;
    DumpFamily(AF_INET, states, sockets);
    // Without IPv6 in the kernel there is no IPv6 table to ask.
    if (access("/proc/net/if_inet6", F_OK) == 0) DumpFamily(AF_INET6, states, sockets);
    std::vector<TTcpRow> rows;
    bool owners_needed = false;
    std::vector<std::uint32_t> inodes;
    for (const TDiagSocket& socket : sockets) {
      const unsigned char* remote = socket.remote;
      const unsigned char* local = socket.local;
      if (socket.family == AF_INET6) {
        const bool takes_ipv4 = socket.listening && IsZero(socket.local, 16) && !socket.v6_only;
        if (!takes_ipv4 && !IsV4Mapped(socket.local)) continue;  // an IPv6-only row
        remote = socket.remote + 12;
        local = socket.local + 12;  // "::" gives 0.0.0.0, a mapped address its IPv4 one
      }
      TTcpRow row;
      row.listening = socket.listening;
      row.local_port = socket.local_port;
      row.local_address = Dotted(local);
      row.remote_address = Dotted(remote);
      owners_needed = owners_needed || row.listening;
      rows.push_back(std::move(row));
      inodes.push_back(socket.inode);
    }
    if (owners_needed) FindOwners(rows, inodes);
    return rows;
  }

 private:
  // A listener known from the run before is checked with one link read of
  // the descriptor its holder had; only listeners that are new (or whose
  // holder let them go) are searched for, in one pass over the processes
  // that ends when all are found. A listener no visible process holds (one
  // of another container, or one handed between processes at that moment)
  // is searched for again at the next read, then after 1, 3, 7, ... reads,
  // at most 63: a hand-over is soon named, and a foreign listener costs a
  // search about once an hour of one-minute cycles.
  void FindOwners(std::vector<TTcpRow>& rows, const std::vector<std::uint32_t>& inodes) {
    std::unordered_map<std::uint32_t, TKnownHolder> current;
    std::unordered_set<std::uint32_t> wanted;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (!rows[i].listening) continue;
      const auto known = holders_.find(inodes[i]);
      if (known == holders_.end()) {
        wanted.insert(inodes[i]);
      } else if (known->second.holder) {
        if (StillHolds(*known->second.holder, inodes[i])) {
          current.insert(*known);
        } else {
          wanted.insert(inodes[i]);
        }
      } else if (known->second.skip > 0) {
        TKnownHolder waiting = known->second;
        --waiting.skip;
        current.emplace(inodes[i], waiting);
      } else {
        wanted.insert(inodes[i]);
        current.emplace(inodes[i], known->second);  // its back-off goes on if not found
      }
    }
    if (!wanted.empty()) {
      const std::unordered_map<std::uint32_t, TSocketHolder> found = FindHolders(wanted);
      for (const std::uint32_t inode : wanted) {
        const auto holder = found.find(inode);
        TKnownHolder& known = current[inode];
        if (holder != found.end()) {
          known = TKnownHolder{holder->second, 0, 0};
        } else {
          known.holder.reset();
          known.skip = known.misses;
          known.misses = std::min<std::uint32_t>(known.misses * 2 + 1, kMaxSkippedReads);
        }
      }
    }
    holders_ = std::move(current);  // closed listeners are forgotten
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const auto holder = holders_.find(inodes[i]);
      if (holder != holders_.end() && holder->second.holder) {
        rows[i].owner_pid = holder->second.holder->pid;
      }
    }
  }

  static constexpr std::uint32_t kMaxSkippedReads = 63;
  struct TKnownHolder {
    std::optional<TSocketHolder> holder;
    std::uint32_t skip = 0;    // reads to go before the next search
    std::uint32_t misses = 0;  // the next back-off
  };
  // Listener inode to the holder found last time.
  std::unordered_map<std::uint32_t, TKnownHolder> holders_;
};

}  // namespace

std::unique_ptr<TTcpTable> MakeSystemTcpTable() { return std::make_unique<TPosixTcpTable>(); }

}  // namespace warderon
