#include "alerts/syslog_sender.h"

#include <gtest/gtest.h>

#include "fakes/fake_clock.h"
#include "platform/socket.h"

namespace warderon::testing {
namespace {

TEST(SyslogSender, FormatsPriorityTimeStampHostAndMessage) {
  const TCivilTime morning{2026, 12, 8, 9, 5, 7, 0};
  EXPECT_EQ(FormatSyslogDatagram(0, 4, morning, "ws042", "new service x"),
            "<4>Dec  8 09:05:07 ws042 new service x");
  EXPECT_EQ(FormatSyslogDatagram(23, 4, {2027, 1, 31, 23, 59, 59, 0}, "ws042", "a: b"),
            "<188>Jan 31 23:59:59 ws042 a: b");
}

TEST(SyslogSender, CutsAt1024BytesWithoutBreakingACharacter) {
  const TCivilTime time{2026, 5, 1, 0, 0, 0, 0};
  const std::string header = FormatSyslogDatagram(16, 4, time, "h", "");
  EXPECT_EQ(FormatSyslogDatagram(16, 4, time, "h", std::string(2000, 'x')).size(), 1024U);
  // A two-byte character straddling the limit is left out whole.
  const std::string message = std::string(1024 - header.size() - 1, 'x') + "é";
  const std::string datagram = FormatSyslogDatagram(16, 4, time, "h", message);
  EXPECT_EQ(datagram.size(), 1023U);
  EXPECT_EQ(datagram.back(), 'x');
}

TEST(SyslogSender, SendsOneDatagramToAListenerOnLoopback) {
  const auto receiver = BindUdpOnLoopback();
  TFakeClock clock(ToDateTime({2026, 12, 8, 9, 30, 0, 0}));
  TUdpSyslogSender sender(
      clock, [] { return std::string("ws042"); }, receiver->Port());
  sender.SendSyslog("127.0.0.1", 23, 4, "changed service Spooler now stopped");
  const auto datagram =
      receiver->Receive(std::chrono::steady_clock::now() + std::chrono::seconds(5));
  ASSERT_TRUE(datagram.has_value());
  EXPECT_EQ(*datagram, "<188>Dec  8 09:30:00 ws042 changed service Spooler now stopped");
}

TEST(SyslogSender, AnUnresolvableHostRaises) {
  TFakeClock clock;
  TUdpSyslogSender sender(clock, [] { return std::string("ws042"); });
  EXPECT_THROW(sender.SendSyslog("no-such-host.invalid", 0, 4, "x"), TSocketError);
}

}  // namespace
}  // namespace warderon::testing
