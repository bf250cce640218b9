#include "alerts/smtp_client.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "alerts/mail_format.h"
#include "core/text.h"
#include "platform/net/socket.h"
#include "platform/net/tls.h"

namespace warderon {
namespace {

constexpr std::size_t kMaxReplyLine = 4096;  // RFC 5321 allows 512; anything far beyond is hostile
constexpr int kMaxReplyLines = 100;

class TSmtpError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// One conversation with the server, over one connection.
class TSmtpSession {
 public:
  TSmtpSession(std::unique_ptr<TTcpConnection> connection, const TSmtpTimeouts& timeouts,
               TDeadline end)
      : connection_(std::move(connection)), timeouts_(timeouts), end_(end) {}

  // Reads one reply (all its lines) and returns its code.
  int ReadReply() {
    const TDeadline deadline = std::min(end_, std::chrono::steady_clock::now() + timeouts_.reply);
    reply_lines_.clear();
    for (int lines = 0; lines < kMaxReplyLines; ++lines) {
      const std::string line = ReadLine(deadline);
      reply_lines_.push_back(line);
      const auto digit = [](char c) { return c >= '0' && c <= '9'; };
      if (line.size() < 3 || !std::all_of(line.begin(), line.begin() + 3, digit)) {
        throw TSmtpError("malformed reply: " + line.substr(0, 80));
      }
      if (line.size() == 3 || line[3] == ' ') {
        last_reply_ = line;
        return std::stoi(line.substr(0, 3));
      }
      if (line[3] != '-') throw TSmtpError("malformed reply: " + line.substr(0, 80));
    }
    throw TSmtpError("reply of more than " + std::to_string(kMaxReplyLines) + " lines");
  }

  void Send(const std::string& text) { connection_->SendAll(text, end_); }

  // From here on the conversation is protected; nothing read before counts.
  // The handshake is bounded like one reply of the server.
  void StartTls(const TTlsClientOptions& options) {
    buffer_.clear();
    const TDeadline deadline = std::min(end_, std::chrono::steady_clock::now() + timeouts_.reply);
    connection_ = StartTlsClient(std::move(connection_), options, deadline);
  }

  // The parameters of an extension the last reply (to EHLO) lists, upper
  // case ("AUTH PLAIN LOGIN" gives {"PLAIN", "LOGIN"}); nothing when absent.
  std::optional<std::vector<std::string>> Parameters(const std::string& keyword) const {
    for (const std::string& line : reply_lines_) {
      if (line.size() < 4) continue;
      std::istringstream words(line.substr(4));
      std::string word;
      if (!(words >> word) || Upper(word) != keyword) continue;
      std::vector<std::string> parameters;
      while (words >> word) parameters.push_back(Upper(word));
      return parameters;
    }
    return std::nullopt;
  }

  // Sends a command and fails unless the reply has the expected code. An
  // error names the command by its label: a command that carries a
  // credential is never quoted whole.
  void Command(const std::string& command, int expected) { Command(command, expected, command); }
  void Command(const std::string& command, int expected, const std::string& label) {
    Send(command + "\r\n");
    Expect(expected, label);
  }

  // Whether the last reply (to EHLO) lists the extension keyword.
  bool Offers(const std::string& keyword) const { return Parameters(keyword).has_value(); }

  void Expect(int expected, const std::string& after) {
    const int code = ReadReply();
    if (code != expected) {
      throw TSmtpError("server answered " + last_reply_.substr(0, 200) + " to " + after);
    }
  }

 private:
  std::string ReadLine(TDeadline deadline) {
    for (;;) {
      const auto end = buffer_.find("\r\n");
      if (end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 2);
        return line;
      }
      if (buffer_.size() > kMaxReplyLine) throw TSmtpError("reply line too long");
      char chunk[1024];
      const std::size_t got = connection_->Receive(chunk, sizeof chunk, deadline);
      if (got == 0) throw TSmtpError("server closed the connection");
      buffer_.append(chunk, got);
    }
  }

  std::unique_ptr<TTcpConnection> connection_;
  const TSmtpTimeouts& timeouts_;
  TDeadline end_;
  std::string buffer_;
  std::string last_reply_;
  std::vector<std::string> reply_lines_;
};

}  // namespace

TSmtpClient::TSmtpClient(std::function<std::string()> host_name,
                         std::function<std::string()> mail_date, std::uint16_t port,
                         TSmtpTimeouts timeouts)
    : host_name_(std::move(host_name)),
      mail_date_(std::move(mail_date)),
      port_(port),
      timeouts_(timeouts) {}

void TSmtpClient::SendMail(const TMailServer& server, const TMailMessage& message,
                           TDeadline deadline) {
  try {
    Exchange(server, message, deadline);
  } catch (const std::exception& error) {
    // The commands are named without their credentials; a server that
    // echoes what it was sent must not smuggle them into the alert either.
    const std::string plain =
        Base64(std::string(1, '\0') + server.user + std::string(1, '\0') + server.password);
    throw TSmtpError(WithoutSecrets(
        error.what(),
        {plain, Base64(server.password),
         // a short password would hide plain words
         server.password.size() >= 4 ? std::string_view(server.password) : std::string_view()}));
  }
}

