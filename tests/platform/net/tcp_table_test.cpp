// The system's TCP table against sockets the test opens itself (under Wine
// for the Windows build), and the growth of the table buffer.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <set>

#include "fakes/test_backends.h"
#include "platform/net/socket.h"
#include "platform/net/table_buffer.h"
#include "platform/net/tcp_table.h"

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#endif

namespace warderon::testing {
namespace {

std::map<std::uint16_t, TTcpRow> ListenersByPort(TTcpTable& table) {
  std::map<std::uint16_t, TTcpRow> found;
  for (const TTcpRow& row : table.Read(TTcpRows::Listeners)) {
    EXPECT_TRUE(row.listening);
    found.emplace(row.local_port, row);
  }
  return found;
}

TEST(TcpTable, SeesEveryListenerOfATableLargerThanTheFirstBuffer) {
  auto table = MakeSystemTcpTable();
  ASSERT_TRUE(table->LoadFunctions());
  table->AllocateBuffer();
  std::vector<std::unique_ptr<TTcpListener>> listeners;
  for (int i = 0; i < 600; ++i) listeners.push_back(ListenOnLoopback());
  const auto found = ListenersByPort(*table);
  for (const auto& listener : listeners) {
    const auto row = found.find(listener->Port());
    ASSERT_NE(row, found.end()) << listener->Port();
    if (!RunningUnderWine()) {
      EXPECT_EQ(row->second.owner_pid, static_cast<std::uint32_t>(getpid()));
    }
  }
  // Closed listeners are gone from the next read.
  const std::uint16_t closed = listeners.front()->Port();
  listeners.clear();
  EXPECT_EQ(ListenersByPort(*table).count(closed), 0U);
}

TEST(TcpTable, ConnectionsAppearOnlyWhenAllRowsAreAsked) {
  auto table = MakeSystemTcpTable();
  ASSERT_TRUE(table->LoadFunctions());
  table->AllocateBuffer();
  auto listener = ListenOnLoopback();
  auto client = ConnectTcp("127.0.0.1", listener->Port(),
                           std::chrono::steady_clock::now() + std::chrono::seconds(5));
  auto accepted = listener->Accept(std::chrono::steady_clock::now() + std::chrono::seconds(5));
  ASSERT_NE(accepted, nullptr);
  bool served_row = false;
  for (const TTcpRow& row : table->Read(TTcpRows::All)) {
    if (!row.listening && row.local_port == listener->Port()) {
      EXPECT_EQ(row.remote_address, "127.0.0.1");
      served_row = true;
    }
  }
  EXPECT_TRUE(served_row);
  for (const TTcpRow& row : table->Read(TTcpRows::Listeners)) EXPECT_TRUE(row.listening);
}

#ifndef _WIN32
// An IPv6 listener that takes IPv4 too is an IPv4 listener on its port; one
// that takes IPv6 only is not.
TEST(TcpTable, DualStackListenersCountAsIpv4) {
  if (access("/proc/net/if_inet6", F_OK) != 0) GTEST_SKIP() << "no IPv6 on this machine";
  auto listen_v6 = [](int v6_only, const char* address) {
    const int fd = socket(AF_INET6, SOCK_STREAM, 0);
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6_only, sizeof v6_only);
    sockaddr_in6 bound{};
    bound.sin6_family = AF_INET6;
    inet_pton(AF_INET6, address, &bound.sin6_addr);
    socklen_t size = sizeof bound;
    if (bind(fd, reinterpret_cast<sockaddr*>(&bound), size) != 0 || listen(fd, 4) != 0) {
      ADD_FAILURE() << "cannot listen on " << address;
    }
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size);
    return std::pair<int, std::uint16_t>(fd, ntohs(bound.sin6_port));
  };
  const auto dual = listen_v6(0, "::");
  const auto v6_only = listen_v6(1, "::");
  const auto v6_loopback = listen_v6(0, "::1");
  auto table = MakeSystemTcpTable();
  const auto found = ListenersByPort(*table);
  EXPECT_EQ(found.count(dual.second), 1U);
  EXPECT_EQ(found.count(v6_only.second), 0U);
  EXPECT_EQ(found.count(v6_loopback.second), 0U);
  if (found.count(dual.second) != 0) {
    EXPECT_EQ(found.at(dual.second).owner_pid, static_cast<std::uint32_t>(getpid()));
  }
  for (const auto& [fd, port] : {dual, v6_only, v6_loopback}) close(fd);
}

