// The file integrity monitor: a catalogue of every file below the
// "IncludeDirs" (and the "SpecialFiles"), with last-write time and size,
// kept across restarts in a catalogue file. Each enabled cycle walks the
// directories again and reports new, erased, touched and resized files in
// one "file changes" alert. Only directory metadata is compared; no file is
// opened.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/alert_sender.h"
#include "core/cycle_module.h"
#include "core/string_list.h"
#include "monitors/files/file_catalogue.h"
#include "platform/directory_search.h"
#include "platform/path_rules.h"
#include "policy/baseline_lists.h"
#include "policy/policy_store.h"

namespace warderon {

class TMonitorModule final : public TCycleModule {
 public:
  TMonitorModule(TPolicyStore& store, TBaselineLists& baselines, TAlertSender& alerts,
                 TDirectorySearch& search, std::string catalogue_path,
                 TPathRules rules = NativePathRules());

  // The creation sequence: configuration, catalogue, one scan, save. It
  // reports nothing.
  void Initialize() override;
  // Under "FilesEnabled": configuration, scan, report.
  void Run() override;

  const TFileCatalogue& FileList() const { return FileList_; }
  std::uint64_t ScanCount() const { return ScanCount_; }
  std::string NormalisePath(std::string_view path) const;

 private:
  void LoadFileList();
  void SaveFileList();
  void ReadFileConfig();
  bool IsExcludedDir(std::string_view path) const;
  bool IsExcludedFile(std::string_view path) const;
  void ScanFiles();
  // Walks a tree depth-first, in the order the directory search returns
  // entries, with a stack of its own: any depth costs heap, not stack.
  void ScanDirectory(const std::string& path);
  void ScanSpecial(const std::string& pattern);
  void EnterDirectory(std::string directory, std::unique_ptr<TOpenDirectory> handle);
  void VisitNextEntry();
  void ReportWalkFailure(const std::exception& error, const std::string& directory,
                         std::string_view current, const char* label);
  void RecordFile(const std::string& path, const TFoundEntry& entry, bool special);
  void ReportFileChanges();
  std::string ReportLine(TRecordIndex index) const;
  std::string PathKey(std::string_view path) const;  // how exclusion lists compare

  TPolicyStore& store_;
  TBaselineLists& baselines_;
  TAlertSender& alerts_;
  TDirectorySearch& search_;
  std::string catalogue_path_;
  TPathRules rules_;

  TFileCatalogue FileList_;
  std::vector<TRecordIndex> FileChanges_;
  std::vector<std::string> IncludeDirs_;          // normalised, sorted
  std::unordered_set<std::string> ExcludeDirs_;   // by PathKey of the normalised path
  std::unordered_set<std::string> ExcludeFiles_;  // by PathKey of the normalised path
  std::vector<std::string> SpecialFiles_;         // literal, in section order
  std::uint64_t ScanCount_ = 0;
  std::string key_;  // reused for every file's key

  // One level of the walk: the directory's entries, read in full, and how
  // far the walk has come through them.
  struct TListedEntry {
    std::size_t name_offset = 0;
    std::size_t name_length = 0;
    bool is_directory = false;
    double time = 0.0;
    std::uint64_t size = 0;
  };
  struct TWalkLevel {
    std::string directory;  // with a trailing separator
    std::unique_ptr<TOpenDirectory> handle;
    std::string names;
    std::vector<TListedEntry> entries;
    std::size_t next = 0;
  };
  std::vector<TWalkLevel> levels_;  // kept between walks for their buffers
  std::size_t depth_ = 0;
  std::string current_;  // the entry being visited
  std::string full_;     // its full path
};

}  // namespace warderon
