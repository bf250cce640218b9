#include "policy/policy_templates.h"

#include <sstream>

#include "policy/setting_catalogue.h"

namespace warderon {
namespace {

constexpr char kNamespace[] = "http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions";

std::string Xml(const std::string& text) {
  std::string escaped;
  for (const char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

bool InTemplate(const TSettingInfo& setting) {
  return setting.kind != TSettingKind::Float && setting.kind != TSettingKind::Internal;
}

std::string ListPolicyName(const TListInfo& list) { return "List_" + list.section; }
std::string CategoryName(const std::string& id) { return "Cat_" + id; }
std::string SectionKey(const std::string& section) {
  return std::string(kPolicyRootKey) + "\\" + section;
}

// What the explanation adds about the value itself.
std::string ValueNote(const TSettingInfo& setting) {
  std::string note = "\n\nRegistry value \"" + setting.name + "\" in section \"general\"";
  switch (setting.kind) {
    case TSettingKind::Switch:
      return note + " (integer). Not configured: " + (setting.default_text == "1" ? "on" : "off") +
             ".";
    case TSettingKind::Number:
      return note + " (integer, " + std::to_string(setting.minimum) + " to " +
             std::to_string(setting.maximum) + "). Not configured: " + setting.default_text + ".";
    case TSettingKind::Choice:
      return note + " (string). Not configured: " + setting.default_text + ".";
    default:
      return note + " (string). Not configured: " +
             (setting.default_text.empty() ? "empty" : "\"" + setting.default_text + "\"") + ".";
  }
}

void WriteSettingPolicy(std::ostream& out, const TSettingInfo& setting) {
  out << "    <policy name=\"" << setting.name << "\" class=\"Machine\" displayName=\"$(string."
      << setting.name << ")\" explainText=\"$(string." << setting.name << "_Help)\"";
  if (setting.kind != TSettingKind::Switch)
    out << " presentation=\"$(presentation." << setting.name << ")\"";
  out << " key=\"" << SectionKey("general") << "\"";
  if (setting.kind == TSettingKind::Switch) out << " valueName=\"" << setting.name << "\"";
  out << ">\n      <parentCategory ref=\"" << CategoryName(setting.category) << "\" />\n"
      << "      <supportedOn ref=\"SUPPORTED_Warderon\" />\n";
  switch (setting.kind) {
    case TSettingKind::Switch:
      out << "      <enabledValue><decimal value=\"1\" /></enabledValue>\n"
          << "      <disabledValue><decimal value=\"0\" /></disabledValue>\n";
      break;
    case TSettingKind::Number:
      out << "      <elements>\n        <decimal id=\"" << setting.name << "\" valueName=\""
          << setting.name << "\" minValue=\"" << setting.minimum << "\" maxValue=\""
          << setting.maximum << "\" />\n      </elements>\n";
      break;
    case TSettingKind::Choice:
      out << "      <elements>\n        <enum id=\"" << setting.name << "\" valueName=\""
          << setting.name << "\">\n";
      for (std::size_t i = 0; i < setting.choices.size(); ++i) {
        out << "          <item displayName=\"$(string." << setting.name << "_" << i
            << ")\"><value><string>" << Xml(setting.choices[i]) << "</string></value></item>\n";
      }
      out << "        </enum>\n      </elements>\n";
      break;
    default:
      out << "      <elements>\n        <text id=\"" << setting.name << "\" valueName=\""
          << setting.name << "\" />\n      </elements>\n";
  }
  out << "    </policy>\n";
}

void WriteListPolicy(std::ostream& out, const TListInfo& list) {
  const std::string name = ListPolicyName(list);
  out << "    <policy name=\"" << name << "\" class=\"Machine\" displayName=\"$(string." << name
      << ")\" explainText=\"$(string." << name << "_Help)\" presentation=\"$(presentation." << name
      << ")\" key=\"" << SectionKey(list.section) << "\">\n"
      << "      <parentCategory ref=\"" << CategoryName(list.category) << "\" />\n"
      << "      <supportedOn ref=\"SUPPORTED_Warderon\" />\n"
      << "      <elements>\n        <list id=\"" << name << "\" key=\"" << SectionKey(list.section)
      << "\" explicitValue=\"true\" />\n      </elements>\n    </policy>\n";
}

void WriteString(std::ostream& out, const std::string& id, const std::string& text) {
  out << "      <string id=\"" << id << "\">" << Xml(text) << "</string>\n";
}

void WritePresentation(std::ostream& out, const TSettingInfo& setting) {
  out << "      <presentation id=\"" << setting.name << "\">\n";
  switch (setting.kind) {
    case TSettingKind::Number:
      out << "        <decimalTextBox refId=\"" << setting.name << "\" defaultValue=\""
          << setting.default_text << "\">" << Xml(setting.title) << "</decimalTextBox>\n";
      break;
    case TSettingKind::Choice:
      out << "        <dropdownList refId=\"" << setting.name
          << "\" defaultItem=\"0\" noSort=\"true\">" << Xml(setting.title) << "</dropdownList>\n";
      break;
    default:
      out << "        <textBox refId=\"" << setting.name << "\">\n          <label>"
          << Xml(setting.title) << "</label>\n          <defaultValue>" << Xml(setting.default_text)
          << "</defaultValue>\n        </textBox>\n";
  }
  out << "      </presentation>\n";
}

}  // namespace

std::string MakePolicyDefinitions() {
  std::ostringstream out;
  out << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
      << "<policyDefinitions xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
         "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" revision=\"1.0\" "
         "schemaVersion=\"1.0\" xmlns=\""
      << kNamespace << "\">\n"
      << "  <policyNamespaces>\n"
      << "    <target prefix=\"warderon\" namespace=\"Dunmarrow.Policies.Warderon\" />\n"
      << "  </policyNamespaces>\n"
      << "  <resources minRequiredRevision=\"1.0\" />\n"
      << "  <supportedOn>\n    <definitions>\n"
      << "      <definition name=\"SUPPORTED_Warderon\" "
         "displayName=\"$(string.SUPPORTED_Warderon)\" />\n"
      << "    </definitions>\n  </supportedOn>\n"
      << "  <categories>\n"
      << "    <category name=\"Cat_Warderon\" displayName=\"$(string.Cat_Warderon)\" />\n";
  for (const TCategoryInfo& category : SettingCategories()) {
    out << "    <category name=\"" << CategoryName(category.id) << "\" displayName=\"$(string."
        << CategoryName(category.id) << ")\">\n      <parentCategory ref=\"Cat_Warderon\" />\n"
        << "    </category>\n";
  }
  out << "  </categories>\n  <policies>\n";
  for (const TSettingInfo& setting : GeneralSettings()) {
    if (InTemplate(setting)) WriteSettingPolicy(out, setting);
  }
  for (const TListInfo& list : AdministratorLists()) WriteListPolicy(out, list);
  out << "  </policies>\n</policyDefinitions>\n";
  return out.str();
}

std::string MakePolicyResources() {
  std::ostringstream out;
  out << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
      << "<policyDefinitionResources xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
         "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" revision=\"1.0\" "
         "schemaVersion=\"1.0\" xmlns=\""
      << kNamespace << "\">\n"
      << "  <displayName>Warderon</displayName>\n"
      << "  <description>Settings of the Warderon host watchdog</description>\n"
      << "  <resources>\n    <stringTable>\n";
  WriteString(out, "SUPPORTED_Warderon", "Warderon 1.3 and later");
  WriteString(out, "Cat_Warderon", "Warderon");
  for (const TCategoryInfo& category : SettingCategories()) {
    WriteString(out, CategoryName(category.id), category.title);
  }
  for (const TSettingInfo& setting : GeneralSettings()) {
    if (!InTemplate(setting)) continue;
    WriteString(out, setting.name, setting.title);
    WriteString(out, setting.name + "_Help", setting.explanation + ValueNote(setting));
    for (std::size_t i = 0; i < setting.choices.size(); ++i) {
      WriteString(out, setting.name + "_" + std::to_string(i), setting.choices[i]);
    }
  }
  for (const TListInfo& list : AdministratorLists()) {
    WriteString(out, ListPolicyName(list), list.title);
    WriteString(out, ListPolicyName(list) + "_Help",
                list.explanation + "\n\nEach entry is a value name of section \"" + list.section +
                    "\"; its data is not used. The watchdog seals its lists with a checksum: a "
                    "change made here is reported once as a list that was changed, then sealed "
                    "again.");
  }
  out << "    </stringTable>\n    <presentationTable>\n";
  for (const TSettingInfo& setting : GeneralSettings()) {
    if (InTemplate(setting) && setting.kind != TSettingKind::Switch)
      WritePresentation(out, setting);
  }
  for (const TListInfo& list : AdministratorLists()) {
    out << "      <presentation id=\"" << ListPolicyName(list) << "\">\n        <listBox refId=\""
        << ListPolicyName(list) << "\">" << Xml(list.entry_label) << "</listBox>\n"
        << "      </presentation>\n";
  }
  out << "    </presentationTable>\n  </resources>\n</policyDefinitionResources>\n";
  return out.str();
}

}  // namespace warderon
