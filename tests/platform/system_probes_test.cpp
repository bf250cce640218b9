// The platform's process, volume, memory and command probes against the
// real machine (under Wine for the Windows build), checked on what the test
// itself controls: its own process, its own allocations, its own files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <thread>

#include "fakes/test_backends.h"
#include "platform/console/console_signals.h"
#include "platform/files/volumes.h"
#include "platform/process/command_runner.h"
#include "platform/process/memory_status.h"
#include "platform/process/process_info.h"

#ifdef _WIN32
#include <process.h>

#include "platform/win/win_support.h"
#define getpid _getpid
#else
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#endif

namespace warderon::testing {
namespace {

TEST(SystemProbes, ProcessInformationAboutThisProcess) {
  const auto processes = MakeSystemProcessInfo();
  const auto self = static_cast<std::uint32_t>(getpid());
  const auto list = processes->ListProcesses();
  ASSERT_TRUE(list.has_value());
  const auto entry = std::find_if(list->begin(), list->end(), [&](const TProcessEntry& process) {
    return process.pid == self;
  });
  ASSERT_NE(entry, list->end());
  EXPECT_NE(entry->name.find("platform_tests"), std::string::npos) << entry->name;
  const auto path = processes->ExecutablePath(self);
  ASSERT_TRUE(path.has_value());
  EXPECT_NE(path->find("platform_tests"), std::string::npos) << *path;
  const auto modules = processes->ModuleFileNames(self);
  ASSERT_TRUE(modules.has_value());
  EXPECT_FALSE(modules->empty());
  const auto owner = processes->OwnerAccount(self);
  ASSERT_TRUE(owner.has_value());
  EXPECT_FALSE(owner->name.empty());
  const auto memory = processes->MemoryCounters(self);
  ASSERT_TRUE(memory.has_value());
  EXPECT_GT(memory->working_set, 0U);
}

#ifndef _WIN32
TEST(SystemProbes, TheOwnerIsTheEffectiveUserAsForASetuidProgram) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a child two users";
  // A child that acts as root while its real user is "nobody", as a setuid
  // root program started by nobody does.
  const pid_t child = fork();
  if (child == 0) {
    if (setresuid(65534, 0, 0) != 0) _exit(1);
    pause();
    _exit(0);
  }
  ASSERT_GT(child, 0);
  std::optional<TProcessOwner> owner;
  const auto processes = MakeSystemProcessInfo();
  for (int i = 0; i < 200; ++i) {  // until the child has changed its real user
    std::ifstream status("/proc/" + std::to_string(child) + "/status");
    std::string line;
    while (std::getline(status, line) && line.rfind("Uid:", 0) != 0) {
    }
    if (line.find("65534") != std::string::npos) break;
    usleep(10000);
  }
  owner = processes->OwnerAccount(static_cast<std::uint32_t>(child));
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  ASSERT_TRUE(owner.has_value());
  EXPECT_EQ(owner->name, "root");
}

TEST(SystemProbes, ARunningProgramWhoseFileWasReplacedKeepsTheDeletedMark) {
  const std::string program = ScratchPath("replaced-program");
  std::filesystem::copy_file("/bin/sleep", program);
  const pid_t child = fork();
  if (child == 0) {
    execl(program.c_str(), "sleeper", "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(child, 0);
  const auto processes = MakeSystemProcessInfo();
  const auto pid = static_cast<std::uint32_t>(child);
  for (int i = 0; i < 200 && processes->ExecutablePath(pid) != program; ++i) usleep(10000);
  EXPECT_EQ(processes->ExecutablePath(pid), program);
  // Another file put in its place: the running program is not that file.
  std::filesystem::remove(program);
  std::filesystem::copy_file("/bin/true", program);
  const auto path = processes->ExecutablePath(pid);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  std::filesystem::remove(program);
  EXPECT_EQ(path, program + " (deleted)");
  EXPECT_TRUE(IsCheckableImagePath(path.value_or("")));
}
#endif

#ifdef _WIN32
// Renamed away while it runs (Windows lets a running program's file be
// renamed, not deleted) and another program put at its path.
TEST(SystemProbes, ARunningProgramWhoseFileWasRenamedAwayAndReplacedIsMarked) {
  wchar_t system[MAX_PATH] = {};
  ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0U);
  const std::filesystem::path folder(system);
  const std::string program = ScratchPath("renamed-program.exe");
  std::filesystem::copy_file(folder / "ping.exe", program);
  std::wstring command = L"\"" + win::Widen(program) + L"\" -n 30 127.0.0.1";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  // Without a console of its own: Wine would start a console host for one,
  // which outlives the program and holds the test's output open.
  ASSERT_NE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS,
                           nullptr, nullptr, &startup, &started),
            FALSE);
  const auto processes = MakeSystemProcessInfo();
  const auto pid = static_cast<std::uint32_t>(started.dwProcessId);
  const auto same_file = [&](const std::optional<std::string>& path) {
    std::error_code missing;
    return path && std::filesystem::equivalent(*path, program, missing);
  };
  for (int i = 0; i < 200 && !same_file(processes->ExecutablePath(pid)); ++i) Sleep(10);
  const auto before = processes->ExecutablePath(pid);
  std::filesystem::rename(program, program + ".old");
  std::filesystem::copy_file(folder / "hostname.exe", program);
  const auto after = processes->ExecutablePath(pid);
  TerminateProcess(started.hProcess, 0);
  WaitForSingleObject(started.hProcess, 5000);
  CloseHandle(started.hProcess);
  CloseHandle(started.hThread);
  ASSERT_TRUE(same_file(before)) << before.value_or("none");
  EXPECT_FALSE(HasDeletedImageMark(*before)) << *before;
  ASSERT_TRUE(after.has_value());
  EXPECT_TRUE(HasDeletedImageMark(*after)) << *after;
}
#endif

