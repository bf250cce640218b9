#include "alerts/mail_format.h"

#include <vector>

namespace warderon {
namespace {

constexpr std::size_t kMaxLine = 998;         // RFC 5322, CR LF aside
constexpr std::size_t kMaxQuotedLine = 76;    // RFC 2045, the soft break's "=" included
constexpr std::size_t kMaxEncodedChunk = 45;  // bytes per encoded word: 60 base64 digits

bool IsUtf8Continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Cuts text into pieces of at most size bytes without splitting a UTF-8
// sequence.
std::vector<std::string_view> Chunks(std::string_view text, std::size_t size) {
  std::vector<std::string_view> chunks;
  while (text.size() > size) {
    std::size_t cut = size;
    while (cut > 1 && IsUtf8Continuation(text[cut])) --cut;
    chunks.push_back(text.substr(0, cut));
    text.remove_prefix(cut);
  }
  chunks.push_back(text);
  return chunks;
}

// The To value, folded after a comma when it grows long.
std::string FormatRecipients(const std::vector<std::string>& recipients) {
  std::string value;
  std::size_t line = 4;  // "To: "
  for (std::size_t i = 0; i < recipients.size(); ++i) {
    const std::string item = CleanHeaderText(recipients[i]);
    if (i > 0) {
      value += ",";
      if (line + item.size() + 2 > 76) {
        value += "\r\n ";
        line = 1;
      } else {
        value += " ";
        line += 2;
      }
    }
    value += item;
    line += item.size();
  }
  return value;
}

// One line on the wire, dot-stuffed: no text can end the message early.
void AppendWireLine(std::string_view line, std::string& data) {
  if (!line.empty() && line.front() == '.') data += '.';
  data.append(line);
  data += "\r\n";
}

// A body line in quoted-printable (RFC 2045): "=", control and 8-bit bytes
// as =XX, a blank before the line end too, soft breaks ("=" at the end)
// every 76 characters at most, never inside an =XX.
void AppendQuotedPrintable(std::string_view line, std::string& data) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string wire;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const auto byte = static_cast<unsigned char>(line[i]);
    const bool last = i + 1 == line.size();
    const bool literal =
        (byte >= 33 && byte <= 126 && byte != '=') || ((byte == ' ' || byte == '\t') && !last);
    const std::size_t width = literal ? 1 : 3;
    if (wire.size() + width > kMaxQuotedLine - 1) {
      wire += '=';
      AppendWireLine(wire, data);
      wire.clear();
    }
    if (literal) {
      wire += static_cast<char>(byte);
    } else {
      wire += '=';
      wire += kHex[byte >> 4];
      wire += kHex[byte & 0xF];
    }
  }
  AppendWireLine(wire, data);
}

// The logical lines of the body: each body line split at its own breaks.
template <class TVisit>
void ForEachBodyLine(const TMailMessage& message, TVisit visit) {
  for (const std::string& text : message.body_lines) {
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
      if (i == text.size() || text[i] == '\r' || text[i] == '\n') {
        visit(std::string_view(text).substr(start, i - start));
        if (i + 1 < text.size() && text[i] == '\r' && text[i + 1] == '\n') ++i;
        start = i + 1;
      }
    }
  }
}

}  // namespace

std::string Base64(std::string_view bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const auto n = (static_cast<unsigned>(static_cast<unsigned char>(bytes[i])) << 16) |
                   (static_cast<unsigned>(static_cast<unsigned char>(bytes[i + 1])) << 8) |
                   static_cast<unsigned char>(bytes[i + 2]);
    out += kDigits[(n >> 18) & 63];
    out += kDigits[(n >> 12) & 63];
    out += kDigits[(n >> 6) & 63];
    out += kDigits[n & 63];
  }
  if (i < bytes.size()) {
    const bool two = i + 1 < bytes.size();
    const auto n =
        (static_cast<unsigned>(static_cast<unsigned char>(bytes[i])) << 16) |
        (two ? static_cast<unsigned>(static_cast<unsigned char>(bytes[i + 1])) << 8 : 0U);
    out += kDigits[(n >> 18) & 63];
    out += kDigits[(n >> 12) & 63];
    out += two ? kDigits[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string CleanHeaderText(std::string_view text) {
  std::string clean(text);
  for (char& c : clean) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  return clean;
}

std::string EncodeSubject(std::string_view subject) {
  const std::string clean = CleanHeaderText(subject);
  bool plain = clean.size() <= 900;
  for (const char c : clean) plain = plain && static_cast<unsigned char>(c) < 0x80;
  if (plain) return clean;
  std::string encoded;
  for (const std::string_view chunk : Chunks(clean, kMaxEncodedChunk)) {
    if (!encoded.empty()) encoded += "\r\n ";
    encoded += "=?UTF-8?B?" + Base64(chunk) + "?=";
  }
  return encoded;
}

TBodyEncoding ChooseBodyEncoding(const TMailMessage& message, bool server_takes_8bit) {
  bool ascii = true;
  bool short_lines = true;
  ForEachBodyLine(message, [&](std::string_view line) {
    const std::size_t stuffed = !line.empty() && line.front() == '.' ? 1 : 0;
    short_lines = short_lines && line.size() + stuffed <= kMaxLine;
    for (const char c : line) {
      const auto byte = static_cast<unsigned char>(c);
      // NUL and the controls a relay may rewrite need encoding as well.
      ascii = ascii && byte < 0x80 && byte != 0 && byte != 0x7F;
    }
  });
  if (!short_lines) return TBodyEncoding::QuotedPrintable;
  if (ascii) return TBodyEncoding::SevenBit;
  return server_takes_8bit ? TBodyEncoding::EightBit : TBodyEncoding::QuotedPrintable;
}

std::string FormatMailData(const TMailMessage& message, const std::string& date,
                           const std::string& message_id, TBodyEncoding encoding) {
  std::string data;
  data += "From: " + CleanHeaderText(message.from) + "\r\n";
  data += "Sender: " + CleanHeaderText(message.sender) + "\r\n";
  data += "To: " + FormatRecipients(message.to) + "\r\n";
  data += "Subject: " + EncodeSubject(message.subject) + "\r\n";
  data += "Date: " + CleanHeaderText(date) + "\r\n";
  data += "Message-ID: " + CleanHeaderText(message_id) + "\r\n";
  data += "MIME-Version: 1.0\r\n";
  data += "Content-Type: text/plain; charset=UTF-8\r\n";
  data += encoding == TBodyEncoding::SevenBit   ? "Content-Transfer-Encoding: 7bit\r\n"
          : encoding == TBodyEncoding::EightBit ? "Content-Transfer-Encoding: 8bit\r\n"
                                                : "Content-Transfer-Encoding: quoted-printable\r\n";
  data += "\r\n";
  // A line break inside a body line starts a new line, which is dot-stuffed
  // on its own.
  ForEachBodyLine(message, [&](std::string_view line) {
    if (encoding == TBodyEncoding::QuotedPrintable) {
      AppendQuotedPrintable(line, data);
    } else {
      AppendWireLine(line, data);
    }
  });
  data += ".\r\n";
  return data;
}

}  // namespace warderon
