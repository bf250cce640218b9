// The policy store of Linux hosts: one SQLite file with the registry's
// section, value and type model.
//
// One connection stays open for the object's life; nothing is cached, so a
// change made by another process (the -policy tool) is seen at the next read.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/store/policy_backend.h"

struct sqlite3;

namespace warderon {

class TSqliteStatement;

// How much of an existing file is checked when it is opened: its header
// (fast), or also every page (SQLite's quick check, about a millisecond per
// few thousand values), so that damage inside the file is refused at once.
enum class TSqliteCheck { Header, EveryPage };

// Whether a missing file is created, and whether the store may be changed
// at all: a read-only opening creates, changes and tightens nothing.
enum class TSqliteOpen { CreateOrWrite, ReadOnly };

class TSqlitePolicyBackend final : public TPolicyBackend {
 public:
  // Opens, or creates for its owner alone (0600; SQLite's journal files take
  // the same rights), the store file; an existing store that we own loses
  // every right of group and others, since it holds passwords. Throws
  // TPolicyError naming the file when it is missing (read-only), empty,
  // cannot be opened or written, is corrupt, or is not a policy store; an
  // existing file is never reset.
  explicit TSqlitePolicyBackend(std::string path, TSqliteCheck check = TSqliteCheck::Header,
                                TSqliteOpen open = TSqliteOpen::CreateOrWrite);
  ~TSqlitePolicyBackend() override;
  TSqlitePolicyBackend(const TSqlitePolicyBackend&) = delete;
  TSqlitePolicyBackend& operator=(const TSqlitePolicyBackend&) = delete;

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
  void RunAtomically(const std::function<void()>& work) override;

 private:
  struct TDeleter {
    void operator()(sqlite3* db) const;
  };

  [[noreturn]] void Fail(const std::string& operation) const;
  void Execute(const char* sql, const std::string& operation);
  void PrepareFile(TSqliteOpen open);
  void PrepareSchema(TSqliteOpen open);
  void CheckEveryPage();
  TSqliteStatement& Statement(std::unique_ptr<TSqliteStatement>& slot, const char* sql);
  std::optional<long long> FindSectionId(const std::string& section);
  long long EnsureSectionId(const std::string& section);
  // Deletes the section's subsections with their values, and the section
  // itself when asked.
  void DeleteTree(const std::string& section, bool including_section);

  std::string path_;
  std::unique_ptr<sqlite3, TDeleter> db_;
  std::recursive_mutex mutex_;
  int savepoint_depth_ = 0;
  // Prepared statements, reused for speed; declared after db_ so they are
  // finalised before the connection closes.
  std::unique_ptr<TSqliteStatement> find_section_, insert_section_, read_value_, write_value_,
      delete_value_, read_section_, insert_value_, list_sections_;
};

}  // namespace warderon