// A listener that no process held at one read (here: in flight between
// two descriptors, held only by a message) is searched for again at the
// next: its holder is named as soon as one takes it.
TEST(TcpTable, AListenerWithoutAHolderIsSearchedForAgain) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, pair), 0);
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in bound{};
  bound.sin_family = AF_INET;
  bound.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof bound;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&bound), size), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &size);
  const std::uint16_t port = ntohs(bound.sin_port);
  // Into a message, then out of this process's table.
  char data = 'x';
  iovec vector{&data, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};
  message.msg_iov = &vector;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_RIGHTS;
  header->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(header), &listener, sizeof(int));
  ASSERT_EQ(sendmsg(pair[0], &message, 0), 1);
  close(listener);
  auto table = MakeSystemTcpTable();
  const auto in_flight = ListenersByPort(*table);
  ASSERT_EQ(in_flight.count(port), 1U);
  EXPECT_FALSE(in_flight.at(port).owner_pid.has_value());
  ASSERT_EQ(recvmsg(pair[1], &message, 0), 1);  // taken again
  int taken = -1;
  std::memcpy(&taken, CMSG_DATA(CMSG_FIRSTHDR(&message)), sizeof(int));
  const auto held = ListenersByPort(*table);
  ASSERT_EQ(held.count(port), 1U);
  EXPECT_EQ(held.at(port).owner_pid, static_cast<std::uint32_t>(getpid()));
  for (const int fd : {taken, pair[0], pair[1]}) close(fd);
}

// The owner found once is not trusted blindly: when it lets the socket go
// and another process still holds it, the next read names that one.
TEST(TcpTable, AListenerPassedOnNamesItsNewHolder) {
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  const pid_t first = fork();
  if (first == 0) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    bound.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof bound;
    if (bind(fd, reinterpret_cast<sockaddr*>(&bound), size) != 0 || listen(fd, 4) != 0) _exit(1);
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size);
    const pid_t second = fork();  // inherits the listener
    if (second == 0) {
      pause();
      _exit(0);
    }
    const std::uint32_t message[2] = {ntohs(bound.sin_port), static_cast<std::uint32_t>(second)};
    if (write(report[1], message, sizeof message) != sizeof message) _exit(1);
    pause();
    _exit(0);
  }
  std::uint32_t message[2] = {};
  ASSERT_EQ(read(report[0], message, sizeof message), static_cast<ssize_t>(sizeof message));
  const auto port = static_cast<std::uint16_t>(message[0]);
  const auto second = static_cast<pid_t>(message[1]);
  auto table = MakeSystemTcpTable();
  const auto before = ListenersByPort(*table);
  kill(first, SIGKILL);
  waitpid(first, nullptr, 0);
  const auto after = ListenersByPort(*table);
  kill(second, SIGKILL);
  close(report[0]);
  close(report[1]);
  ASSERT_EQ(before.count(port), 1U);
  EXPECT_EQ(before.at(port).owner_pid, static_cast<std::uint32_t>(first));
  ASSERT_EQ(after.count(port), 1U);
  EXPECT_EQ(after.at(port).owner_pid, static_cast<std::uint32_t>(second));
}
#endif

TEST(TableBuffer, DoublesFromItsFirstCapacityUntilTheTableFitsAndNeverShrinks) {
  constexpr long kTooSmall = 122;
  TTableBuffer buffer(4, 20, 512);
  buffer.Allocate();
  EXPECT_EQ(buffer.Size(), 4U + 20U * 512U);
  // The table grows while it is read: 700 rows, then 1500.
  std::vector<std::size_t> table_rows = {700, 1500, 1500};
  std::size_t call = 0;
  const long result = buffer.Fill(
      [&](std::uint32_t& size) {
        const std::size_t rows = table_rows[std::min(call++, table_rows.size() - 1)];
        return size < 4 + 20 * rows ? kTooSmall : 0L;
      },
      kTooSmall);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(buffer.Capacity(), 2048U);
  EXPECT_EQ(call, 3U);
  // A smaller table later keeps the buffer.
  EXPECT_EQ(buffer.Fill([](std::uint32_t&) { return 0L; }, kTooSmall), 0);
  EXPECT_EQ(buffer.Capacity(), 2048U);
  // A table that never fits ends the loop with the system's answer.
  EXPECT_EQ(buffer.Fill([](std::uint32_t&) { return kTooSmall; }, kTooSmall, 3), kTooSmall);
  EXPECT_EQ(buffer.Capacity(), 2048U * 8);
}

}  // namespace
}  // namespace warderon::testing
