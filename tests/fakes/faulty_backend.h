// A policy backend that fails the operations a test names and passes every
// other call on to a real one.
#pragma once

#include <string>

#include "platform/store/policy_backend.h"

namespace warderon::testing {

// Fails the chosen store operations; everything else reaches the inner store.
class TFaultyBackend final : public TPolicyBackend {
 public:
  explicit TFaultyBackend(TPolicyBackend& inner) : inner_(inner) {}
  std::string Describe() const override { return "faulty store"; }
  void CreateSection(const std::string& s) override { inner_.CreateSection(s); }
  std::optional<TPolicyValue> ReadValue(const std::string& s, const std::string& n) override {
    if (s == fail_reads_of_section) throw TPolicyError("faulty store: read refused");
    return inner_.ReadValue(s, n);
  }
  void WriteValue(const std::string& s, const std::string& n, const TPolicyValue& v) override {
    if (n == fail_write_of) throw TPolicyError("faulty store: disk full");
    inner_.WriteValue(s, n, v);
  }
  bool DeleteValue(const std::string& s, const std::string& n) override {
    return inner_.DeleteValue(s, n);
  }
  void DeleteSection(const std::string& s) override {
    if (fail_section_delete) throw TPolicyError("faulty store: access denied");
    inner_.DeleteSection(s);
  }
  void RewriteSection(const std::string& s, const std::vector<TPolicyNamedValue>& v) override {
    rewritten_sections.push_back(s);
    inner_.RewriteSection(s, v);
  }
  std::vector<TPolicyNamedValue> ReadSection(const std::string& s) override {
    if (s == fail_reads_of_section) throw TPolicyError("faulty store: read refused");
    return inner_.ReadSection(s);
  }
  std::vector<std::string> ListSections() override { return inner_.ListSections(); }
  void RunAtomically(const std::function<void()>& work) override {
    // All or none: a commit that fails leaves nothing of the work behind.
    if (fail_commit) throw TPolicyError("faulty store: disk full at commit");
    inner_.RunAtomically(work);
  }

  std::string fail_write_of;
  std::string fail_reads_of_section;
  bool fail_commit = false;
  std::vector<std::string> rewritten_sections;  // every section rewrite, in order
  bool fail_section_delete = false;

 private:
  TPolicyBackend& inner_;
};

}  // namespace warderon::testing
