#include "monitors/tamper/auth_module.h"

#include <cctype>

namespace warderon {
namespace {

constexpr char kGeneral[] = "general";
constexpr char kLevel[] = "AuthenticodeEnabled";

// ASCII letters only, as the lists have always been compared.
std::string LowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// Without blanks and control characters at either end.
std::string TrimControls(const std::string& text) {
  std::size_t first = 0;
  std::size_t last = text.size();
  while (first < last && static_cast<unsigned char>(text[first]) <= ' ') ++first;
  while (last > first && static_cast<unsigned char>(text[last - 1]) <= ' ') --last;
  return text.substr(first, last - first);
}

}  // namespace

std::string StripBlanks(const std::string& text) {
  std::string stripped;
  for (const char c : text) {
    if (c != ' ') stripped += c;
  }
  return stripped;
}

TAuthModule::TAuthModule(TPolicyStore& store, TBaselineLists& baselines, TAlertSender& alerts,
                         TProcessInfo& processes, TProcessServices& services,
                         TSignatureVerifier& verifier)
    : store_(store),
      baselines_(baselines),
      alerts_(alerts),
      processes_(processes),
      services_(services),
      verifier_(verifier) {}

void TAuthModule::Initialize() {
  KnownProcesses_.Clear();
  LastEnabledLevel_ = store_.ReadPolicyInteger(kGeneral, kLevel, 0);
}

void TAuthModule::Run() {
  const std::int32_t level = store_.ReadPolicyInteger(kGeneral, kLevel, 0);
  if (level < LastEnabledLevel_) {
    alerts_.SendAlert(kAlertFinding, "lowered security level of signatures",
                      "The configuration value to determine if signatures will be checked has "
                      "been lowered on this computer.  This could be evidence of an attack.");
  }
  LastEnabledLevel_ = level;
  if (level <= 0) return;
  const std::string unavailable = verifier_.UnavailableReason();
  if (!unavailable.empty()) {
    // Said once; the rest of the watchdog goes on.
    if (!UnavailableReported_) {
      alerts_.SendAlert(kAlertMonitorFailure, "signature check could not start", unavailable);
      UnavailableReported_ = true;
    }
    return;
  }
  CheckProcessSignatures();
}

void TAuthModule::CheckProcessSignatures() {
  ++CycleNumber_;
  exceptions_.reset();
  trusted_.reset();
  std::vector<std::string> report;
  const auto send_report = [&] {
    if (!report.empty()) {
      alerts_.SendAlertWithDetails(kAlertFinding, "Authenticode warnings",
                                   "Warderon detected the following Authenticode warnings", report);
    }
  };
  const auto processes = processes_.ListProcessesWithNames();
  try {
    for (const TProcessEntry& process : processes.value_or(std::vector<TProcessEntry>{})) {
      const std::string key = std::to_string(process.pid) + ":" + process.name;
      if (const auto known = KnownProcesses_.Find(key)) {
        KnownProcesses_.RecordAs<TAuthService>(*known)->LastSeenCycle = CycleNumber_;
        continue;
      }
      auto service = std::make_unique<TAuthService>();
      service->LastSeenCycle = CycleNumber_;
      ExamineProcess(process.pid, report);
      KnownProcesses_.Add(key, std::move(service));
    }
  } catch (...) {
    // The processes examined so far are known from now on: what they gave
    // goes out before the failure does, or it would never be said.
    send_report();
    throw;
  }
  for (std::size_t i = KnownProcesses_.Count(); i-- > 0;) {
    if (KnownProcesses_.RecordAs<TAuthService>(i)->LastSeenCycle != CycleNumber_) {
      KnownProcesses_.Delete(i);
    }
  }
  send_report();
}

std::string TAuthModule::GetProcessImagePath(std::uint32_t pid) {
  const std::string fallback = "???:" + std::to_string(pid);
  if (pid == 0) return fallback;
  if (const auto path = processes_.ExecutablePath(pid)) return *path;
  if (const auto listed = processes_.ListProcesses()) {
    for (const TProcessEntry& entry : *listed) {
      if (entry.pid == pid) return entry.name;  // a bare name: not examined
    }
  }
  return fallback;
}

std::optional<TProcessOwner> TAuthModule::GetProcessOwner(std::uint32_t pid) {
  auto owner = processes_.OwnerAccount(pid);
  if (!owner) return std::nullopt;
  owner->domain = StripBlanks(owner->domain);
  owner->name = StripBlanks(owner->name);
  return owner;
}

void TAuthModule::ExamineProcess(std::uint32_t pid, std::vector<std::string>& report) {
  const std::string path = GetProcessImagePath(pid);
  const std::optional<TProcessOwner> owner = GetProcessOwner(pid);
  if (!owner || !IsServiceAccount(*owner) || !IsCheckableImagePath(path)) return;
  // A deleted or replaced image is never judged by what is at its path now.
  const TSignature signature =
      HasDeletedImageMark(path) ? TSignature{} : verifier_.VerifyFileSignature(path);
  std::string headline;
  std::string shown_path = path;
  if (!signature.trusted) {
    shown_path = LowerAscii(path);
    for (const std::string& exception : Exceptions()) {
      if (TrimControls(exception) == shown_path) return;
    }
    headline = "No Signature: ";
  } else {
    const std::string company = LowerAscii(signature.company);
    for (const std::string& fragment : TrustedCompanies()) {
      if (company.find(fragment) != std::string::npos) return;
    }
    headline = "Signature from untrusted company: \"" + signature.company + "\"";
  }
  report.push_back("");
  report.push_back(headline);
  report.push_back(shown_path);
  for (const std::string& name : services_.ListProcessServices(pid)) {
    report.push_back("    " + name);
  }
}

const std::vector<std::string>& TAuthModule::Exceptions() {
  if (!exceptions_) {
    TStringList list;
    baselines_.LoadBaselineList("AuthenticodeExceptions", list);
    exceptions_.emplace();
    for (const std::string& entry : list.Texts()) exceptions_->push_back(LowerAscii(entry));
  }
  return *exceptions_;
}

const std::vector<std::string>& TAuthModule::TrustedCompanies() {
  if (!trusted_) {
    TStringList list;
    baselines_.LoadBaselineList("Authenticode", list);
    trusted_.emplace();
    for (const std::string& entry : list.Texts()) trusted_->push_back(LowerAscii(entry));
  }
  return *trusted_;
}

}  // namespace warderon
