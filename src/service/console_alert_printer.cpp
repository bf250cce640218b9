#include "service/console_alert_printer.h"

#include <ostream>
#include <string_view>

#include "core/text.h"

namespace warderon {
namespace {

// Alert bodies use CR LF; a console wants plain line feeds. Every line is
// made visible: a body may carry a peer's own text (a directory server's
// diagnostic), which must not drive the administrator's terminal.
std::string ConsoleLines(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  std::size_t start = 0;
  while (true) {
    const std::size_t end = text.find('\n', start);
    std::string_view line(text.data() + start,
                          (end == std::string::npos ? text.size() : end) - start);
    if (end != std::string::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    out += VisibleLine(line);
    if (end == std::string::npos) return out;
    out += '\n';
    start = end + 1;
  }
}

}  // namespace

void TConsoleAlertPrinter::OnAlert(const std::string& subject, const std::string& body,
                                   const std::vector<std::string>& details) {
  out_ << ConsoleLines(subject) << '\n' << ConsoleLines(body) << '\n';
  for (const std::string& line : details) out_ << ConsoleLines(line) << '\n';
  out_ << '\n';
  out_.flush();
}

}  // namespace warderon
