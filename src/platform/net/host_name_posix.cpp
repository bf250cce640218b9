#include <unistd.h>

#include <array>
#include <fstream>
#include <sstream>

#include "platform/net/host_name.h"

namespace warderon {

std::string GetLocalHostName() {
  std::array<char, 256> buffer{};
  if (gethostname(buffer.data(), buffer.size() - 1) != 0) return {};
  return std::string(buffer.data());  // up to the first NUL
}

std::string GetLocalDnsDomainSuffix() {
  // A host name given in full carries its domain; else the resolver's
  // "domain" line, or the first "search" domain. No name server is asked.
  const std::string host = GetLocalHostName();
  const auto dot = host.find('.');
  if (dot != std::string::npos && dot + 1 < host.size()) return host.substr(dot);
  std::ifstream resolver("/etc/resolv.conf");
  std::string line;
  std::string search;
  while (std::getline(resolver, line)) {
    std::istringstream fields(line);
    std::string keyword;
    std::string domain;
    if (!(fields >> keyword >> domain)) continue;
    if (keyword == "domain") return "." + domain;
    if (keyword == "search" && search.empty()) search = "." + domain;
  }
  return search;
}

}  // namespace warderon
