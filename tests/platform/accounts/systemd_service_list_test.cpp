// The systemd service list, first against a systemctl of the test's own
// (each call can be made to fail), then against a real systemd: a private
// user manager with its own units, started and stopped by the test (the
// build machines boot no systemd of their own).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "fakes/background_process.h"
#include "fakes/test_backends.h"
#include "platform/accounts/systemd_service_list.h"

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
  case "$*" in *ExecStart*)
    for unit in "$@"; do
      case "$unit" in
      cron.service) printf 'ExecStart={ path=/usr/sbin/cron ; argv[]=/usr/sbin/cron -f ; ignore_errors=no ; start_time=[Thu 2026-12-10] ; pid=612 ; code=exited ; status=0/0 }\nId=cron.service\nDescription=Regular background program processing daemon\nFragmentPath=/lib/systemd/system/cron.service\nUser=\nUnitFileState=enabled\n\n' ;;
      rsync.service|ssh.service|weird.service|unnamed.service) printf 'Id=%s\nDescription=\n\n' "$unit" ;;
      *.service) printf 'Id=%s\nLoadState=not-found\nDescription=\n\n' "$unit" ;;
      esac
    done
    exit 0 ;;
  esac
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

TEST_F(SystemdServiceList, ConfigurationsAreAsSystemdResolvesThemWithoutWhatChangesAsTheyRun) {
  bool truncated = true;
  const auto configs = MakeSystemdServiceList(systemctl_, folder_ + "/run-systemd-system")
                           ->Configurations(100, truncated);
  EXPECT_FALSE(truncated);
  ASSERT_EQ(configs.size(), 5U) << "every unit, loaded or installed, templates aside";
  EXPECT_EQ(configs[0].name, "cron.service");
  EXPECT_EQ(configs[0].display_name, "Regular background program processing daemon");
  const std::vector<std::pair<std::string, std::string>> cron = {
      {"unit file", "/lib/systemd/system/cron.service"},
      {"drop-ins", ""},
      {"ExecStart", "/usr/sbin/cron -f"},
      {"ExecStartPre", ""},
      {"ExecStartPost", ""},
      {"ExecStop", ""},
      {"User", ""},
      {"Group", ""},
      {"enabled", "enabled"}};
  EXPECT_EQ(configs[0].fields, cron);
  EXPECT_EQ(MakeSystemdServiceList(systemctl_, folder_ + "/run-systemd-system")
                ->Configurations(2, truncated)
                .size(),
            2U);
  EXPECT_TRUE(truncated);
  // One service alone (the watchdog's own, while only it is watched).
  const auto list = MakeSystemdServiceList(systemctl_, folder_ + "/run-systemd-system");
  ASSERT_TRUE(list->Configuration("cron.service").has_value());
  EXPECT_EQ(list->Configuration("cron.service")->fields, cron);
  EXPECT_FALSE(list->Configuration("gone.service").has_value());
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

// A systemd user manager in a mount namespace of its own, where /run is a
// fresh tmpfs that says systemd booted; its units come from the test's
// folder and systemctl reaches it through the manager's private socket.
class RealSystemd {
 public:
  explicit RealSystemd(const std::string& folder) : folder_(folder) {
    std::filesystem::create_directories(folder_ + "/runtime");
    std::filesystem::permissions(folder_ + "/runtime", std::filesystem::perms::owner_all);
    std::filesystem::create_directories(UnitFolder());
    // systemctl as the machine's own would run: in the manager's world, where
    // systemd has booted, so it asks the manager for everything.
    WriteScript(Systemctl(), "nsenter --mount=/proc/$(cat '" + folder_ + "/manager.pid')/ns/mnt " +
                                 "env XDG_RUNTIME_DIR='" + folder_ +
                                 "/runtime' /usr/bin/systemctl --user \"$@\"");
    // systemctl from outside, which finds no manager once it has stopped.
    WriteScript(SystemctlOutside(),
                "XDG_RUNTIME_DIR='" + folder_ + "/runtime' exec /usr/bin/systemctl --user \"$@\"");
  }
  ~RealSystemd() { Stop(); }

  std::string UnitFolder() const { return folder_ + "/config/systemd/user"; }
  std::string Systemctl() const { return folder_ + "/systemctl"; }
  std::string SystemctlOutside() const { return folder_ + "/systemctl-outside"; }

  // Starts the manager and waits (bounded) until it answers.
  bool Start() {
    // The time-out ends the manager even if the test dies first.
    manager_ = std::make_unique<TBackgroundProcess>(
        "XDG_RUNTIME_DIR='" + folder_ + "/runtime' XDG_CONFIG_HOME='" + folder_ +
        "/config' HOME='" + folder_ +
        "' exec timeout 120 unshare --mount --propagation private sh -c "
        "\"mount -t tmpfs -o size=32m tmpfs /run && mkdir -p /run/systemd/system && "
        "echo \\$\\$ > '" +
        folder_ + "/manager.pid' && exec /lib/systemd/systemd --user --log-target=null\"");
    return WaitUntil([&] { return Call("list-units >/dev/null"); }, 10);
  }

  bool Call(const std::string& arguments) const {
    return std::system((Systemctl() + " " + arguments + " 2>/dev/null").c_str()) == 0;
  }

  void Stop() { manager_.reset(); }

 private:
  static void WriteScript(const std::string& path, const std::string& body) {
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    chmod(path.c_str(), 0700);
  }

  std::string folder_;
  std::unique_ptr<TBackgroundProcess> manager_;
};

std::map<std::string, bool> ServicesNamed(const std::vector<TServiceEntry>& services,
                                          const std::string& prefix) {
  std::map<std::string, bool> found;
  for (const auto& service : services) {
    if (service.display_name.rfind(prefix, 0) == 0) found[service.display_name] = service.running;
  }
  return found;
}

TEST(RealSystemdServiceList, RunningStoppedAndNeverLoadedServicesAreAllListed) {
  if (geteuid() != 0 || access("/lib/systemd/systemd", X_OK) != 0) {
    GTEST_SKIP() << "needs root and systemd to run a private service manager";
  }
  const std::string folder = ScratchPath("real-systemd");
  RealSystemd systemd(folder);
  for (const char* unit : {"busy", "idle"}) {
    std::ofstream(systemd.UnitFolder() + "/warderon-test-" + unit + ".service")
        << "[Unit]\nDescription=Warderon test " << unit
        << "\n[Service]\nExecStart=/bin/sleep 300\n";
  }
  std::filesystem::create_directories(folder + "/booted");
  ASSERT_TRUE(systemd.Start()) << "the private systemd did not answer";
  auto list = [&](const std::string& systemctl) {
    std::vector<TServiceEntry> services;
    MakeSystemdServiceList(systemctl, folder + "/booted")
        ->Enumerate([&](const std::vector<TServiceEntry>& batch) {
          services.insert(services.end(), batch.begin(), batch.end());
        });
    return ServicesNamed(services, "Warderon test ");
  };

  // Neither unit is loaded yet: both come from the installed unit files.
  EXPECT_EQ(
      list(systemd.Systemctl()),
      (std::map<std::string, bool>{{"Warderon test busy", false}, {"Warderon test idle", false}}));
  ASSERT_TRUE(systemd.Call("start warderon-test-busy.service"));
  EXPECT_EQ(
      list(systemd.Systemctl()),
      (std::map<std::string, bool>{{"Warderon test busy", true}, {"Warderon test idle", false}}));
  // Stopped, systemd unloads the unit; the service is still there.
  ASSERT_TRUE(systemd.Call("stop warderon-test-busy.service"));
  EXPECT_EQ(
      list(systemd.Systemctl()),
      (std::map<std::string, bool>{{"Warderon test busy", false}, {"Warderon test idle", false}}));

  // The configuration as systemd resolves it: a changed command line shows
  // once the manager has reloaded the unit.
  const auto exec_start = [&] {
    bool truncated = false;
    for (const auto& config : MakeSystemdServiceList(systemd.Systemctl(), folder + "/booted")
                                  ->Configurations(10000, truncated)) {
      for (const auto& [field, value] : config.fields) {
        if (config.name == "warderon-test-idle.service" && field == "ExecStart") return value;
      }
    }
    return std::string("none");
  };
  EXPECT_EQ(exec_start(), "/bin/sleep 300");
  std::ofstream(systemd.UnitFolder() + "/warderon-test-idle.service")
      << "[Unit]\nDescription=Warderon test idle\n[Service]\nExecStart=/bin/sleep 301\n";
  ASSERT_TRUE(systemd.Call("daemon-reload"));
  EXPECT_EQ(exec_start(), "/bin/sleep 301");

  // With the manager gone systemctl cannot connect: a failed listing.
  systemd.Stop();
  EXPECT_THROW(list(systemd.SystemctlOutside()), TServiceListError);
}

}  // namespace
}  // namespace warderon::testing
