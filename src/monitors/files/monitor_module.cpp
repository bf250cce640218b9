#include "monitors/files/monitor_module.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <optional>
#include <utility>

#include "core/text_case.h"

namespace warderon {
namespace {

// A millisecond, in days: far below the two seconds that file times keep.
constexpr double kSameTimeDays = 1.0 / 86400000.0;

}  // namespace

TMonitorModule::TMonitorModule(TPolicyStore& store, TBaselineLists& baselines, TAlertSender& alerts,
                               TDirectorySearch& search, std::string catalogue_path,
                               TPathRules rules, TChangeFollowing following)
    : store_(store),
      baselines_(baselines),
      alerts_(alerts),
      search_(search),
      catalogue_path_(std::move(catalogue_path)),
      rules_(rules),
      FileList_(rules),
      following_(std::move(following)),
      deep_(rules, following_.now) {}

void TMonitorModule::Initialize() {
  FileList_.Clear();
  ForgetChanges();
  config_known_ = false;
  const bool configured = ReadFileConfig();
  LoadFileList();
  ConfigureDeepChecks();
  try {
    deep_.Load(FactsPath(), FileList_);
  } catch (const std::exception& error) {
    // Taken in again silently: nothing compares with facts that cannot be read.
    alerts_.SendAlert(kAlertMonitorFailure, "error in file read startup", error.what());
  }
  // Trees that cannot be read yet are walked when they can: a start without
  // them would take for erased every file the catalogue holds.
  start_walk_pending_ = !configured;
  if (configured) StartWatching();
}

void TMonitorModule::StartWatching() {
  StartFollowing();
  creation_scan_ = true;
  ScanFiles();
  creation_scan_ = false;
  // The first cycle reports the files that went while the program was not
  // running: those this scan did not see. It follows the changes made
  // since the scan began, so one walk serves the start and the first cycle.
  first_cycle_due_ = true;
  creation_scan_count_ = ScanCount_;
  // What the creation scan found is taken in silently. Its marks are cleared
  // too: a file recorded here as new and deleted before the first enabled
  // cycle would otherwise never count as erased, and stay catalogued for ever.
  FileList_.ForEach([](TRecordIndex, FileData& record) { record.ChangeKind = kNoChange; });
  // A start that found the trees as the catalogue has them writes nothing:
  // on a million files that is most of a gigabyte's writing saved per start.
  const bool changed = !FileChanges_.empty() || !FileList_.LoadedAsSaved();
  ForgetChanges();
  if (changed) SaveFileList();
  SaveDeepChecks();
}

void TMonitorModule::Run() {
  if (!store_.ReadPolicyBool("general", "FilesEnabled", false)) return;
  if (!ReadFileConfig()) return;  // reported; nothing known to compare with
  ConfigureDeepChecks();
  if (std::exchange(start_walk_pending_, false)) StartWatching();
  TJournalChanges changes;
  last_walk_full_ = ChooseFullWalk(changes);
  const bool first_cycle = std::exchange(first_cycle_due_, false);
  if (last_walk_full_) {
    ScanFiles();
    deep_.ReadDigests(FileList_);
    ReportFileChanges();
    SaveDeepChecks();
    return;
  }
  std::vector<TRecordIndex> candidates;
  ScanChanges(changes, candidates);
  if (first_cycle) {
    // Gone while the program was down: not seen by the creation scan, nor
    // since.
    FileList_.ForEach([&](TRecordIndex index, FileData& record) {
      if (record.LastSeen < creation_scan_count_) candidates.push_back(index);
    });
  }
  deep_.ReadDigests(FileList_);
  ReportFileChanges(&candidates);
  SaveDeepChecks();
}

void TMonitorModule::ConfigureDeepChecks() {
  TDeepOptions options;
  options.attributes = store_.ReadPolicyInteger("general", "FilesAttributes", 0) != 0;
  options.digest_dirs = DigestDirs_;
  const std::int32_t megabytes =
      std::clamp(store_.ReadPolicyInteger("general", "DigestMBPerCycle", 512), 1, 1048576);
  options.budget_bytes = static_cast<std::uint64_t>(megabytes) << 20;
  options.full_check = std::chrono::hours(
      std::max(0, store_.ReadPolicyInteger("general", "DigestFullCheckHours", 24)));
  const bool was_active = deep_.Active();
  deep_.Configure(std::move(options), FileList_);
  if (following_.journal != nullptr && deep_.Active() != was_active) {
    following_.journal->FollowLinkCounts(deep_.Active());
  }
}

void TMonitorModule::SaveDeepChecks() {
  try {
    deep_.Save(FactsPath(), FileList_);
  } catch (const std::exception& error) {
    alerts_.SendAlert(kAlertMonitorFailure, "error in file i/o",
                      std::string("the file facts were not saved: ") + error.what());
  }
}

void TMonitorModule::LoadFileList() {
  // No catalogue content stops the monitor: what could be read is kept, and
  // the save at the end of the creation sequence writes it back cleanly.
  try {
    FileList_.Load(catalogue_path_);
  } catch (const std::bad_alloc&) {
    alerts_.SendAlert(kAlertMonitorFailure, "error in file read startup", "out of memory");
  } catch (const std::exception& error) {
    alerts_.SendAlert(kAlertMonitorFailure, "error in file read startup", error.what());
  }
}

void TMonitorModule::SaveFileList() {
  // A catalogue that cannot be written (a full disk, a folder in its place)
  // keeps the old file; the administrator must learn why changes repeat.
  try {
    FileList_.Save(catalogue_path_);
  } catch (const std::exception& error) {
    alerts_.SendAlert(kAlertMonitorFailure, "error in file i/o",
                      std::string("the file catalogue was not saved: ") + error.what());
  }
}

std::string TMonitorModule::NormalisePath(std::string_view path) const {
  std::string normal(path);
  // Windows compares paths without regard to case; Linux names differ by case.
  if (!rules_.case_sensitive) {
    for (char& c : normal) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
  }
  // One spelling per directory: repeated and trailing separators and "."
  // components go ("/x/tree//" and "/x/./tree" are "/x/tree"), so that
  // every path built from a root, walked or followed, is the same text.
  // Windows keeps the two separators that start a network path.
  const char separator = rules_.separator;
  std::size_t lead = 0;
  while (lead < normal.size() && normal[lead] == separator) ++lead;
  std::string result(std::min<std::size_t>(lead, separator == '\\' ? 2 : 1), separator);
  const std::size_t start = result.size();
  for (std::size_t begin = lead; begin < normal.size();) {
    std::size_t end = normal.find(separator, begin);
    if (end == std::string::npos) end = normal.size();
    const std::string_view part(normal.data() + begin, end - begin);
    if (!part.empty() && part != ".") {
      if (result.size() > start) result += separator;
      result.append(part);
    }
    begin = end + 1;
  }
  return result;
}

std::string TMonitorModule::PathKey(std::string_view path) const {
  return rules_.case_sensitive ? std::string(path) : FoldCase(path);
}

bool TMonitorModule::ReadFileConfig() {
  const char* label = "";
  try {
    TStringList include(true);
    TStringList exclude_dirs(true);
    TStringList exclude_files(true);
    TStringList special(false);
    label = "reading include dirs";
    baselines_.LoadBaselineList("IncludeDirs", include);
    label = "reading exclude dirs";
    baselines_.LoadBaselineList("ExcludeDirs", exclude_dirs);
    label = "reading exclude files";
    baselines_.LoadBaselineList("ExcludeFiles", exclude_files);
    label = "reading special files";
    baselines_.LoadBaselineList("SpecialFiles", special);
    TStringList digest(true);
    label = "reading digest dirs";
    baselines_.LoadBaselineList("DigestDirs", digest);
    std::vector<std::string> digest_dirs;
    for (const std::string& entry : digest.Texts()) {
      std::string directory = NormalisePath(entry);
      if (!directory.empty() && directory.back() != rules_.separator) directory += rules_.separator;
      digest_dirs.push_back(std::move(directory));
    }
    // Built aside and taken whole: a failure keeps the last settings read.
    label = "scanning include dirs";
    std::vector<std::string> include_dirs;
    for (const std::string& entry : include.Texts()) include_dirs.push_back(NormalisePath(entry));
    label = "scanning exclude dirs";
    decltype(ExcludeDirs_) excluded_dirs;
    for (const std::string& entry : exclude_dirs.Texts()) {
      excluded_dirs.insert(PathKey(NormalisePath(entry)));
    }
    label = "scanning exclude files";
    decltype(ExcludeFiles_) excluded_files;
    for (const std::string& entry : exclude_files.Texts()) {
      excluded_files.insert(PathKey(NormalisePath(entry)));
    }
    label = "getting ready";
    std::sort(include_dirs.begin(), include_dirs.end(),
              [this](const std::string& a, const std::string& b) {
                return rules_.case_sensitive ? a < b : CompareTextIgnoreCase(a, b) < 0;
              });
    IncludeDirs_ = std::move(include_dirs);
    ExcludeDirs_ = std::move(excluded_dirs);
    ExcludeFiles_ = std::move(excluded_files);
    SpecialFiles_ = special.Texts();
    DigestDirs_ = std::move(digest_dirs);
    config_known_ = true;
  } catch (const std::exception&) {
    alerts_.SendAlert(kAlertMonitorFailure, "run time error",
                      std::string("reading file monitor config: ") + label);
  }
  return config_known_;
}

bool TMonitorModule::IsExcludedDir(std::string_view path) const {
  return !ExcludeDirs_.empty() && ExcludeDirs_.contains(PathKey(NormalisePath(path)));
}

bool TMonitorModule::IsExcludedFile(std::string_view path) const {
  return !ExcludeFiles_.empty() && ExcludeFiles_.contains(PathKey(NormalisePath(path)));
}

void TMonitorModule::ScanFiles() {
  ++ScanCount_;
  ForgetChanges();
  special_keys_.clear();
  look_again_.clear();
  for (const std::string& directory : IncludeDirs_) ScanDirectory(directory);
  for (const std::string& pattern : SpecialFiles_) ScanSpecial(pattern);
}

void TMonitorModule::ReportWalkFailure(const std::exception& error, const std::string& directory,
                                       std::string_view current, const char* label) {
  alerts_.SendAlert(kAlertMonitorFailure, "error monitorring files ",
                    std::string(error.what()) + " checking files in " + directory + " possibly " +
                        std::string(current) + " doing " + label);
}

void TMonitorModule::ScanDirectory(const std::string& path,
                                   std::unique_ptr<TOpenDirectory> handle) {
  std::string directory = path;
  if (!directory.empty() && directory.back() != rules_.separator) directory += rules_.separator;
  depth_ = 0;
  EnterDirectory(std::move(directory), std::move(handle));
  while (depth_ > 0) VisitNextEntry();
}

void TMonitorModule::EnterDirectory(std::string directory, std::unique_ptr<TOpenDirectory> handle) {
  try {
    if (depth_ == levels_.size()) levels_.emplace_back();
  } catch (const std::exception& error) {
    ReportWalkFailure(error, directory, "<N/A>", "findfirst");
    return;
  }
  TWalkLevel& level = levels_[depth_];
  level.directory = std::move(directory);
  level.names.clear();
  level.entries.clear();
  level.next = 0;
  try {
    level.handle = handle ? std::move(handle) : search_.OpenDirectory(level.directory);
    // Missing or unreadable: silent, its files count as erased.
    if (!level.handle) return;
    const bool listed = search_.List(*level.handle, [&level](const TFoundEntry& entry) {
      level.entries.push_back(TListedEntry{level.names.size(), entry.name.size(),
                                           entry.is_directory, entry.time, entry.size, entry.id,
                                           entry.links});
      level.names.append(entry.name);
    });
    if (!listed) {
      level.handle.reset();
      return;
    }
    ++depth_;
  } catch (const std::exception& error) {
    level.handle.reset();
    ReportWalkFailure(error, level.directory, "<N/A>", "findfirst");
  }
}

void TMonitorModule::VisitNextEntry() {
  const std::size_t at = depth_ - 1;
  TWalkLevel& level = levels_[at];
  if (level.next == level.entries.size()) {
    level.handle.reset();  // findclose
    --depth_;
    return;
  }
  const TListedEntry listed = level.entries[level.next++];
  const char* label = "setting stuff";
  // A copy: entering a subdirectory may move the level's buffers.
  current_.assign(level.names, listed.name_offset, listed.name_length);
  try {
    full_.assign(level.directory).append(current_);
    if (listed.is_directory) {
      label = "test exclude dir";
      if (!IsExcludedDir(full_)) {
        label = "get recursive";
        if (auto child = search_.OpenSubdirectory(*level.handle, current_)) {
          if (following_active_) following_.journal->NoteDirectory(listed.id);
          EnterDirectory(full_ + rules_.separator, std::move(child));
        }
      }
    } else {
      label = "test exclude file";
      if (!IsExcludedFile(full_)) {
        label = "record file";
        TFoundEntry entry;
        entry.name = current_;
        entry.time = listed.time;
        entry.size = listed.size;
        entry.id = listed.id;
        entry.links = listed.links;
        RecordFile(level.directory, entry, false);
      }
    }
  } catch (const std::exception& error) {
    // The rest of this directory is not visited; its parent goes on.
    ReportWalkFailure(error, levels_[at].directory, current_, label);
    for (std::size_t i = at; i < depth_; ++i) levels_[i].handle.reset();
    depth_ = at;
  }
}

void TMonitorModule::ScanSpecial(const std::string& pattern) {
  const char* label = "findfirst";
  std::string current = "<N/A>";
  try {
    search_.Match(pattern, [&](const TFoundEntry& entry) {
      label = "setting stuff";
      current.assign(entry.name);
      label = "record file";
      RecordFile(pattern, entry, true);
      current = "<NA>";
      label = "findnext";
    });
    label = "findclose";
  } catch (const std::exception& error) {
    ReportWalkFailure(error, pattern, current, label);
  }
}

void TMonitorModule::RecordFile(const std::string& path, const TFoundEntry& entry, bool special) {
  // Step labels are plain pointers: setting one costs nothing per file.
  const char* label = "FileList.Find";
  std::optional<TRecordIndex> added;
  try {
    if (special) {
      const auto end = path.find_last_of(rules_.directory_ends);
      key_.assign(path, 0, end == std::string::npos ? 0 : end + 1);
    } else {
      key_.assign(path);
    }
    key_.append(entry.name);
    // A followed cycle sees only what changed: the files the patterns name
    // are remembered, so that one no longer found counts as erased.
    if (special && following_active_) special_keys_.push_back(key_);
    if (!special && following_active_) NoteLinks(entry);
    if (const auto found = FileList_.Find(key_)) {
      label = "FileList.Objects[ index ]";
      FileData& record = FileList_.Record(*found);
      // A file reached again in the same scan (overlapping roots, two
      // patterns naming it) keeps what its first visit found: a new or
      // touched file must not pass as "seems ok".
      if (record.LastSeen == ScanCount_) return;
      record.ChangeKind = kNoChange;
      const double old_time = record.FileTime;
      label = " checking time";
      // The catalogue keeps 15 digits of a time; the walk gives the whole
      // double. Within a millisecond they are the same two-second time (a
      // start would otherwise take every file for touched and rewrite all).
      if (entry.time != record.FileTime && std::abs(entry.time - record.FileTime) < kSameTimeDays) {
        record.FileTime = entry.time;
      }
      if (entry.time != record.FileTime) {
        FileChanges_.push_back(*found);
        record.ChangeKind = kTimeChanged;
        if (!creation_scan_) previous_[*found].time = record.FileTime;
        record.FileTime = entry.time;
        if (creation_scan_) {
          // Changed while the program was down: taken in whole, silently.
          record.FileSize = static_cast<std::int64_t>(entry.size);
        } else if (following_active_ && record.FileSize != static_cast<std::int64_t>(entry.size)) {
          // Its size is reported a cycle later; a followed cycle, which sees
          // only what changed, must look at it again then.
          look_again_.push_back(key_);
        }
      }
      label = "checking size";
      if (record.ChangeKind == kNoChange &&
          record.FileSize != static_cast<std::int64_t>(entry.size)) {
        FileChanges_.push_back(*found);
        record.ChangeKind = kSizeChanged;
        if (!creation_scan_) previous_[*found].size = record.FileSize;
        record.FileSize = static_cast<std::int64_t>(entry.size);
      }
      record.LastSeen = ScanCount_;
      if (deep_.Active()) {
        label = "deeper checks";
        deep_.Visit(*found, key_, record.ChangeKind != kNoChange, old_time, record.FileTime);
      }
      return;
    }
    label = "PFileData.Create";
    const TRecordIndex index = FileList_.Add(key_);
    label = "FileList.AddObject";
    FileData& record = FileList_.Record(index);
    record.ChangeKind = kNewFile;
    label = "reading sr";
    record.FileTime = entry.time;
    record.FileSize = static_cast<std::int64_t>(entry.size);
    record.LastSeen = ScanCount_;
    added = index;
    label = "FileChanges.AddObject 1 ";
    FileChanges_.push_back(index);
    if (deep_.Active()) {
      label = "deeper checks";
      deep_.Visit(index, key_, true, entry.time, entry.time);
    }
    label = "done add new file";
  } catch (const std::bad_alloc&) {
    alerts_.SendAlert(kAlertMonitorFailure, "error in file i/o", "out of memory");
  } catch (const std::exception& error) {
    std::string step = label;
    if (added && step == "FileChanges.AddObject 1 ") step += std::to_string(*added);
    alerts_.SendAlert(kAlertMonitorFailure, "error in RecordFile",
                      std::string(error.what()) + " " + step);
  }
}

void TMonitorModule::ForgetChanges() {
  FileChanges_.clear();
  // A cycle that changed many files gives its memory back.
  if (previous_.bucket_count() > 4096) {
    std::unordered_map<TRecordIndex, TPreviousValues>().swap(previous_);
  } else {
    previous_.clear();
  }
}

std::string TMonitorModule::ReportLine(TRecordIndex index) const {
  const FileData& record = FileList_.Record(index);
  const auto previous = previous_.find(index);
  const TPreviousValues before = previous == previous_.end() ? TPreviousValues{} : previous->second;
  const std::string key(FileList_.Key(index));
  if (record.Signature != kFileDataSignature) return " Signature failed" + key;
  switch (record.ChangeKind) {
    case kNoChange:
      return " strange, seems ok but may be ERROR : " + key;
    case kDamaged:
      return " undisclosed ERROR : " + key;
    case kNewFile:
      return " NEW FILE : " + key;
    case kErased:
      return " ERASED : " + key;
    case kTimeChanged:
      return " Changed Time : " + key + " (" + FormatLocalDateTime(before.time) + "->" +
             FormatLocalDateTime(record.FileTime) + ")";
    case kSizeChanged:
      return " Changed Size :" + key + " (" + std::to_string(before.size) + "->" +
             std::to_string(record.FileSize) + ")";
    default:
      return " Internal Error : " + key;
  }
}

void TMonitorModule::ReportFileChanges(const std::vector<TRecordIndex>* candidates) {
  try {
    std::vector<std::string> lines;
    // First pass, in catalogue order: the files this scan did not visit, and
    // damaged records. Only those few are sorted, not the whole catalogue.
    std::vector<TRecordIndex> unseen;
    const auto consider = [&](TRecordIndex index, const FileData& record) {
      if ((record.LastSeen != ScanCount_ && record.ChangeKind == kNoChange) ||
          record.Signature != kFileDataSignature) {
        unseen.push_back(index);
      }
    };
    if (candidates == nullptr) {
      FileList_.ForEach(consider);
    } else {
      for (const TRecordIndex index : *candidates) {
        if (FileList_.Record(index).live) consider(index, FileList_.Record(index));
      }
      std::sort(unseen.begin(), unseen.end());
      unseen.erase(std::unique(unseen.begin(), unseen.end()), unseen.end());
    }
    std::sort(unseen.begin(), unseen.end(),
              [this](TRecordIndex a, TRecordIndex b) { return FileList_.KeyLess(a, b); });
    for (const TRecordIndex index : unseen) {
      FileData& record = FileList_.Record(index);
      if (record.LastSeen != ScanCount_ && record.ChangeKind == kNoChange) {
        FileChanges_.push_back(index);
        record.ChangeKind = kErased;
      }
      if (record.Signature != kFileDataSignature) {
        FileChanges_.push_back(index);
        record.ChangeKind = kDamaged;
      }
    }
    // Second pass, from the last change to the first.
    for (std::size_t i = FileChanges_.size(); i-- > 0;) {
      const TRecordIndex index = FileChanges_[i];
      FileData& record = FileList_.Record(index);
      if (!record.live) continue;  // erased earlier in this pass
      lines.push_back(ReportLine(index));
      deep_.TakeLines(index, lines);
      if (record.ChangeKind == kErased) {
        deep_.Forget(index);
        FileList_.Remove(index);
      } else {
        record.ChangeKind = kNoChange;
      }
    }
    ForgetChanges();
    deep_.TakeRemainingLines(lines);
    if (lines.empty()) return;
    try {
      alerts_.SendAlertWithDetails(kAlertFinding, "file changes", "file changes", lines);
    } catch (...) {
      SaveFileList();  // the catalogue already took the changes in
      throw;
    }
    SaveFileList();
  } catch (const std::exception& error) {
    alerts_.SendAlert(kAlertMonitorFailure, "internal error",
                      std::string(error.what()) + " reporting file changes");
  }
}

}  // namespace warderon