TEST(SystemProbes, AProcessThatIsGoneIsAFailureNotAnError) {
  const auto processes = MakeSystemProcessInfo();
  const std::uint32_t gone = 0x7FFFFFF0;
  EXPECT_FALSE(processes->ExecutablePath(gone).has_value());
  EXPECT_FALSE(processes->OwnerAccount(gone).has_value());
  EXPECT_FALSE(processes->MemoryCounters(gone).has_value());
  EXPECT_FALSE(processes->ModuleFileNames(gone).has_value());
}

TEST(SystemProbes, VolumesAndMemory) {
  const auto volumes = MakeSystemVolumes();
  const auto disks = volumes->FixedDisks();
  ASSERT_FALSE(disks.empty());
  const auto space = volumes->Space(disks.front());
  ASSERT_TRUE(space.has_value());
  EXPECT_GT(space->total, 0U);
  EXPECT_LE(space->free, space->total);
  EXPECT_FALSE(volumes->Space("no such disk").has_value());

  const auto memory = MakeSystemMemoryStatus();
  const auto load = memory->MemoryLoad();
  ASSERT_TRUE(load.has_value());
  EXPECT_GE(*load, 0);
  EXPECT_LE(*load, 100);
  const std::uint64_t before = memory->OwnHeapBytes();
  std::vector<std::unique_ptr<char[]>> blocks;
  for (int i = 0; i < 64; ++i) blocks.push_back(std::make_unique<char[]>(64 * 1024));
  EXPECT_GE(memory->OwnHeapBytes(), before + 60 * 64 * 1024) << "own allocations show";
}

TEST(SystemProbes, CommandsRunThroughTheInterpreterWithRedirections) {
  const std::string path = ScratchPath("script-output.txt");
  const auto runner = MakeSystemCommandRunner();
  const TCommandStart start = runner->Start("echo started by warderon> \"" + path + "\"");
  ASSERT_TRUE(start.started) << start.message;
  std::string text;
  for (int i = 0; i < 100 && text.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::ifstream file(path);
    std::getline(file, text);
  }
  EXPECT_EQ(text.substr(0, 19), "started by warderon");
  // A program that does not exist still starts the interpreter, which reports it.
  EXPECT_TRUE(runner->Start("no-such-program-warderon-test").started);
}

#ifndef _WIN32
TEST(SystemProbes, CommandsStartWithNoSignalHeldOrIgnored) {
  HoldConsoleSignals();  // as the watchdog does: held signals, SIGPIPE ignored
  const std::string path = ScratchPath("signals.txt");
  const auto runner = MakeSystemCommandRunner();
  // The shell reads its own status with builtins, before it starts any
  // child: while it starts one, it blocks every signal for an instant.
  const TCommandStart start = runner->Start(
      "while IFS= read -r line; do case $line in SigBlk*|SigIgn*) printf '%s\\n' \"$line\";; "
      "esac; done < /proc/$$/status > '" +
      path + ".part'; mv '" + path + ".part' '" + path + "'");
  ReleaseConsoleSignals();
  ASSERT_TRUE(start.started) << start.message;
  std::string text;
  for (int i = 0; i < 100 && text.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::ifstream file(path);
    text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }
  EXPECT_EQ(text, "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
}
#endif

}  // namespace
}  // namespace warderon::testing
