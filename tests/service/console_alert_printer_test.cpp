#include "service/console_alert_printer.h"

#include <gtest/gtest.h>

#include <sstream>

namespace warderon {
namespace {

TEST(ConsoleAlertPrinter, PrintsPlainLinesAndNoRawControlCharacter) {
  std::ostringstream out;
  TConsoleAlertPrinter printer(out);
  printer.OnAlert("directory cannot be used",
                  "bind refused:\r\nserver says \x1b]0;owned\x07 ok\r\n", {"Path: a\rb\tc"});
  EXPECT_EQ(out.str(),
            "directory cannot be used\n"
            "bind refused:\n"
            "server says \u241b]0;owned\u2407 ok\n"
            "\n"
            "Path: a\u240db\tc\n"
            "\n");
}

}  // namespace
}  // namespace warderon
