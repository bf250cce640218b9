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
  const std::string data = FormatMailData(Message(), "Tue, 08 Dec 2026 09:30:00 +0000", "<1@ws042>",
                                          TBodyEncoding::SevenBit);
  EXPECT_EQ(Headers(data),
            "From: warderon@ws042\r\nSender: warderon@ws042\r\nTo: ops@site.example\r\n"
            "Subject: ws042: service changes\r\nDate: Tue, 08 Dec 2026 09:30:00 +0000\r\n"
            "Message-ID: <1@ws042>\r\nMIME-Version: 1.0\r\n"
            "Content-Type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: 7bit\r\n");
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
  for (const auto encoding : {TBodyEncoding::SevenBit, TBodyEncoding::QuotedPrintable}) {
    EXPECT_EQ(Body(FormatMailData(message, "d", "<m>", encoding)),
              "body\r\n..hidden file\r\ntwo\r\n..\r\nlines\r\nbare\r\nlf\r\n..\r\n.\r\n");
  }
}

// Reads a quoted-printable body back the way a mail reader does.
std::vector<std::string> DecodeQuotedPrintable(const std::string& body) {
  std::vector<std::string> lines;
  std::string line;
  std::size_t start = 0;
  for (std::size_t end; (end = body.find("\r\n", start)) != std::string::npos; start = end + 2) {
    std::string wire = body.substr(start, end - start);
    EXPECT_LE(wire.size(), 76U) << wire;
    if (wire == ".") break;
    if (!wire.empty() && wire.front() == '.') wire.erase(0, 1);  // dot-stuffing
    // Relays and readers drop blanks at the end of a line (RFC 2045).
    while (!wire.empty() && (wire.back() == ' ' || wire.back() == '\t')) wire.pop_back();
    const bool soft = !wire.empty() && wire.back() == '=';
    if (soft) wire.pop_back();
    for (std::size_t i = 0; i < wire.size(); ++i) {
      if (wire[i] == '=') {
        line += static_cast<char>(std::stoi(wire.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else {
        line += wire[i];
      }
    }
    if (!soft) {
      lines.push_back(line);
      line.clear();
    }
  }
  return lines;
}

TEST(MailFormat, EveryLineArrivesExactlyWhateverItsLengthAndBytes) {
  TMailMessage message = Message();
  std::string long_line = " NEW FILE : /srv/";
  while (long_line.size() < 1200) long_line += "\xc3\xa9t\xc3\xa9 = 100% ";
  message.body_lines = {"file changes", long_line, ".dot first", "trailing blank ", "tab\tin"};
  EXPECT_EQ(ChooseBodyEncoding(message, true), TBodyEncoding::QuotedPrintable) << "too long";
  const std::string data = FormatMailData(message, "d", "<m>", TBodyEncoding::QuotedPrintable);
  EXPECT_NE(Headers(data).find("Content-Transfer-Encoding: quoted-printable"), std::string::npos);
  EXPECT_EQ(DecodeQuotedPrintable(Body(data)),
            (std::vector<std::string>{"file changes", long_line, ".dot first", "trailing blank ",
                                      "tab\tin"}));
  for (const char c : Body(data)) EXPECT_LT(static_cast<unsigned char>(c), 0x80U);

  message.body_lines = {"short \xc3\xa9"};
  EXPECT_EQ(ChooseBodyEncoding(message, true), TBodyEncoding::EightBit);
  EXPECT_EQ(ChooseBodyEncoding(message, false), TBodyEncoding::QuotedPrintable);
  message.body_lines = {"short ascii", std::string(998, 'x')};
  EXPECT_EQ(ChooseBodyEncoding(message, false), TBodyEncoding::SevenBit);
  message.body_lines = {"." + std::string(998, 'x')};
  EXPECT_EQ(ChooseBodyEncoding(message, false), TBodyEncoding::QuotedPrintable)
      << "999 bytes once dot-stuffed";
}

TEST(MailFormat, NonAsciiSubjectsAreEncodedWords) {
  TMailMessage message = Message();
  message.subject = "ws042: Änderung an Dienst «Überwachung»";
  const std::string data = FormatMailData(message, "d", "<m>");
  EXPECT_NE(data.find("Subject: =?UTF-8?B?"), std::string::npos);
  EXPECT_EQ(EncodeSubject("plain ascii"), "plain ascii");
  EXPECT_EQ(EncodeSubject("é"), "=?UTF-8?B?w6k=?=");
}

}  // namespace
}  // namespace warderon
