// The platform's process, volume, memory and command probes against the
// real machine (under Wine for the Windows build), checked on what the test
// itself controls: its own process, its own allocations, its own files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "fakes/test_backends.h"
#include "platform/command_runner.h"
#include "platform/memory_status.h"
#include "platform/process_info.h"
#include "platform/volumes.h"

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
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

}  // namespace
}  // namespace warderon::testing
