// A policy backend held in memory: the store of logic tests, with the same
// section, value and ordering rules as the registry and the SQLite file.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/policy_backend.h"

namespace warderon {

class TMemoryPolicyBackend final : public TPolicyBackend {
 public:
  std::string Describe() const override;
  void CreateSection(const std::string& section) override;
  std::optional<TPolicyValue> ReadValue(const std::string& section,
                                        const std::string& name) override;
  void WriteValue(const std::string& section, const std::string& name,
                  const TPolicyValue& value) override;
  bool DeleteValue(const std::string& section, const std::string& name) override;
  void DeleteSection(const std::string& section) override;
  std::vector<TPolicyNamedValue> ReadSection(const std::string& section) override;
  void RunAtomically(const std::function<void()>& work) override;

  // Test hook: every following operation fails with TPolicyError until cleared.
  void SetFailing(bool failing);
  bool SectionExists(const std::string& section) const;

 private:
  struct TSection {
    std::string name;
    std::vector<TPolicyNamedValue> values;
  };
  using TSections = std::map<std::string, TSection>;  // by folded section name

  void CheckFailing() const;
  TSection* FindSection(const std::string& section);
  TSection& EnsureSection(const std::string& section);

  mutable std::recursive_mutex mutex_;
  TSections sections_;
  bool failing_ = false;
};

}  // namespace warderon