void TSmtpClient::Exchange(const TMailServer& server, const TMailMessage& message,
                           TDeadline deadline) {
  std::vector<std::string> recipients;
  for (const std::string& item : message.to) {
    const std::string address = EnvelopeAddress(item);
    if (address.empty())
      throw TSmtpError("unusable recipient address '" + CleanHeaderText(item) + "'");
    recipients.push_back(address);
  }
  const std::string from = EnvelopeAddress(message.from);
  if (recipients.empty()) throw TSmtpError("no recipient");
  const bool authenticate = !server.user.empty();
  // A password is only ever sent over TLS: a setting that would send it in
  // clear is refused before anything is sent.
  if (authenticate && server.security == TMailSecurity::None) {
    throw TSmtpError("refusing to send the mail password without TLS (set EmailSecurity)");
  }
  std::string greeting_name = CleanHeaderText(host_name_());
  if (greeting_name.empty() || greeting_name.find(' ') != std::string::npos) {
    greeting_name = "[127.0.0.1]";
  }
  const TTlsClientOptions tls{server.host, server.ca_file, {}, {}};
  const std::uint16_t port =
      server.port != 0 ? server.port : (server.security == TMailSecurity::Tls ? kTlsPort : port_);

  const auto start = std::chrono::steady_clock::now();
  const TDeadline end = std::min(deadline, start + timeouts_.exchange);
  TSmtpSession session(ConnectTcp(server.host, port, std::min(end, start + timeouts_.connect)),
                       timeouts_, end);
  if (server.security == TMailSecurity::Tls) session.StartTls(tls);
  session.Expect(220, "the connection");
  auto hello = [&] {
    session.Send("EHLO " + greeting_name + "\r\n");
    if (session.ReadReply() == 250) return true;
    session.Command("HELO " + greeting_name, 250);
    return false;
  };
  bool extended = hello();
  bool protected_now = server.security == TMailSecurity::Tls;
  const bool wants_starttls = server.security == TMailSecurity::StartTlsWhenOffered ||
                              server.security == TMailSecurity::StartTlsRequired;
  if (wants_starttls && extended && session.Offers("STARTTLS")) {
    session.Command("STARTTLS", 220);
    session.StartTls(tls);
    extended = hello();  // the server's offer may differ once protected
    protected_now = true;
  } else if (server.security == TMailSecurity::StartTlsRequired) {
    throw TSmtpError("the server offers no STARTTLS, which EmailSecurity requires");
  }
  if (authenticate) {
    if (!protected_now) {
      throw TSmtpError("refusing to send the mail password: the server offers no STARTTLS");
    }
    const auto mechanisms =
        extended ? session.Parameters("AUTH") : std::optional<std::vector<std::string>>();
    const auto offers = [&](const char* name) {
      return mechanisms &&
             std::find(mechanisms->begin(), mechanisms->end(), name) != mechanisms->end();
    };
    if (offers("PLAIN")) {
      session.Command("AUTH PLAIN " + Base64(std::string(1, '\0') + server.user +
                                             std::string(1, '\0') + server.password),
                      235, "AUTH PLAIN");
    } else if (offers("LOGIN")) {
      session.Command("AUTH LOGIN", 334);
      session.Command(Base64(server.user), 334, "AUTH LOGIN (the user name)");
      session.Send(Base64(server.password) + "\r\n");
      session.Expect(235, "AUTH LOGIN (the password)");
    } else {
      throw TSmtpError("the server offers neither AUTH PLAIN nor AUTH LOGIN");
    }
  }
  const bool takes_8bit = extended && session.Offers("8BITMIME");
  // 8-bit text goes as such only to a server that said it takes it (RFC
  // 6152); any other gets it quoted-printable.
  const TBodyEncoding encoding = ChooseBodyEncoding(message, takes_8bit);
  session.Command(
      "MAIL FROM:<" + from + ">" + (encoding == TBodyEncoding::EightBit ? " BODY=8BITMIME" : ""),
      250);
  for (const std::string& address : recipients) session.Command("RCPT TO:<" + address + ">", 250);
  session.Command("DATA", 354);
  const std::string message_id =
      !message.message_id.empty()
          ? message.message_id
          : "<" + std::to_string(std::chrono::system_clock::now().time_since_epoch().count()) +
                "." + std::to_string(++sent_) + ".warderon@" + greeting_name + ">";
  session.Send(FormatMailData(message, message.date.empty() ? mail_date_() : message.date,
                              message_id, encoding));
  session.Expect(250, "the message");
  // After 250 the server has the mail: a QUIT without answer loses nothing.
  try {
    session.Command("QUIT", 221);
  } catch (const std::exception&) {
  }
}

}  // namespace warderon
