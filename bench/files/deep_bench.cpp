// The file monitor's deeper checks (FilesAttributes and DigestDirs over the
// whole tree) against Debian's aide with the same attributes and sha256, and
// against the physical floor (openssl hashing every file once), on the same
// tree in the same run, each timed with the tree in the page cache:
// the creation (every file taken in and hashed), a quiet followed cycle and
// a followed cycle with 1 % of the files touched.
//   deep_bench TREE WORKDIR
#include <sys/resource.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "../bench_support.h"
#include "core/cycle_state.h"
#include "monitors/files/monitor_module.h"
#include "platform/files/change_journal.h"
#include "platform/store/memory_policy_backend.h"

namespace {

using namespace warderon;
namespace fs = std::filesystem;

constexpr int kRounds = 3;

double Seconds(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void Run(const std::string& command) {
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", command.c_str());
    std::exit(1);
  }
}

// Every file read once, so that each measured run starts with the tree in
// the page cache (the monitor's reads ask the kernel not to keep it).
void WarmCache(const std::string& tree) {
  Run("find '" + tree + "' -type f -print0 | xargs -0 cat >/dev/null");
}

struct TMonitor {
  TMonitor(const std::string& tree, const std::string& catalogue, TChangeJournal* journal) {
    store.WritePolicyBool("general", "FilesEnabled", true);
    store.WritePolicyInteger("general", "FilesAttributes", 1);
    store.WritePolicyInteger("general", "DigestMBPerCycle", 1048576);  // the creation in one go
    TStringList include(true);
    include.Add(tree);
    lists.SaveBaselineList("IncludeDirs", include);
    lists.SaveBaselineList("DigestDirs", include);
    fs::remove(catalogue);
    fs::remove(catalogue + ".facts");
    module = std::make_unique<TMonitorModule>(store, lists, alerts, *search, catalogue,
                                              NativePathRules(),
                                              TChangeFollowing{journal, &cycle, nullptr});
  }
  // The start and the cycles until every file is hashed.
  void TakeIn() {
    module->Initialize();
    do module->Run();
    while (module->DigestBacklog() > 0);
  }
  TMemoryPolicyBackend backend;
  TPolicyStore store{backend};
  bench::TCountingAlerts alerts;
  TCycleState cycle;
  TBaselineLists lists{store, alerts, cycle};
  std::unique_ptr<TDirectorySearch> search = MakeSystemDirectorySearch();
  std::unique_ptr<TMonitorModule> module;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: deep_bench TREE WORKDIR\n");
    return 2;
  }
  const std::string tree = fs::canonical(argv[1]).string();
  const std::string work = argv[2];
  fs::create_directories(work);
  const std::string conf = work + "/aide.conf";
  std::ofstream(conf) << "database_in=file:" << work << "/aide.db\n"
                      << "database_out=file:" << work << "/aide.db.new\n"
                      << "Deep = p+u+g+i+n+c+acl+xattrs+sha256\n"
                      << tree << " Deep\n";
  const std::string aide = "aide --config='" + conf + "'";

  std::size_t files = 0;
  std::uintmax_t bytes = 0;
  std::vector<std::string> touched;
  for (const auto& entry : fs::recursive_directory_iterator(tree)) {
    if (!entry.is_regular_file()) continue;
    bytes += entry.file_size();
    if (files++ % 100 == 0) touched.push_back(entry.path().string());
  }

  std::vector<double> init_ratios, floor_ratios, quiet_ratios, touched_ratios;
  std::vector<double> init_s, floor_s, check_s, create_s;
  const auto journal = MakeSystemChangeJournal();
  bool followed = journal != nullptr;
  for (int round = 0; round < kRounds; ++round) {
    WarmCache(tree);
    const double init = Seconds([&] {
      Run(aide + " --init >/dev/null 2>&1");
      fs::rename(work + "/aide.db.new", work + "/aide.db");
    });
    WarmCache(tree);
    const double floor = Seconds([&] {
      Run("find '" + tree + "' -type f -print0 | xargs -0 openssl dgst -sha256 >/dev/null");
    });
    TMonitor monitor(tree, work + "/files.lst", journal.get());
    WarmCache(tree);
    const double create = Seconds([&] { monitor.TakeIn(); });
    init_s.push_back(init);
    floor_s.push_back(floor);
    create_s.push_back(create);
    init_ratios.push_back(create / init);
    floor_ratios.push_back(create / floor);

    WarmCache(tree);
    // aide --check exits non-zero when it finds changes; none are expected.
    int found = 0;
    const double check =
        Seconds([&] { found = std::system((aide + " --check >/dev/null 2>&1").c_str()); });
    if (found != 0) std::printf("  (aide --check reported differences: %d)\n", found);
    check_s.push_back(check);
    if (!followed || !monitor.module->FollowingChanges()) {
      followed = false;
      continue;
    }
    monitor.module->Run();  // the first followed cycle sorts what the walk noted
    WarmCache(tree);
    const double quiet = Seconds([&] { monitor.module->Run(); });
    quiet_ratios.push_back(quiet / check);
    const std::time_t when = std::time(nullptr) + 86400 * (round + 1);
    const utimbuf later{when, when};
    for (const auto& path : touched) utime(path.c_str(), &later);
    WarmCache(tree);
    const double one_percent = Seconds([&] {
      monitor.module->Run();
      while (monitor.module->DigestBacklog() > 0) monitor.module->Run();
    });
    if (monitor.module->LastRunWalkedEverything()) {
      std::printf("  WARNING: the touched cycle walked everything\n");
    }
    touched_ratios.push_back(one_percent / check);
  }

  std::printf("deeper file checks: %zu files, %.2f GB, tree %s\n", files,
              static_cast<double>(bytes) / 1e9, tree.c_str());
  std::printf(
      "  medians of %d rounds, tree in the page cache; aide --init %.2f s, --check %.2f s,\n"
      "  openssl dgst -sha256 over every file %.2f s, the monitor's creation %.2f s\n",
      kRounds, Median(init_s), Median(check_s), Median(floor_s), Median(create_s));
  std::printf("  creation with attributes and digests   %5.2f x aide --init   (target <= 0.50)\n",
              Median(init_ratios));
  std::printf("                                         %5.2f x openssl       (target <= 1.50)\n",
              Median(floor_ratios));
  if (!followed) {
    std::printf("  followed cycles: not measured (no change journal: Linux, as root)\n");
    return 0;
  }
  std::printf("  quiet followed cycle                   %5.3f x aide --check  (target <= 0.02)\n",
              Median(quiet_ratios));
  std::printf("  followed cycle with 1%% touched (%zu)  %5.3f x aide --check  (target <= 0.10)\n",
              touched.size(), Median(touched_ratios));
  return 0;
}
