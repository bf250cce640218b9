// The listening socket monitor on the real machine with 300 listeners and
// 2,000 extra processes made here: CPU time of a run that finds every
// listener new (owner look-ups and loopback probes included) and of a quiet
// run, against a bare read of the kernel's TCP tables (/proc/net/tcp and
// tcp6) measured in the same run.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "core/cycle_state.h"
#include "monitors/network/tcp_module.h"
#include "platform/net/socket.h"
#include "platform/store/memory_policy_backend.h"

namespace {

using namespace warderon;
using bench::CpuMicros;
using bench::MicrosPerRun;

constexpr int kListeners = 300;
constexpr int kProcesses = 2000;

std::size_t ReadWhole(const char* path) {
  std::ifstream file(path);
  return std::string(std::istreambuf_iterator<char>(file), {}).size();
}

// Processes that wait until the benchmark ends (they die with it).
std::vector<pid_t> StartIdleProcesses(int count) {
  std::vector<pid_t> children;
  for (int i = 0; i < count; ++i) {
    const pid_t child = fork();
    if (child == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      pause();
      _exit(0);
    }
    if (child > 0) children.push_back(child);
  }
  return children;
}

// CPU time (user and system) of a command run to its end, in microseconds.
double ChildCpuMicros(const char* command) {
  rusage before{};
  getrusage(RUSAGE_CHILDREN, &before);
  if (std::system(command) != 0) return -1;
  rusage after{};
  getrusage(RUSAGE_CHILDREN, &after);
  auto micros = [](const timeval& time) {
    return static_cast<double>(time.tv_sec) * 1e6 + static_cast<double>(time.tv_usec);
  };
  return micros(after.ru_utime) + micros(after.ru_stime) - micros(before.ru_utime) -
         micros(before.ru_stime);
}

// A process started after all others that holds one new listener; its port.
std::pair<pid_t, std::uint16_t> StartNewestListener() {
  int report[2];
  if (pipe(report) != 0) return {-1, 0};
  const pid_t child = fork();
  if (child == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const auto listener = ListenOnLoopback();
    const std::uint16_t port = listener->Port();
    if (write(report[1], &port, sizeof port) != sizeof port) _exit(1);
    pause();
    _exit(0);
  }
  std::uint16_t port = 0;
  if (read(report[0], &port, sizeof port) != sizeof port) port = 0;
  close(report[0]);
  close(report[1]);
  return {child, port};
}

}  // namespace

int main() {
  // The processes first, so that they hold none of the listeners.
  std::vector<pid_t> children = StartIdleProcesses(kProcesses);
  std::vector<std::unique_ptr<TTcpListener>> listeners;
  for (int i = 0; i < kListeners; ++i) listeners.push_back(ListenOnLoopback());
  const auto processes = MakeSystemProcessInfo();

  // The start: every listener is new, every owner searched for.
  bench::TCountingAlerts first_alerts;
  const double first = MicrosPerRun(10, [&](int) {
    TMemoryPolicyBackend backend;
    TPolicyStore store(backend);
    TCycleState cycle;
    TBaselineLists lists(store, first_alerts, cycle);
    store.WritePolicyBool("general", "SocketsEnabled", true);
    const auto table = MakeSystemTcpTable();
    TTTCPModule module(store, lists, first_alerts, cycle, *table, *processes);
    module.Initialize();
    module.Run();
  });

  const auto table = MakeSystemTcpTable();
  TMemoryPolicyBackend backend;
  TPolicyStore store(backend);
  TCycleState cycle;
  bench::TCountingAlerts alerts;
  TBaselineLists lists(store, alerts, cycle);
  store.WritePolicyBool("general", "SocketsEnabled", true);
  TTTCPModule module(store, lists, alerts, cycle, *table, *processes);
  module.Initialize();
  module.Run();
  const std::size_t lines_before = alerts.lines;
  const double quiet = MicrosPerRun(100, [&](int) { module.Run(); });
  const bool quiet_was_quiet = alerts.lines == lines_before;

  // One new listener in this (old) process: the search ends early.
  std::vector<std::unique_ptr<TTcpListener>> extra;
  const double early = MicrosPerRun(10, [&](int) {
    extra.push_back(ListenOnLoopback());
    module.Run();
  });
  // One new listener in the newest process: the search passes every process.
  double newest = 0;
  for (int i = 0; i < 10; ++i) {
    const auto [child, port] = StartNewestListener();
    children.push_back(child);
    newest += MicrosPerRun(1, [&](int) { module.Run(); }) / 10;
  }

  std::size_t bytes = 0;
  const double bare = MicrosPerRun(
      100, [&](int) { bytes += ReadWhole("/proc/net/tcp") + ReadWhole("/proc/net/tcp6"); });
  const double ss = ChildCpuMicros("ss -tlnp >/dev/null 2>&1");
  const double system_call = MicrosPerRun(100000, [](int) { syscall(SYS_getppid); });

  for (const pid_t child : children) kill(child, SIGKILL);
  for (const pid_t child : children) waitpid(child, nullptr, 0);

  std::printf("socket monitor: %d listeners, %zu other processes (CPU per run)\n", kListeners,
              children.size());
  std::printf("  bare read of /proc/net/tcp{,6}:        %7.0f us\n", bare);
  std::printf("  ss -tlnp (owners from every process):  %7.0f us  (%.1f x bare)\n", ss, ss / bare);
  std::printf("  start: every listener new:             %7.0f us  (%.1f x bare, %.2f x ss)\n",
              first, first / bare, first / ss);
  std::printf("  one new listener, old process:         %7.0f us  (%.1f x bare)\n", early,
              early / bare);
  std::printf("  one new listener, newest process:      %7.0f us  (%.1f x bare, %.2f x ss)\n",
              newest, newest / bare, newest / ss);
  std::printf("  quiet run:                             %7.0f us  (%.2f x bare)%s\n", quiet,
              quiet / bare, quiet_was_quiet ? "" : "  NOT QUIET");
  std::printf("  targets: a run at most 20000 us, a quiet run at most 5000 us\n");
  std::printf(
      "  this machine: %.2f us per system call; a search makes about 5 + one per\n"
      "  descriptor for each process it passes\n",
      system_call);
  return 0;
}
