// Autostart places, signatures and process services whose content the test
// sets.
#pragma once

#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/autostart/autostart_source.h"
#include "platform/process/process_services.h"
#include "platform/trust/signature_verifier.h"

namespace warderon::testing {

class TFakeAutostartSource final : public TAutostartSource {
 public:
  std::vector<TAutostartKey> WatchedKeys() override { return keys; }
  // "name=text" entries are split at the first "="; named ones are taken
  // as they are (names holding "=", the empty name).
  std::vector<TAutostartEntry> ReadEntries(const TAutostartKey& key) override {
    ++reads;
    std::vector<TAutostartEntry> read = named[key.name];
    for (const std::string& entry : entries[key.name]) {
      const auto equals = entry.find('=');
      read.push_back({entry.substr(0, equals),
                      equals == std::string::npos ? std::string() : entry.substr(equals + 1)});
    }
    return read;
  }

  std::vector<TAutostartKey> keys = {{"Run", "\\SOFTWARE\\Run", std::nullopt},
                                     {"Shell", "\\Software\\Winlogon", "Shell"}};
  std::map<std::string, std::vector<std::string>> entries;
  std::map<std::string, std::vector<TAutostartEntry>> named;
  int reads = 0;
};

class TFakeSignatureVerifier final : public TSignatureVerifier {
 public:
  std::string UnavailableReason() const override { return unavailable; }
  TSignature VerifyFileSignature(const std::string& path) override {
    if (path == failing) throw std::runtime_error("cannot read " + path);
    verified.push_back(path);
    const auto found = signatures.find(path);
    return found != signatures.end() ? found->second : TSignature{};
  }

  std::string unavailable;
  std::map<std::string, TSignature> signatures;  // others are unsigned
  std::string failing;                           // verifying this path raises
  std::vector<std::string> verified;
};

class TFakeProcessServices final : public TProcessServices {
 public:
  std::vector<std::string> ListProcessServices(std::uint32_t pid) override { return services[pid]; }
  std::map<std::uint32_t, std::vector<std::string>> services;
};

}  // namespace warderon::testing
