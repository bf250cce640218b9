// The SMTP client against scripted servers on 127.0.0.1, good and bad. Every
// bad server must end the exchange with a failure within the time-outs, and
// the next mail must connect afresh.
#include "alerts/smtp_client.h"

#include <gtest/gtest.h>

#include "fakes/scripted_smtp_server.h"

namespace warderon::testing {
namespace {

// Short bounds for the servers that misbehave; the production bounds for
// the good exchanges, so a slow test machine cannot fail them.
constexpr TSmtpTimeouts kShortTimeouts{std::chrono::milliseconds(2000),
                                       std::chrono::milliseconds(400),
                                       std::chrono::milliseconds(1500)};
constexpr TSmtpTimeouts kProductionTimeouts{};

TMailMessage Message(std::vector<std::string> to) {
  TMailMessage message;
  message.from = "warderon@ws042";
  message.sender = message.from;
  message.to = std::move(to);
  message.subject = "ws042: Warderon starting";
  message.body_lines = {"system starting", ".dotted"};
  return message;
}

class SmtpClient : public ::testing::Test {
 protected:
  void Send(TScriptedSmtpServer& server, const TMailMessage& message,
            const TSmtpTimeouts& timeouts = kProductionTimeouts) {
    TSmtpClient client([] { return std::string("ws042"); }, [] { return std::string("DATE"); },
                       server.Port(), timeouts);
    client.SendMail(TMailServer("127.0.0.1"), message, TDeadline::max());
  }
  // Sends and expects a failure that comes within the exchange bound.
  void ExpectBoundedFailure(TScriptedSmtpServer& server, const std::string& what) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_ANY_THROW(Send(server, Message({"ops@site"}), kShortTimeouts)) << what;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << what;
  }
};

TEST_F(SmtpClient, SpeaksTheWholeExchangeWithRecipientsInOrder) {
  TScriptedSmtpServer server({});
  Send(server, Message({"ops@site", "Audit Team <audit@site>"}));
  EXPECT_EQ(server.Commands(), (std::vector<std::string>{"EHLO ws042", "MAIL FROM:<warderon@ws042>",
                                                         "RCPT TO:<ops@site>",
                                                         "RCPT TO:<audit@site>", "DATA", "QUIT"}));
  ASSERT_EQ(server.Messages().size(), 1U);
  const std::string data = server.Messages()[0];
  EXPECT_NE(data.find("To: ops@site, Audit Team <audit@site>\r\n"), std::string::npos);
  EXPECT_NE(data.find("Date: DATE\r\n"), std::string::npos);
  EXPECT_NE(data.find("\r\n\r\nsystem starting\r\n..dotted\r\n"), std::string::npos);
}

TEST_F(SmtpClient, FallsBackToHeloWhenEhloIsRefused) {
  TSmtpServerScript script;
  script.ehlo_reply = "500 what is EHLO";
  TScriptedSmtpServer server(script);
  Send(server, Message({"ops@site"}));
  EXPECT_EQ(server.Commands()[1], "HELO ws042");
  EXPECT_EQ(server.Messages().size(), 1U);
}

TEST_F(SmtpClient, EightBitTextGoesAsSuchOnlyToAServerThatOffersIt) {
  TMailMessage message = Message({"ops@site"});
  message.body_lines = {"new service Dienst \xc3\x9c"};
  TScriptedSmtpServer offering({});
  Send(offering, message);
  EXPECT_EQ(offering.Commands()[1], "MAIL FROM:<warderon@ws042> BODY=8BITMIME");
  EXPECT_NE(offering.Messages()[0].find("Content-Transfer-Encoding: 8bit\r\n"), std::string::npos);

  TSmtpServerScript plain;
  plain.ehlo_reply = "250-scripted\r\n250 PIPELINING";
  TScriptedSmtpServer refusing(plain);
  Send(refusing, message);
  EXPECT_EQ(refusing.Commands()[1], "MAIL FROM:<warderon@ws042>");
  EXPECT_NE(refusing.Messages()[0].find("Content-Transfer-Encoding: quoted-printable\r\n"),
            std::string::npos);
  EXPECT_NE(refusing.Messages()[0].find("Dienst =C3=9C\r\n"), std::string::npos);
}

TEST_F(SmtpClient, BadServersFailWithinTheTimeoutsAndTheNextMailConnectsAfresh) {
  struct TCase {
    std::string what;
    TSmtpServerScript script;
  };
  std::vector<TCase> cases(6);
  cases[0].what = "silent after accepting";
  cases[0].script.greeting = "";
  cases[1].what = "drips a byte at a time";
  cases[1].script.drip_greeting = true;
  cases[2].what = "421 at greeting";
  cases[2].script.greeting = "421 too busy";
  cases[3].what = "550 to a recipient";
  cases[3].script.rcpt_replies = {{"ops@site", "550 no such user"}};
  cases[4].what = "closes in the middle of DATA";
  cases[4].script.close_in_data = true;
  cases[5].what = "a megabyte reply line";
  cases[5].script.greeting = "220 " + std::string(1 << 20, 'x');

  TScriptedSmtpServer server(cases[0].script);
  int connections = 0;
  for (const TCase& test : cases) {
    server.SetScript(test.script);
    ExpectBoundedFailure(server, test.what);
    // Each mail connects afresh (under Wine the server now and then counts
    // one mail's connection twice).
    EXPECT_GT(server.Connections(), connections) << test.what;
    connections = server.Connections();
  }
  server.SetScript({});
  Send(server, Message({"ops@site"}));  // a good exchange after all of them
  EXPECT_EQ(server.Messages().size(), 1U);
}

TEST_F(SmtpClient, AMailAcceptedAfterTheDataIsDeliveredWhateverQuitGets) {
  TSmtpServerScript script;
  script.close_at_quit = true;
  TScriptedSmtpServer server(script);
  EXPECT_NO_THROW(Send(server, Message({"ops@site"}), kShortTimeouts));
  EXPECT_EQ(server.Messages().size(), 1U);
}

TEST_F(SmtpClient, RefusesRecipientsThatCouldInjectCommands) {
  TScriptedSmtpServer server({});
  EXPECT_ANY_THROW(Send(server, Message({"ops@site>\r\nRCPT TO:<evil@x"})));
  EXPECT_ANY_THROW(Send(server, Message({})));
  EXPECT_EQ(server.Connections(), 0);
}

TEST_F(SmtpClient, AnUnreachableServerFailsPromptly) {
  const auto start = std::chrono::steady_clock::now();
  TSmtpClient client([] { return std::string("ws042"); }, [] { return std::string("DATE"); }, 1,
                     kShortTimeouts);
  EXPECT_ANY_THROW(
      client.SendMail(TMailServer("127.0.0.1"), Message({"ops@site"}), TDeadline::max()));
  EXPECT_ANY_THROW(client.SendMail(TMailServer("no-such-host.invalid"), Message({"ops@site"}),
                                   TDeadline::max()));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST_F(SmtpClient, AStalledTlsHandshakeCostsOneReplyBoundNotTheWholeMessage) {
  TSmtpServerScript silent;
  silent.greeting = "";  // accepts, then never answers the client's hello
  TScriptedSmtpServer server(silent);
  TSmtpClient client([] { return std::string("ws042"); }, [] { return std::string("DATE"); },
                     server.Port(),
                     {std::chrono::milliseconds(2000), std::chrono::milliseconds(400),
                      std::chrono::milliseconds(20000)});
  TMailServer tls("127.0.0.1");
  tls.security = TMailSecurity::Tls;
  tls.port = server.Port();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_ANY_THROW(client.SendMail(tls, Message({"ops@site"}), TDeadline::max()));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
}  // namespace warderon::testing
