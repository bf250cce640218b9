#include "monitors/resources/process_dump.h"

#include <algorithm>
#include <cstdio>

#include "core/text.h"
#include "core/text_case.h"

namespace warderon {
namespace {

template <class... TArgs>
std::string Format(const char* pattern, const TArgs&... args) {
  const int length = std::snprintf(nullptr, 0, pattern, args.c_str()...);
  std::string text(static_cast<std::size_t>(std::max(length, 0)), '\0');
  std::snprintf(text.data(), text.size() + 1, pattern, args.c_str()...);
  return text;
}

}  // namespace

std::vector<std::string> BuildProcessDump(TProcessInfo& processes) {
  std::vector<std::string> rows;
  for (const TProcessEntry& process :
       processes.ListProcesses().value_or(std::vector<TProcessEntry>{})) {
    const std::string exe = processes.ExecutablePath(process.pid).value_or(process.name);
    std::string size = "unknown";
    std::string vm = "unknown";
    if (const auto memory = processes.MemoryCounters(process.pid)) {
      size = std::to_string(memory->working_set / 1024);
      vm = std::to_string(memory->page_file_usage / 1024);
    }
    std::string user = "unknown";
    if (const auto owner = processes.OwnerAccount(process.pid)) {
      user = StripBlanks(owner->domain) + "\\" + StripBlanks(owner->name);
    }
    rows.push_back(Format("%20s %9s %9s %-38s", user, size, vm, exe));
  }
  std::stable_sort(rows.begin(), rows.end(), [](const std::string& a, const std::string& b) {
    return CompareTextIgnoreCase(a, b) < 0;
  });
  rows.insert(rows.begin(), Format("%-20s %9s %9s %-59s", std::string("user"), std::string("size"),
                                   std::string("vm"), std::string("exe")));
  return rows;
}

}  // namespace warderon
