// The settings an administrator may write: every value the program reads in
// section "general" and every list an administrator fills, with its type,
// default, range and meaning. The group-policy templates are generated from
// it, and a test runs the whole program against a recording store to keep
// it true to what the code reads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace warderon {

// Where the settings live on Windows, below HKEY_LOCAL_MACHINE.
constexpr char kPolicyRootKey[] = "Software\\Policies\\dunmarrow\\orvan\\warderon";

enum class TSettingKind {
  Switch,    // integer 0 or 1
  Number,    // integer within [minimum, maximum]
  Text,      // string
  Choice,    // string, one of choices
  Float,     // 8-byte binary float: group policy cannot write it
  Internal,  // written by the program itself; shown for completeness only
};

struct TSettingInfo {
  std::string name;
  TSettingKind kind = TSettingKind::Text;
  std::string default_text;  // as "warderon -policy list" prints the stored default
  std::int32_t minimum = 0;
  std::int32_t maximum = 0;
  std::vector<std::string> choices;
  std::string category;  // a category id of CategoryNames()
  std::string title;
  std::string explanation;
};

// An administrator's list: a section whose value names are the entries.
struct TListInfo {
  std::string section;
  std::string category;
  std::string title;
  std::string entry_label;
  std::string explanation;
};

struct TCategoryInfo {
  std::string id;
  std::string title;
};

const std::vector<TCategoryInfo>& SettingCategories();
const std::vector<TSettingInfo>& GeneralSettings();
const std::vector<TListInfo>& AdministratorLists();

// Sections the program keeps for itself (baselines, the journal); a name
// ending in "-" or "\" stands for every section it begins.
const std::vector<std::string>& ProgramSections();

const TSettingInfo* FindGeneralSetting(const std::string& name);

}  // namespace warderon
