#include "service/command_line.h"

#include <gtest/gtest.h>

namespace warderon {
namespace {

TEST(CommandLine, AcceptsDashOrSlashInAnyLetterCase) {
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"-run", "-cycles", "2", "-store", "/tmp/s"},
                                             {"/RUN", "/Cycles", "2", "-STORE", "/tmp/s"}}) {
    const TCommandLine line = ParseCommandLine(args);
    EXPECT_TRUE(line.error.empty()) << line.error;
    EXPECT_EQ(line.command, TCommand::Run);
    EXPECT_EQ(line.cycles, 2);
    EXPECT_EQ(line.store_path, "/tmp/s");
  }
}

TEST(CommandLine, PolicyWordsKeepNegativeNumbersAndPaths) {
  const TCommandLine line = ParseCommandLine(
      {"-policy", "set", "general", "Delay", "-5", "-type", "integer", "/run", "-cycles"});
  EXPECT_TRUE(line.error.empty());
  EXPECT_EQ(line.command, TCommand::Policy);
  EXPECT_EQ(line.policy_words,
            (std::vector<std::string>{"set", "general", "Delay", "-5", "/run", "-cycles"}));
  EXPECT_EQ(line.value_type, "integer");
}

TEST(CommandLine, TheChecksForCentralSystems) {
  const TCommandLine check = ParseCommandLine({"-check", "-max-age", "20", "-store", "/tmp/s"});
  EXPECT_TRUE(check.error.empty()) << check.error;
  EXPECT_EQ(check.command, TCommand::Check);
  EXPECT_EQ(check.max_age_minutes, 20);
  const TCommandLine status = ParseCommandLine({"/STATUS", "-Json"});
  EXPECT_EQ(status.command, TCommand::Status);
  EXPECT_TRUE(status.json);
}

TEST(CommandLine, RejectsWhatItCannotUse) {
  for (const auto& args : std::vector<std::vector<std::string>>{{"-run", "-cycles"},
                                                                {"-run", "-cycles", "0"},
                                                                {"-run", "-cycles", "2x"},
                                                                {"-run", "-store"},
                                                                {"-cycles", "1"},
                                                                {"-frobnicate"},
                                                                {"-json"},
                                                                {"-check", "-max-age", "0"},
                                                                {"-status", "-max-age", "5"},
                                                                {"-run", "extra"}}) {
    EXPECT_FALSE(ParseCommandLine(args).error.empty()) << args.back();
  }
}

}  // namespace
}  // namespace warderon
