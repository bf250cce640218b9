// The policy store of Windows hosts: a registry key whose subkeys are the
// sections. Portable types only, so the composition root can include it.
#pragma once

#include <mutex>
#include <string>

#include "platform/store/policy_backend.h"

namespace warderon {

enum class TRegistryHive { LocalMachine, CurrentUser };

class TRegistryPolicyBackend final : public TPolicyBackend {
 public:
  // root_path is relative to the hive, without a trailing "\" (for example
  // "Software\Policies\dunmarrow\orvan\warderon"). Finishes or undoes any
  // section rewrite that a process ending mid-way left behind (see
  // RewriteSection).
  TRegistryPolicyBackend(TRegistryHive hive, std::string root_path);

  std::string Describe() const override;
  void CreateSection(const std::string& section) override;
  std::optional<TPolicyValue> ReadValue(const std::string& section,
                                        const std::string& name) override;
  void WriteValue(const std::string& section, const std::string& name,
                  const TPolicyValue& value) override;
  bool DeleteValue(const std::string& section, const std::string& name) override;
  void DeleteSection(const std::string& section) override;
  // Leaves the old or the new section whole, whenever the process ends: the
  // new values go to a sibling key "<name>~new", which then takes the
  // section's place by two renames ("<name>" to "<name>~old", "<name>~new"
  // to "<name>"); the old one is deleted last. The next backend finds any
  // step that did not happen and completes or undoes it.
  void RewriteSection(const std::string& section,
                      const std::vector<TPolicyNamedValue>& values) override;
  std::vector<TPolicyNamedValue> ReadSection(const std::string& section) override;
  std::vector<std::string> ListSections() override;
  // The registry has no transactions: the work runs as it is, only
  // serialised against this object's other callers.
  void RunAtomically(const std::function<void()>& work) override;

 private:
  std::string KeyPath(const std::string& section) const;
  bool SectionExists(const std::string& section);
  void RenameSection(const std::string& section, const std::string& new_leaf);
  void RecoverRewrites(const std::string& section);

  TRegistryHive hive_;
  std::string root_path_;
  std::recursive_mutex mutex_;
};

}  // namespace warderon
