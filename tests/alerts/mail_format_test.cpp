#include "alerts/mail_format.h"

#include <gtest/gtest.h>

namespace warderon {
namespace {

TMailMessage Message() {
  TMailMessage message;
  message.from = "warderon@ws042";
  message.sender = "warderon@ws042";
  message.to = {"ops@site.example"};
  message.subject = "ws042: service changes";
  message.body_lines = {"service changes"};
  return message;
}

// The header block (up to the empty line) of a formatted message.
std::string Headers(const std::string& data) { return data.substr(0, data.find("\r\n\r\n") + 2); }
std::string Body(const std::string& data) { return data.substr(data.find("\r\n\r\n") + 4); }

TEST(MailFormat, ParsesRecipientListsWithDisplayNames) {
  EXPECT_EQ(
      ParseAddressList(" ops@site ; \"Doe, John\" <jd@site>,Audit <audit@site>,, "),
      (std::vector<std::string>{"ops@site", "\"Doe, John\" <jd@site>", "Audit <audit@site>"}));
  EXPECT_EQ(EnvelopeAddress("\"Doe, John\" <jd@site>"), "jd@site");
  EXPECT_EQ(EnvelopeAddress(" ops@site "), "ops@site");
  EXPECT_EQ(EnvelopeAddress("ops@site>\r\nRCPT TO:<evil@x"), "");
  EXPECT_EQ(EnvelopeAddress("two words@site"), "");
}

TEST(MailFormat, HeadersCarryEveryFieldAndMime) {
  const std::string data =
      FormatMailData(Message(), "Tue, 08 Dec 2026 09:30:00 +0000", "<1@ws042>");
  EXPECT_EQ(Headers(data),
            "From: warderon@ws042\r\nSender: warderon@ws042\r\nTo: ops@site.example\r\n"
            "Subject: ws042: service changes\r\nDate: Tue, 08 Dec 2026 09:30:00 +0000\r\n"
            "Message-ID: <1@ws042>\r\nMIME-Version: 1.0\r\n"
            "Content-Type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: 8bit\r\n");
  EXPECT_EQ(Body(data), "service changes\r\n.\r\n");
}

TEST(MailFormat, LineBreaksInHeadersCannotStartHeaderLines) {
  TMailMessage message = Message();
  message.subject = "ws042: new service Evil\r\nBcc: victim@x\r\n\r\n.\r\n";
  message.to = {"Ops\r\nBcc: victim@x <ops@site>"};
  const std::string headers = Headers(FormatMailData(message, "d", "<m>"));
  EXPECT_EQ(headers.find("\r\nBcc"), std::string::npos);
  EXPECT_EQ(std::count(headers.begin(), headers.end(), '\n'), 9);  // nine header lines
}

TEST(MailFormat, BodyLinesAreDotStuffedAndCannotEndTheMessage) {
  TMailMessage message = Message();
  message.body_lines = {"body", ".hidden file", "two\r\n.\r\nlines", "bare\nlf", "."};
  EXPECT_EQ(Body(FormatMailData(message, "d", "<m>")),
            "body\r\n..hidden file\r\ntwo\r\n..\r\nlines\r\nbare\r\nlf\r\n..\r\n.\r\n");
}

TEST(MailFormat, LongLinesAreWrappedAndNonAsciiSubjectsEncoded) {
  TMailMessage message = Message();
  message.body_lines = {std::string(2000, 'x')};
  message.subject = "ws042: Änderung an Dienst «Überwachung»";
  const std::string data = FormatMailData(message, "d", "<m>");
  for (std::size_t start = 0, end; (end = data.find("\r\n", start)) != std::string::npos;
       start = end + 2) {
    EXPECT_LE(end - start, 998U);
  }
  EXPECT_NE(data.find("Subject: =?UTF-8?B?"), std::string::npos);
  EXPECT_EQ(EncodeSubject("plain ascii"), "plain ascii");
  EXPECT_EQ(EncodeSubject("é"), "=?UTF-8?B?w6k=?=");
}

}  // namespace
}  // namespace warderon
