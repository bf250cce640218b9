// Linux's autostart places and package verification on trees the test
// builds: every row's entries, and what makes a file trusted.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "fakes/test_backends.h"
#include "platform/autostart/linux_autostart.h"
#include "platform/trust/package_verifier.h"

namespace warderon::testing {
namespace {

namespace fs = std::filesystem;

void Write(const std::string& path, const std::string& content) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

std::map<std::string, std::vector<std::string>> ReadAll(TAutostartSource& source) {
  std::map<std::string, std::vector<std::string>> rows;
  for (const TAutostartKey& key : source.WatchedKeys()) {
    for (const TAutostartEntry& entry : source.ReadEntries(key)) {
      rows[key.name].push_back(entry.Line());
    }
  }
  return rows;
}

TEST(LinuxAutostart, EachRowNamesWhatChangedAndWhere) {
  const std::string root = ScratchPath("autostart");
  Write(root + "/etc/environment", "# comment\nPATH=/usr/bin\n\n  LANG=C  \n");
  Write(root + "/etc/ld.so.preload", "/lib/a.so /lib/b.so\n");
  Write(root + "/etc/rc.local", "#!/bin/sh\n/opt/start &\nexit 0\n");
  fs::create_directories(root + "/etc/systemd/system/multi-user.target.wants");
  fs::create_directories(root + "/etc/systemd/system/sockets.target.wants");
  fs::create_symlink("/lib/systemd/system/ssh.service",
                     root + "/etc/systemd/system/multi-user.target.wants/ssh.service");
  fs::create_symlink("/lib/systemd/system/ssh.service",
                     root + "/etc/systemd/system/sockets.target.wants/ssh.service");
  // A drop-in folder enables nothing.
  Write(root + "/etc/systemd/system/ssh.service.d/override.conf", "[Service]\n");
  Write(root + "/etc/crontab",
        "SHELL=/bin/sh\n17 * * * * root cd / && run-parts /etc/cron.hourly\n");
  Write(root + "/var/spool/cron/crontabs/jane", "* * * * * /home/jane/x\n");
  Write(root + "/etc/profile.d/proxy.sh", "export http_proxy=\n");
  Write(root + "/root/.ssh/authorized_keys", "ssh-ed25519 AAAAC3Nza admin@desk\n");
  const auto rows = ReadAll(*MakeLinuxAutostartSource(root));
  using TEntries = std::vector<std::string>;
  EXPECT_EQ(rows.at("Environment"), (TEntries{"LANG=C", "PATH=/usr/bin"}));
  EXPECT_EQ(rows.at("ld.so.preload"),
            (TEntries{"/lib/a.so=/etc/ld.so.preload", "/lib/b.so=/etc/ld.so.preload"}));
  EXPECT_EQ(rows.at("rc.local"), (TEntries{"/opt/start &=/etc/rc.local", "exit 0=/etc/rc.local"}));
  // One unit wanted by two targets keeps one name.
  EXPECT_EQ(rows.at("systemd units"), (TEntries{"ssh.service=multi-user.target, sockets.target"}));
  EXPECT_EQ(rows.at("crontabs"),
            (TEntries{"* * * * * /home/jane/x=/var/spool/cron/crontabs/jane",
                      "17 * * * * root cd / && run-parts /etc/cron.hourly=/etc/crontab",
                      "SHELL=/bin/sh=/etc/crontab"}));
  ASSERT_EQ(rows.at("profile.d").size(), 1U);
  EXPECT_EQ(rows.at("profile.d")[0].rfind("/etc/profile.d/proxy.sh=md5 ", 0), 0U);
  EXPECT_EQ(rows.at("root ssh keys"),
            (TEntries{"ssh-ed25519 AAAAC3Nza admin@desk=/root/.ssh/authorized_keys"}));

  // Places that do not exist have no entries; nothing fails.
  const auto empty = ReadAll(*MakeLinuxAutostartSource(root + "/nothing"));
  for (const auto& [name, entries] : empty) EXPECT_TRUE(entries.empty()) << name;
}

TEST(PackageVerifier, TrustedOnlyWhenAPackageListsTheFileWithItsDigest) {
  const std::string folder = ScratchPath("dpkg");
  const std::string database = folder + "/db";
  const std::string program = folder + "/usr/bin/tool";
  Write(program, "original program");
  // md5 of "original program"
  const std::string digest = "0a2bc605102a745f85eadae723f11b14";
  Write(database + "/status",
        "Package: tool\nMaintainer: Tool Makers <tools@example.org>\n\n"
        "Package: other\nMaintainer: Someone Else <x@example.org>\n");
  Write(database + "/info/tool.list", "/.\n/usr\n" + program + "\n");
  Write(database + "/info/tool.md5sums", digest + "  " + program.substr(1) + "\n");
  auto verifier = MakePackageSignatureVerifier(database);
  ASSERT_EQ(verifier->UnavailableReason(), "");
  TSignature signature = verifier->VerifyFileSignature(program);
  EXPECT_TRUE(signature.trusted);
  EXPECT_EQ(signature.company, "Tool Makers <tools@example.org>");

  Write(program, "changed program");
  EXPECT_FALSE(verifier->VerifyFileSignature(program).trusted);
  EXPECT_FALSE(verifier->VerifyFileSignature(folder + "/usr/bin/unlisted").trusted);
  EXPECT_FALSE(verifier->VerifyFileSignature(folder + "/usr/bin/deleted").trusted);
  EXPECT_NE(MakePackageSignatureVerifier(folder + "/none")->UnavailableReason(), "");
}

}  // namespace
}  // namespace warderon::testing
