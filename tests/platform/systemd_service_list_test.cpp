// The systemd service list against a systemctl of the test's own that
// answers in systemctl's output format (no systemd runs on the build
// machines): loaded units, installed but unloaded unit files, and failures.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "fakes/test_backends.h"
#include "platform/systemd_service_list.h"

namespace warderon::testing {
namespace {

constexpr char kFakeSystemctl[] = R"(#!/bin/sh
[ -f "$0.fail-$1" ] && exit 1
case "$1" in
list-units)
  echo "cron.service loaded active running Regular background program processing daemon"
  echo "ssh.service loaded inactive dead OpenBSD Secure Shell server"
  echo "weird.service loaded active running" ;;
list-unit-files)
  echo "cron.service enabled enabled"
  echo "ssh.service enabled enabled"
  echo "rsync.service disabled enabled"
  echo "getty@.service enabled enabled"
  echo "unnamed.service static -" ;;
show)
  for unit in "$@"; do
    case "$unit" in
    rsync.service) printf 'Id=rsync.service\nDescription=fast remote file copy program daemon\n\n' ;;
    unnamed.service) printf 'Id=unnamed.service\nDescription=\n\n' ;;
    esac
  done ;;
*) exit 2 ;;
esac
)";

class SystemdServiceList : public ::testing::Test {
 protected:
  SystemdServiceList() : folder_(ScratchPath("systemd")) {
    std::filesystem::create_directories(folder_ + "/run-systemd-system");
    std::ofstream(systemctl_) << kFakeSystemctl;
    chmod(systemctl_.c_str(), 0700);
  }
  std::vector<TServiceEntry> List() {
    std::vector<TServiceEntry> services;
    MakeSystemdServiceList(systemctl_, folder_ + "/run-systemd-system")
        ->Enumerate([&](const std::vector<TServiceEntry>& batch) {
          services.insert(services.end(), batch.begin(), batch.end());
        });
    return services;
  }

  std::string folder_;
  std::string systemctl_ = folder_ + "/systemctl";
};

TEST_F(SystemdServiceList, LoadedUnitsAndInstalledUnitFilesAreListed) {
  const auto services = List();
  std::vector<std::pair<std::string, bool>> seen;
  for (const auto& service : services) seen.emplace_back(service.display_name, service.running);
  EXPECT_EQ(seen, (std::vector<std::pair<std::string, bool>>{
                      {"Regular background program processing daemon", true},
                      {"OpenBSD Secure Shell server", false},
                      {"weird.service", true},
                      {"fast remote file copy program daemon", false},
                      {"unnamed.service", false}}));
}

TEST_F(SystemdServiceList, EveryFailingCallFailsTheListing) {
  for (const char* call : {"list-units", "list-unit-files", "show"}) {
    const std::string marker = systemctl_ + ".fail-" + call;
    std::ofstream{marker};
    EXPECT_THROW(List(), TServiceListError) << call;
    std::filesystem::remove(marker);
  }
  EXPECT_EQ(List().size(), 5U);
}

TEST_F(SystemdServiceList, WithoutSystemdThereAreNoServices) {
  std::filesystem::remove(folder_ + "/run-systemd-system");
  EXPECT_TRUE(List().empty());
}

}  // namespace
}  // namespace warderon::testing
