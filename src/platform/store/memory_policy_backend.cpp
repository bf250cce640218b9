#include "platform/store/memory_policy_backend.h"

#include <algorithm>

#include <iterator>

#include "core/text_case.h"

namespace warderon {
namespace {

std::string SectionKey(const std::string& section) { return FoldCase(section); }

}  // namespace

TMemoryPolicyBackend::TSection::TSection(const TSection& other)
    : name(other.name), values(other.values) {
  for (auto it = values.begin(); it != values.end(); ++it) index.emplace(FoldCase(it->name), it);
}

TMemoryPolicyBackend::TSection& TMemoryPolicyBackend::TSection::operator=(const TSection& other) {
  if (this != &other) *this = TSection(other);
  return *this;
}

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
    sections_.try_emplace(SectionKey(parent), TSection(parent));
  }
  return sections_.try_emplace(SectionKey(section), TSection(section)).first->second;
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
  const auto it = found->index.find(FoldCase(name));
  if (it == found->index.end()) return std::nullopt;
  return it->second->value;
}

void TMemoryPolicyBackend::WriteValue(const std::string& section, const std::string& name,
                                      const TPolicyValue& value) {
  const std::lock_guard lock(mutex_);
  CheckFailing();
  TSection& target = EnsureSection(section);
  std::string folded = FoldCase(name);
  const auto it = target.index.find(folded);
  if (it != target.index.end()) {
    it->second->value = value;
  } else {
    target.values.push_back({name, value});
    target.index.emplace(std::move(folded), std::prev(target.values.end()));
  }
}

bool TMemoryPolicyBackend::DeleteValue(const std::string& section, const std::string& name) {
  const std::lock_guard lock(mutex_);
  CheckFailing();
  TSection* found = FindSection(section);
  if (found == nullptr) return false;
  const auto it = found->index.find(FoldCase(name));
  if (it == found->index.end()) return false;
  found->values.erase(it->second);
  found->index.erase(it);
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

void TMemoryPolicyBackend::RewriteSection(const std::string& section,
                                          const std::vector<TPolicyNamedValue>& values) {
  const std::lock_guard lock(mutex_);
  CheckFailing();
  DeleteSection(section);
  TSection& target = EnsureSection(section);
  for (const TPolicyNamedValue& value : values) {
    target.values.push_back(value);
    target.index.emplace(FoldCase(value.name), std::prev(target.values.end()));
  }
}

std::vector<TPolicyNamedValue> TMemoryPolicyBackend::ReadSection(const std::string& section) {
  const std::lock_guard lock(mutex_);
  CheckFailing();
  TSection* found = FindSection(section);
  if (found == nullptr) return {};
  return {found->values.begin(), found->values.end()};
}

void TMemoryPolicyBackend::RunAtomically(const std::function<void()>& work) {
  const std::lock_guard lock(mutex_);
  if (atomic_depth_ > 0) {
    work();
    return;
  }
  const TSections saved = sections_;
  ++atomic_depth_;
  try {
    work();
  } catch (...) {
    --atomic_depth_;
    sections_ = saved;
    throw;
  }
  --atomic_depth_;
}

void TMemoryPolicyBackend::SetFailing(bool failing) {
  const std::lock_guard lock(mutex_);
  failing_ = failing;
}

bool TMemoryPolicyBackend::SectionExists(const std::string& section) const {
  const std::lock_guard lock(mutex_);
  return sections_.contains(SectionKey(section));
}

std::vector<std::string> TMemoryPolicyBackend::ListSections() {
  const std::lock_guard lock(mutex_);
  CheckFailing();
  std::vector<std::string> names;
  for (const auto& [folded, section] : sections_) {
    if (!section.name.empty()) names.push_back(section.name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace warderon
