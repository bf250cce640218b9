#include "service/command_line.h"

#include <charconv>

#include "core/text_case.h"

namespace warderon {
namespace {

// The switch name without its "-" or "/", upper-cased; empty for a plain word.
std::string SwitchName(const std::string& arg) {
  if (arg.size() < 2 || (arg[0] != '-' && arg[0] != '/')) return {};
  return UpperAscii(arg.substr(1));
}

}  // namespace

TCommandLine ParseCommandLine(const std::vector<std::string>& args) {
  TCommandLine line;
  auto fail = [&](const std::string& message) {
    line.error = message;
    return line;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string name = SwitchName(args[i]);
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= args.size()) return std::nullopt;
      return args[++i];
    };
    // After -policy only -store and -type are switches: values such as
    // "-5" or "/run" are words.
    const bool policy_word = line.command == TCommand::Policy && name != "STORE" && name != "TYPE";
    if (policy_word) {
      line.policy_words.push_back(args[i]);
    } else if ((name == "HELP" || name == "-HELP" || name == "?") &&
               line.command == TCommand::Usage) {
      line.command = TCommand::Help;
    } else if ((name == "VERSION" || name == "-VERSION") && line.command == TCommand::Usage) {
      line.command = TCommand::Version;
    } else if (name == "STATUS" && line.command == TCommand::Usage) {
      line.command = TCommand::Status;
    } else if (name == "CHECK" && line.command == TCommand::Usage) {
      line.command = TCommand::Check;
    } else if (name == "JSON") {
      line.json = true;
    } else if (name == "MAX-AGE") {
      const auto text = value();
      int minutes = 0;
      const auto [end, error] =
          text ? std::from_chars(text->data(), text->data() + text->size(), minutes)
               : std::from_chars_result{nullptr, std::errc::invalid_argument};
      if (!text || error != std::errc() || end != text->data() + text->size() || minutes < 1) {
        return fail("-max-age needs a whole number of minutes of at least 1");
      }
      line.max_age_minutes = minutes;
    } else if (name == "RUN") {
      line.command = TCommand::Run;
    } else if (name == "POLICY" && line.command == TCommand::Usage) {
      line.command = TCommand::Policy;
    } else if (name == "INSTALL" && line.command != TCommand::Run) {
      line.command = TCommand::Install;  // wins over UNINSTALL
    } else if (name == "UNINSTALL" && line.command != TCommand::Run) {
      if (line.command != TCommand::Install) line.command = TCommand::Uninstall;
    } else if (name == "SILENT") {
      line.silent = true;
    } else if (name == "CYCLES") {
      const auto text = value();
      if (!text) return fail("-cycles needs a number");
      int cycles = 0;
      const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), cycles);
      if (error != std::errc() || end != text->data() + text->size() || cycles < 1) {
        return fail("-cycles needs a whole number of at least 1, not '" + *text + "'");
      }
      line.cycles = cycles;
    } else if (name == "STORE") {
      const auto text = value();
      if (!text || text->empty()) return fail("-store needs a file path");
      line.store_path = *text;
    } else if (name == "TYPE" && line.command == TCommand::Policy) {
      const auto text = value();
      if (!text) return fail("-type needs string, expandstring, integer or float");
      line.value_type = *text;
    } else {
      return fail("unknown argument '" + args[i] + "'");
    }
  }
  if (line.cycles && line.command != TCommand::Run) return fail("-cycles goes with -run");
  if (line.json && line.command != TCommand::Status) return fail("-json goes with -status");
  if (line.max_age_minutes && line.command != TCommand::Check) {
    return fail("-max-age goes with -check");
  }
  if (line.value_type && line.command != TCommand::Policy)
    return fail("-type goes with -policy set");
  return line;
}

std::string UsageText() {
  return "usage:\n"
         "  warderon /INSTALL [/SILENT]      register the Windows service (WarderonService)\n"
         "  warderon /UNINSTALL [/SILENT]    remove it\n"
         "  warderon -run [-cycles N] [-store PATH]   run the watchdog in the foreground\n"
         "  warderon -status [-json] [-store PATH]   data version, last run, what is enabled, "
         "last journal\n"
         "  warderon -check [-max-age MINUTES] [-store PATH]   a monitoring plugin's check: "
         "OK, WARNING, CRITICAL or UNKNOWN\n"
         "  warderon -version                the program's version\n"
         "  warderon -help (--help, /?)      this text\n"
         "  warderon -policy list SECTION [-store PATH]\n"
         "  warderon -policy get SECTION NAME [-store PATH]\n"
         "  warderon -policy set SECTION NAME VALUE [-type string|expandstring|integer|float]"
         " [-store PATH]\n"
         "  warderon -policy delete SECTION [NAME] [-store PATH]\n"
         "  warderon -policy export [SECTION] [-store PATH]   sections as [SECTION] and list "
         "lines\n"
         "  warderon -policy import FILE [-store PATH]        apply such lines: all or nothing\n"
         "Switches may start with - or / in any letter case. The value name (default)\n"
         "addresses a section's default value.\n";
}

}  // namespace warderon
