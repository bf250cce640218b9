// A policy backend held in memory: the store of logic tests, with the same
// section, value and ordering rules as the registry and the SQLite file.
#pragma once

#include <list>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/store/policy_backend.h"

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
  void RewriteSection(const std::string& section,
                      const std::vector<TPolicyNamedValue>& values) override;
  std::vector<TPolicyNamedValue> ReadSection(const std::string& section) override;
  std::vector<std::string> ListSections() override;
  // Undoes the outermost piece of work only: enough for a test store.
  void RunAtomically(const std::function<void()>& work) override;

  // Test hook: every following operation fails with TPolicyError until cleared.
  void SetFailing(bool failing);
  bool SectionExists(const std::string& section) const;

 private:
  // Values in creation order, indexed by folded name. Copies rebuild the
  // index so that it points into their own list.
  struct TSection {
    explicit TSection(std::string section_name) : name(std::move(section_name)) {}
    TSection(const TSection& other);
    TSection& operator=(const TSection& other);
    TSection(TSection&&) = default;
    TSection& operator=(TSection&&) = default;
    ~TSection() = default;

    std::string name;
    std::list<TPolicyNamedValue> values;
    std::unordered_map<std::string, std::list<TPolicyNamedValue>::iterator> index;
  };
  using TSections = std::map<std::string, TSection>;  // by folded section name

  void CheckFailing() const;
  TSection* FindSection(const std::string& section);
  TSection& EnsureSection(const std::string& section);

  mutable std::recursive_mutex mutex_;
  TSections sections_;
  bool failing_ = false;
  int atomic_depth_ = 0;
};

}  // namespace warderon
