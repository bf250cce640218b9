#include "platform/memory_policy_backend.h"

#include <algorithm>

#include "platform/text_case.h"

namespace warderon {
namespace {

std::string SectionKey(const std::string& section) { return FoldCase(section); }

auto FindValue(std::vector<TPolicyNamedValue>& values, const std::string& name) {
  const std::string folded = FoldCase(name);
  return std::find_if(values.begin(), values.end(),
                      [&](const TPolicyNamedValue& v) { return FoldCase(v.name) == folded; });
}

}  // namespace

std::string TMemoryPolicyBackend::Describe() const { return "in-memory policy store"; }

void TMemoryPolicyBackend::CheckFailing() const {
  if (failing_) throw TPolicyError("in-memory policy store: simulated failure");
}

TMemoryPolicyBackend::TSection* TMemoryPolicyBackend::FindSection(const std::string& section) {
  const auto it = sections_.find(SectionKey(section));
  return it == sections_.end() ? nullptr : &it->second;
}

TMemoryPolicyBackend::TSection& TMemoryPolicyBackend::EnsureSection(const std::string& section) {
  // Create every level of a nested name, as the registry does.
  for (std::size_t pos = section.find('\\'); pos != std::string::npos;
       pos = section.find('\\', pos + 1)) {
    const std::string parent = section.substr(0, pos);
    sections_.try_emplace(SectionKey(parent), TSection{parent, {}});
  }
  return sections_.try_emplace(SectionKey(section), TSection{section, {}}).first->second;
}

void TMemoryPolicyBackend::CreateSection(const std::string& section) {
  const std::lock_guard lock(mutex_);
  CheckFailing();
  EnsureSection(section);
}

std::optional<TPolicyValue> TMemoryPolicyBackend::ReadValue(const std::string& section,
                                                            const std::string& name) {
  const std::lock_guard lock(mutex_);
  CheckFailing();
  TSection* found = FindSection(section);
  if (found == nullptr) return std::nullopt;
  const auto it = FindValue(found->values, name);
  if (it == found->values.end()) return std::nullopt;
  return it->value;
}

void TMemoryPolicyBackend::WriteValue(const std::string& section, const std::string& name,
                                      const TPolicyValue& value) {
  const std::lock_guard lock(mutex_);
  CheckFailing();
  TSection& target = EnsureSection(section);
  const auto it = FindValue(target.values, name);
  if (it != target.values.end()) {
    it->value = value;
  } else {
    target.values.push_back({name, value});
  }
}

bool TMemoryPolicyBackend::DeleteValue(const std::string& section, const std::string& name) {
  const std::lock_guard lock(mutex_);
  CheckFailing();
  TSection* found = FindSection(section);
  if (found == nullptr) return false;
  const auto it = FindValue(found->values, name);
  if (it == found->values.end()) return false;
  found->values.erase(it);
  return true;
}

void TMemoryPolicyBackend::DeleteSection(const std::string& section) {
  const std::lock_guard lock(mutex_);
  CheckFailing();
  const std::string key = SectionKey(section);
  const std::string prefix = key + "\\";
  std::erase_if(sections_, [&](const auto& entry) {
    return entry.first == key || entry.first.starts_with(prefix);
  });
}

std::vector<TPolicyNamedValue> TMemoryPolicyBackend::ReadSection(const std::string& section) {
  const std::lock_guard lock(mutex_);
  CheckFailing();
  TSection* found = FindSection(section);
  if (found == nullptr) return {};
  return found->values;
}

void TMemoryPolicyBackend::RunAtomically(const std::function<void()>& work) {
  const std::lock_guard lock(mutex_);
  const TSections saved = sections_;
  try {
    work();
  } catch (...) {
    sections_ = saved;
    throw;
  }
}

void TMemoryPolicyBackend::SetFailing(bool failing) {
  const std::lock_guard lock(mutex_);
  failing_ = failing;
}

bool TMemoryPolicyBackend::SectionExists(const std::string& section) const {
  const std::lock_guard lock(mutex_);
  return sections_.contains(SectionKey(section));
}

}  // namespace warderon
