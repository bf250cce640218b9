// What only the SQLite file can get wrong: opening, foreign or damaged
// files, and a second process's view.
#include "platform/store/sqlite_policy_backend.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <fstream>

#include "fakes/test_backends.h"

namespace warderon::testing {
namespace {

std::string ErrorOf(const std::string& path) {
  try {
    TSqlitePolicyBackend backend(path);
  } catch (const TPolicyError& error) {
    return error.what();
  }
  return {};
}

TEST(SqlitePolicyBackend, RefusesFilesItCannotUseAndNamesThem) {
  const std::string garbage = ScratchPath("garbage.sqlite");
  std::ofstream(garbage) << "these are an administrator's notes, not a database";
  const std::string in_missing_folder = ScratchPath("nofolder") + "/sub/store.sqlite";
  const std::string folder = ScratchPath("folder");
  std::filesystem::create_directory(folder);

  for (const std::string& path : {garbage, in_missing_folder, folder}) {
    const std::string error = ErrorOf(path);
    EXPECT_NE(error.find("'" + path + "'"), std::string::npos) << error;
  }
  // The damaged file is left exactly as it was.
  std::ifstream kept(garbage);
  std::string first_word;
  kept >> first_word;
  EXPECT_EQ(first_word, "these");
  std::filesystem::remove(folder);
}

// The store holds passwords: it is made and kept for its owner alone, an
// empty file is damage rather than a new store, and reading changes nothing.
TEST(SqlitePolicyBackend, OwnerOnlyRightsEmptyFilesRefusedAndReadingChangesNothing) {
  namespace fs = std::filesystem;
  const auto mode = [](const std::string& path) {
    return fs::status(path).permissions() & fs::perms::mask;
  };
  const std::string path = ScratchPath("rights.sqlite");
  const std::string missing = ScratchPath("missing.sqlite");
  EXPECT_ANY_THROW(TSqlitePolicyBackend(missing, TSqliteCheck::Header, TSqliteOpen::ReadOnly));
  EXPECT_FALSE(fs::exists(missing)) << "a reader creates nothing";
  {
    TSqlitePolicyBackend store(path);
    store.WriteValue("general", "EmailPassword", TPolicyValue::MakeText("s3cret"));
    EXPECT_EQ(mode(path), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(mode(path + "-wal"), fs::perms::owner_read | fs::perms::owner_write);
  }
  fs::permissions(path, fs::perms::group_read | fs::perms::others_read, fs::perm_options::add);
  {
    TSqlitePolicyBackend reader(path, TSqliteCheck::Header, TSqliteOpen::ReadOnly);
    EXPECT_EQ(reader.ReadValue("general", "EmailPassword")->text, "s3cret");
    EXPECT_NE(mode(path) & fs::perms::others_read, fs::perms::none) << "a reader changes nothing";
    EXPECT_ANY_THROW(reader.WriteValue("general", "x", TPolicyValue::MakeInteger(1)));
  }
  { TSqlitePolicyBackend writer(path); }
  EXPECT_EQ(mode(path), fs::perms::owner_read | fs::perms::owner_write) << "tightened";

  const std::string empty = ScratchPath("empty.sqlite");
  std::ofstream{empty};
  for (const TSqliteOpen open : {TSqliteOpen::CreateOrWrite, TSqliteOpen::ReadOnly}) {
    try {
      TSqlitePolicyBackend store(empty, TSqliteCheck::Header, open);
      ADD_FAILURE() << "an empty store was taken";
    } catch (const TPolicyError& error) {
      EXPECT_NE(std::string(error.what()).find("'" + empty + "': the file is empty"),
                std::string::npos)
          << error.what();
    }
  }
  EXPECT_EQ(fs::file_size(empty), 0U) << "and left as it was";
}

TEST(SqlitePolicyBackend, DamagedInnerPagesAreRefusedByNameWhenOpenedForTheWatchdog) {
  const std::string path = ScratchPath("damaged.sqlite");
  {
    TSqlitePolicyBackend store(path);
    store.RunAtomically([&] {
      for (int i = 0; i < 3000; ++i) {
        store.WriteValue("Services", "service number " + std::to_string(i),
                         TPolicyValue::MakeText(std::string(40, 'x')));
      }
    });
  }  // the last connection folds the log into the file
  ASSERT_NO_THROW(TSqlitePolicyBackend(path, TSqliteCheck::EveryPage)) << "sound before";
  {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(4096 * 10 + 16);  // inside an inner page, far from the header
    std::uint32_t noise = 2463534242U;
    for (int i = 0; i < 2000; ++i) {
      noise ^= noise << 13;
      noise ^= noise >> 17;
      noise ^= noise << 5;
      file.put(static_cast<char>(noise & 0xFF));
    }
  }
  try {
    TSqlitePolicyBackend store(path, TSqliteCheck::EveryPage);
    FAIL() << "a damaged store was opened for the watchdog";
  } catch (const TPolicyError& error) {
    EXPECT_NE(std::string(error.what()).find("'" + path + "'"), std::string::npos) << error.what();
  }
}

TEST(SqlitePolicyBackend, RefusesAnotherProgramsDatabase) {
  const std::string path = ScratchPath("foreign.sqlite");
  {
    TSqlitePolicyBackend store(path);  // create, then make it look foreign
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, "PRAGMA application_id=7", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  EXPECT_NE(ErrorOf(path).find("not a policy store"), std::string::npos);
}

TEST(SqlitePolicyBackend, AnEditByAnotherConnectionIsSeenAtTheNextRead) {
  const std::string path = ScratchPath("shared.sqlite");
  TSqlitePolicyBackend service(path);
  service.WriteValue("general", "Delay", TPolicyValue::MakeInteger(1));
  {
    TSqlitePolicyBackend administrator(path);
    administrator.WriteValue("general", "Delay", TPolicyValue::MakeInteger(7));
  }
  EXPECT_EQ(service.ReadValue("general", "Delay"), TPolicyValue::MakeInteger(7));
}

TEST(SqlitePolicyBackend, DataSurvivesReopening) {
  const std::string path = ScratchPath("reopen.sqlite");
  {
    TSqlitePolicyBackend first(path);
    first.WriteValue("Services", "b", TPolicyValue::MakeText("2"));
    first.WriteValue("Services", "a", TPolicyValue::MakeInteger(1));
  }
  TSqlitePolicyBackend second(path);
  const auto values = second.ReadSection("services");
  ASSERT_EQ(values.size(), 2U);
  EXPECT_EQ(values[0].name, "b");
  EXPECT_EQ(values[1].value, TPolicyValue::MakeInteger(1));
}

}  // namespace
}  // namespace warderon::testing
