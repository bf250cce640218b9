#include "alerts/syslog_sender.h"

#include <gtest/gtest.h>

#include <thread>

#include "fakes/fake_clock.h"
#include "platform/net/socket.h"

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

TEST(SyslogSender, TheTaggedAndStructuredForms) {
  const TCivilTime morning{2026, 12, 8, 9, 5, 7, 0};
  const auto utc =
      std::chrono::system_clock::from_time_t(1796720707) + std::chrono::milliseconds(5);
  EXPECT_EQ(FormatSyslogMessage(TSyslogForm::Rfc3164, 1, 4, morning, utc, "ws042", 4711, "x y", {}),
            "<12>Dec  8 09:05:07 ws042 warderon[4711]: x y");
  EXPECT_EQ(FormatSyslogMessage(TSyslogForm::Rfc5424, 1, 4, morning, utc, "ws042", 4711, "x y",
                                {"a \"quoted\" ] \\ subject", 2, "tcp monitorring", 0, "", {}, {}}),
            "<12>1 2026-12-08T09:05:07.005Z ws042 warderon 4711 - [warderon@32473 "
            "subject=\"a \\\"quoted\\\" \\] \\\\ subject\" level=\"2\" "
            "module=\"tcp monitorring\"] x y");
  const TSyslogAlert numbered{"s", 1, "", 7, "0001.0300", {}, {}};
  EXPECT_EQ(
      FormatSyslogMessage(TSyslogForm::Rfc5424, 1, 4, morning, utc, "ws042", 4711, "x", numbered),
      "<12>1 2026-12-08T09:05:07.005Z ws042 warderon 4711 - [meta sequenceId=\"7\"]"
      "[origin software=\"warderon\" swVersion=\"0001.0300\"][warderon@32473 subject=\"s\" "
      "level=\"1\"] x");
}

// A collector on a TCP stream: octet-counted frames, one connection kept
// across messages, and a new one once the collector closed the old.
TEST(SyslogSender, AStreamIsKeptAndReplacedWhenTheCollectorClosedIt) {
  const auto collector = ListenOnLoopback();
  TFakeClock clock(ToDateTime({2026, 12, 8, 9, 30, 0, 0}));
  TSyslogClient sender(
      clock, [] { return std::string("ws042"); }, 4711);
  TSyslogTarget target("127.0.0.1");
  target.transport = TSyslogTransport::Tcp;
  target.port = collector->Port();
  const auto soon = [] { return std::chrono::steady_clock::now() + std::chrono::seconds(5); };
  auto read_all = [&](TTcpConnection& connection, std::size_t bytes) {
    std::string text;
    char chunk[256];
    while (text.size() < bytes) {
      const std::size_t got = connection.Receive(chunk, sizeof chunk, soon());
      if (got == 0) break;
      text.append(chunk, got);
    }
    return text;
  };
  sender.SendSyslog(target, 1, 4, "one", {});
  sender.SendSyslog(target, 1, 4, "two", {});
  auto first = collector->Accept(soon());
  ASSERT_NE(first, nullptr);
  const std::string one = "<12>Dec  8 09:30:00 ws042 one";
  const std::string two = "<12>Dec  8 09:30:00 ws042 two";
  EXPECT_EQ(read_all(*first, 60),
            std::to_string(one.size()) + " " + one + std::to_string(two.size()) + " " + two);
  first.reset();  // the collector goes away
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  sender.SendSyslog(target, 1, 4, "three", {});
  auto second = collector->Accept(soon());
  ASSERT_NE(second, nullptr) << "no new connection after the collector closed the old one";
  const std::string three = "<12>Dec  8 09:30:00 ws042 three";
  EXPECT_EQ(read_all(*second, 33), std::to_string(three.size()) + " " + three);
}

TEST(SyslogSender, SendsOneDatagramToAListenerOnLoopback) {
  const auto receiver = BindUdpOnLoopback();
  TFakeClock clock(ToDateTime({2026, 12, 8, 9, 30, 0, 0}));
  TSyslogClient sender(
      clock, [] { return std::string("ws042"); }, 4711, receiver->Port());
  sender.SendSyslog(TSyslogTarget("127.0.0.1"), 23, 4, "changed service Spooler now stopped", {});
  const auto datagram =
      receiver->Receive(std::chrono::steady_clock::now() + std::chrono::seconds(5));
  ASSERT_TRUE(datagram.has_value());
  EXPECT_EQ(*datagram, "<188>Dec  8 09:30:00 ws042 changed service Spooler now stopped");
}

TEST(SyslogSender, AnUnresolvableHostRaises) {
  TFakeClock clock;
  TSyslogClient sender(
      clock, [] { return std::string("ws042"); }, 4711);
  EXPECT_THROW(sender.SendSyslog(TSyslogTarget("no-such-host.invalid"), 0, 4, "x", {}),
               TSocketError);
}

}  // namespace
}  // namespace warderon::testing
