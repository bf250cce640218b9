#include "platform/store/sqlite_policy_backend.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

#include "core/text_case.h"

namespace warderon {

// Identifies the file as a policy store ("WRDN").
constexpr int kApplicationId = 0x5752444E;
constexpr int kSchemaVersion = 1;

// Stored type codes follow the registry's REG_* numbers.
constexpr int kTypeUnknown = 0;
constexpr int kTypeText = 1;
constexpr int kTypeExpandText = 2;
constexpr int kTypeBinary = 3;
constexpr int kTypeInteger = 4;

// One prepared statement, reset after every use.
class TSqliteStatement {
 public:
  TSqliteStatement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) != SQLITE_OK) statement_ = nullptr;
  }
  ~TSqliteStatement() { sqlite3_finalize(statement_); }
  TSqliteStatement(const TSqliteStatement&) = delete;
  TSqliteStatement& operator=(const TSqliteStatement&) = delete;

  bool Valid() const { return statement_ != nullptr; }
  sqlite3_stmt* Get() const { return statement_; }

  void BindText(int index, const std::string& text) {
    // The text outlives the step that uses it (statements are reset after each use).
    sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
  }
  void BindInt(int index, long long value) { sqlite3_bind_int64(statement_, index, value); }
  void BindBlob(int index, const std::vector<std::uint8_t>& bytes) {
    sqlite3_bind_blob(statement_, index, bytes.data(), static_cast<int>(bytes.size()),
                      SQLITE_STATIC);
  }
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step() { return sqlite3_step(statement_); }
  void Reset() {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
  }

  std::string ColumnText(int column) const {
    const auto* text = sqlite3_column_text(statement_, column);
    return text == nullptr
               ? std::string()
               : std::string(reinterpret_cast<const char*>(text),
                             static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)));
  }
  std::vector<std::uint8_t> ColumnBlob(int column) const {
    const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement_, column));
    const auto size = static_cast<std::size_t>(sqlite3_column_bytes(statement_, column));
    return data == nullptr ? std::vector<std::uint8_t>()
                           : std::vector<std::uint8_t>(data, data + size);
  }

 private:
  sqlite3_stmt* statement_ = nullptr;
};

namespace {

// Resets a statement when the operation that used it ends, however it ends.
class TStatementUse {
 public:
  explicit TStatementUse(TSqliteStatement& statement) : statement_(statement) {}
  ~TStatementUse() { statement_.Reset(); }
  TStatementUse(const TStatementUse&) = delete;
  TStatementUse& operator=(const TStatementUse&) = delete;

 private:
  TSqliteStatement& statement_;
};

TPolicyValue ReadColumnValue(const TSqliteStatement& statement, int type_column, int data_column) {
  const int type = sqlite3_column_int(statement.Get(), type_column);
  switch (type) {
    case kTypeText:
      return TPolicyValue::MakeText(statement.ColumnText(data_column));
    case kTypeExpandText:
      return TPolicyValue::MakeExpandText(statement.ColumnText(data_column));
    case kTypeInteger:
      return TPolicyValue::MakeInteger(sqlite3_column_int(statement.Get(), data_column));
    case kTypeBinary:
      return TPolicyValue::MakeBinary(statement.ColumnBlob(data_column));
    default: {
      TPolicyValue unknown;
      unknown.binary = statement.ColumnBlob(data_column);
      return unknown;
    }
  }
}

int TypeCode(TPolicyValueType type);

// Binds a value's type and data at the given parameter positions.
void BindValue(TSqliteStatement& statement, int type_index, int data_index,
               const TPolicyValue& value) {
  statement.BindInt(type_index, TypeCode(value.type));
  switch (value.type) {
    case TPolicyValueType::Text:
    case TPolicyValueType::ExpandText:
      statement.BindText(data_index, value.text);
      break;
    case TPolicyValueType::Integer:
      statement.BindInt(data_index, value.integer);
      break;
    case TPolicyValueType::Binary:
    case TPolicyValueType::Unknown:
      statement.BindBlob(data_index, value.binary);
      break;
  }
}

int TypeCode(TPolicyValueType type) {
  switch (type) {
    case TPolicyValueType::Text:
      return kTypeText;
    case TPolicyValueType::ExpandText:
      return kTypeExpandText;
    case TPolicyValueType::Integer:
      return kTypeInteger;
    case TPolicyValueType::Binary:
      return kTypeBinary;
    case TPolicyValueType::Unknown:
      break;
  }
  return kTypeUnknown;
}

}  // namespace

void TSqlitePolicyBackend::TDeleter::operator()(sqlite3* db) const { sqlite3_close_v2(db); }

TSqlitePolicyBackend::TSqlitePolicyBackend(std::string path, TSqliteCheck check, TSqliteOpen open)
    : path_(std::move(path)) {
  PrepareFile(open);
  sqlite3* raw = nullptr;
  const int flags = open == TSqliteOpen::ReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE;
  const int opened = sqlite3_open_v2(path_.c_str(), &raw, flags | SQLITE_OPEN_FULLMUTEX, nullptr);
  db_.reset(raw);
  if (opened != SQLITE_OK) Fail("cannot open");
  if (open != TSqliteOpen::ReadOnly && sqlite3_db_readonly(db_.get(), "main") == 1) {
    throw TPolicyError(Describe() + ": the file is not writable");
  }
  sqlite3_busy_timeout(db_.get(), 5000);
  sqlite3_extended_result_codes(db_.get(), 1);
  PrepareSchema(open);
  if (check == TSqliteCheck::EveryPage) CheckEveryPage();
}

void TSqlitePolicyBackend::CheckEveryPage() {
  TSqliteStatement check(db_.get(), "PRAGMA quick_check(1)");
  if (!check.Valid()) Fail("cannot check the file");
  const int step = check.Step();
  if (step != SQLITE_ROW) Fail("cannot check the file");
  const auto* result = reinterpret_cast<const char*>(sqlite3_column_text(check.Get(), 0));
  const std::string verdict = result == nullptr ? "no answer" : result;
  if (verdict != "ok") {
    throw TPolicyError(Describe() + ": the file is damaged (" + verdict +
                       "); restore it from a backup or move it away to start afresh");
  }
}

TSqlitePolicyBackend::~TSqlitePolicyBackend() = default;

std::string TSqlitePolicyBackend::Describe() const { return "policy store '" + path_ + "'"; }

void TSqlitePolicyBackend::Fail(const std::string& operation) const {
  const char* message = db_ ? sqlite3_errmsg(db_.get()) : "out of memory";
  throw TPolicyError(Describe() + ": " + operation + ": " + message);
}

void TSqlitePolicyBackend::Execute(const char* sql, const std::string& operation) {
  if (sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr) != SQLITE_OK) Fail(operation);
}

void TSqlitePolicyBackend::PrepareFile(TSqliteOpen open) {
  struct stat info {};
  if (lstat(path_.c_str(), &info) != 0) {
    if (errno != ENOENT) {
      throw TPolicyError(Describe() + ": " + std::generic_category().message(errno));
    }
    if (open == TSqliteOpen::ReadOnly) {
      throw TPolicyError(Describe() + " does not exist (nothing was created)");
    }
    const int fd =
        ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      throw TPolicyError(Describe() + ": cannot create: " + std::generic_category().message(errno));
    }
    close(fd);
    return;
  }
  // Only a missing file starts a new store: an empty one lost its contents.
  if (S_ISREG(info.st_mode) && info.st_size == 0) {
    throw TPolicyError(Describe() +
                       ": the file is empty, so every setting and baseline is gone; restore it "
                       "from a backup, or remove it to start afresh");
  }
  if (open == TSqliteOpen::ReadOnly || info.st_uid != geteuid()) return;
  for (const char* suffix : {"", "-wal", "-shm"}) {
    const std::string file = path_ + suffix;
    struct stat each {};
    if (lstat(file.c_str(), &each) == 0 && S_ISREG(each.st_mode) && (each.st_mode & 077) != 0) {
      chmod(file.c_str(), each.st_mode & 0700);
    }
  }
}

void TSqlitePolicyBackend::PrepareSchema(TSqliteOpen open) {
  // The first read of the header tells a corrupt or foreign file apart from
  // ours; neither is ever overwritten.
  TSqliteStatement probe(db_.get(),
                         "SELECT (SELECT count(*) FROM sqlite_schema), "
                         "(SELECT application_id FROM pragma_application_id), "
                         "(SELECT user_version FROM pragma_user_version)");
  if (!probe.Valid() || probe.Step() != SQLITE_ROW) Fail("cannot read the file");
  const int tables = sqlite3_column_int(probe.Get(), 0);
  const int application_id = sqlite3_column_int(probe.Get(), 1);
  const int version = sqlite3_column_int(probe.Get(), 2);
  probe.Reset();

  if (tables != 0 && application_id != kApplicationId) {
    throw TPolicyError(Describe() + ": the file is an SQLite database but not a policy store");
  }
  if (application_id == kApplicationId && version > kSchemaVersion) {
    throw TPolicyError(Describe() + ": written by a newer release (schema " +
                       std::to_string(version) + ")");
  }
  if (open == TSqliteOpen::ReadOnly) {
    if (application_id != kApplicationId) throw TPolicyError(Describe() + " is not a policy store");
    return;
  }
  Execute("PRAGMA journal_mode=WAL", "cannot enable write-ahead logging");
  Execute("PRAGMA synchronous=NORMAL", "cannot set synchronous mode");
  if (tables == 0) {
    const std::string create =
        "BEGIN IMMEDIATE;"
        "CREATE TABLE IF NOT EXISTS sections(id INTEGER PRIMARY KEY, name TEXT NOT NULL,"
        " folded TEXT NOT NULL UNIQUE);"
        // Row ids only grow (a new row gets the highest id plus one), so
        // they give the creation order.
        "CREATE TABLE IF NOT EXISTS policy_values(id INTEGER PRIMARY KEY,"
        " section INTEGER NOT NULL, name TEXT NOT NULL, folded TEXT NOT NULL,"
        " type INTEGER NOT NULL, data, UNIQUE(section, folded));"
        // Reads a section's values in id order without sorting them.
        "CREATE INDEX IF NOT EXISTS policy_values_order ON policy_values(section);"
        "PRAGMA application_id=" +
        std::to_string(kApplicationId) +
        ";"
        "PRAGMA user_version=" +
        std::to_string(kSchemaVersion) +
        ";"
        "COMMIT;";
    Execute(create.c_str(), "cannot create the store's tables");
  }
}

TSqliteStatement& TSqlitePolicyBackend::Statement(std::unique_ptr<TSqliteStatement>& slot,
                                                  const char* sql) {
  if (!slot) {
    auto statement = std::make_unique<TSqliteStatement>(db_.get(), sql);
    if (!statement->Valid()) Fail("cannot prepare a query");
    slot = std::move(statement);
  }
  return *slot;
}

std::optional<long long> TSqlitePolicyBackend::FindSectionId(const std::string& section) {
  auto& find = Statement(find_section_, "SELECT id FROM sections WHERE folded = ?1");
  const TStatementUse use(find);
  const std::string folded = FoldCase(section);
  find.BindText(1, folded);
  const int step = find.Step();
  if (step == SQLITE_ROW) return sqlite3_column_int64(find.Get(), 0);
  if (step != SQLITE_DONE) Fail("cannot read section '" + section + "'");
  return std::nullopt;
}

long long TSqlitePolicyBackend::EnsureSectionId(const std::string& section) {
  if (auto id = FindSectionId(section)) return *id;
  auto& insert =
      Statement(insert_section_, "INSERT OR IGNORE INTO sections(name, folded) VALUES(?1, ?2)");
  auto add = [&](const std::string& name) {
    const TStatementUse use(insert);
    const std::string folded = FoldCase(name);
    insert.BindText(1, name);
    insert.BindText(2, folded);
    if (insert.Step() != SQLITE_DONE) Fail("cannot create section '" + name + "'");
  };
  RunAtomically([&] {
    for (std::size_t pos = section.find('\\'); pos != std::string::npos;
         pos = section.find('\\', pos + 1)) {
      add(section.substr(0, pos));
    }
    add(section);
  });
  if (auto id = FindSectionId(section)) return *id;
  Fail("cannot create section '" + section + "'");
}

void TSqlitePolicyBackend::CreateSection(const std::string& section) {
  const std::lock_guard lock(mutex_);
  if (!section.empty()) EnsureSectionId(section);
}

std::optional<TPolicyValue> TSqlitePolicyBackend::ReadValue(const std::string& section,
                                                            const std::string& name) {
  const std::lock_guard lock(mutex_);
  auto& read = Statement(read_value_,
                         "SELECT v.type, v.data FROM policy_values v JOIN sections s"
                         " ON v.section = s.id WHERE s.folded = ?1 AND v.folded = ?2");
  const TStatementUse use(read);
  const std::string folded_section = FoldCase(section);
  const std::string folded_name = FoldCase(name);
  read.BindText(1, folded_section);
  read.BindText(2, folded_name);
  const int step = read.Step();
  if (step == SQLITE_ROW) return ReadColumnValue(read, 0, 1);
  if (step != SQLITE_DONE) Fail("cannot read value '" + name + "' of section '" + section + "'");
  return std::nullopt;
}

void TSqlitePolicyBackend::WriteValue(const std::string& section, const std::string& name,
                                      const TPolicyValue& value) {
  const std::lock_guard lock(mutex_);
  const long long section_id = EnsureSectionId(section);
  // An upsert keeps the row (and so the enumeration position) of an existing value.
  auto& write = Statement(write_value_,
                          "INSERT INTO policy_values(section, name, folded, type, data)"
                          " VALUES(?1, ?2, ?3, ?4, ?5) ON CONFLICT(section, folded)"
                          " DO UPDATE SET type = excluded.type, data = excluded.data");
  const TStatementUse use(write);
  write.BindInt(1, section_id);
  write.BindText(2, name);
  const std::string folded = FoldCase(name);
  write.BindText(3, folded);
  BindValue(write, 4, 5, value);
  if (write.Step() != SQLITE_DONE) {
    Fail("cannot write value '" + name + "' of section '" + section + "'");
  }
}

bool TSqlitePolicyBackend::DeleteValue(const std::string& section, const std::string& name) {
  const std::lock_guard lock(mutex_);
  auto& erase = Statement(delete_value_,
                          "DELETE FROM policy_values WHERE folded = ?2 AND section ="
                          " (SELECT id FROM sections WHERE folded = ?1)");
  const TStatementUse use(erase);
  const std::string folded_section = FoldCase(section);
  const std::string folded_name = FoldCase(name);
  erase.BindText(1, folded_section);
  erase.BindText(2, folded_name);
  if (erase.Step() != SQLITE_DONE) {
    Fail("cannot delete value '" + name + "' of section '" + section + "'");
  }
  return sqlite3_changes(db_.get()) > 0;
}

void TSqlitePolicyBackend::DeleteTree(const std::string& section, bool including_section) {
  const std::string folded = FoldCase(section);
  // Subsections are the names between "name\" and "name]" ("]" follows "\"
  // in byte order). The root is never stored, so an empty name matches none.
  const std::string below = folded + "\\";
  const std::string after = folded + "]";
  const std::string itself = including_section ? folded : std::string();
  for (const char* sql :
       {"DELETE FROM policy_values WHERE section IN (SELECT id FROM sections"
        " WHERE folded = ?1 OR (folded >= ?2 AND folded < ?3))",
        "DELETE FROM sections WHERE folded = ?1 OR (folded >= ?2 AND folded < ?3)"}) {
    TSqliteStatement statement(db_.get(), sql);
    if (!statement.Valid()) Fail("cannot prepare a query");
    statement.BindText(1, itself);
    statement.BindText(2, below);
    statement.BindText(3, after);
    if (statement.Step() != SQLITE_DONE) Fail("cannot delete section '" + section + "'");
  }
}

void TSqlitePolicyBackend::DeleteSection(const std::string& section) {
  const std::lock_guard lock(mutex_);
  if (section.empty()) return;  // the root is never deleted
  RunAtomically([&] { DeleteTree(section, true); });
}

void TSqlitePolicyBackend::RewriteSection(const std::string& section,
                                          const std::vector<TPolicyNamedValue>& values) {
  const std::lock_guard lock(mutex_);
  // The rows that already stand in the wanted order are kept (updated when
  // their data differs); the rest is deleted and written anew. A baseline
  // that changed a little thus costs a little, and the ids still give the
  // wanted order because new rows always get higher ids.
  RunAtomically([&] {
    DeleteTree(section, false);
    const long long section_id = EnsureSectionId(section);

    TSqliteStatement existing(db_.get(),
                              "SELECT id, name, type, data FROM policy_values WHERE section = ?1"
                              " ORDER BY id");
    TSqliteStatement update(
        db_.get(), "UPDATE policy_values SET name = ?2, type = ?3, data = ?4 WHERE id = ?1");
    TSqliteStatement trim(db_.get(), "DELETE FROM policy_values WHERE section = ?1 AND id >= ?2");
    if (!existing.Valid() || !update.Valid() || !trim.Valid()) Fail("cannot prepare a query");
    existing.BindInt(1, section_id);
    std::size_t kept = 0;
    std::optional<long long> first_replaced;
    for (int step = existing.Step(); step == SQLITE_ROW; step = existing.Step()) {
      const long long id = sqlite3_column_int64(existing.Get(), 0);
      const std::string name = existing.ColumnText(1);
      if (kept >= values.size() || name != values[kept].name) {
        first_replaced = id;
        break;
      }
      if (ReadColumnValue(existing, 2, 3) != values[kept].value) {
        const TStatementUse use(update);
        update.BindInt(1, id);
        update.BindText(2, values[kept].name);
        BindValue(update, 3, 4, values[kept].value);
        if (update.Step() != SQLITE_DONE) Fail("cannot rewrite section '" + section + "'");
      }
      ++kept;
    }
    existing.Reset();
    if (first_replaced) {
      trim.BindInt(1, section_id);
      trim.BindInt(2, *first_replaced);
      if (trim.Step() != SQLITE_DONE) Fail("cannot rewrite section '" + section + "'");
    }

    auto& insert = Statement(insert_value_,
                             "INSERT INTO policy_values(section, name, folded, type, data)"
                             " VALUES(?1, ?2, ?3, ?4, ?5)");
    for (std::size_t i = kept; i < values.size(); ++i) {
      const TPolicyNamedValue& value = values[i];
      const TStatementUse use(insert);
      const std::string folded = FoldCase(value.name);
      insert.BindInt(1, section_id);
      insert.BindText(2, value.name);
      insert.BindText(3, folded);
      BindValue(insert, 4, 5, value.value);
      if (insert.Step() != SQLITE_DONE) {
        Fail("cannot write value '" + value.name + "' of section '" + section + "'");
      }
    }
  });
}

std::vector<TPolicyNamedValue> TSqlitePolicyBackend::ReadSection(const std::string& section) {
  const std::lock_guard lock(mutex_);
  auto& read = Statement(read_section_,
                         "SELECT v.name, v.type, v.data FROM policy_values v JOIN sections s"
                         " ON v.section = s.id WHERE s.folded = ?1 ORDER BY v.id");
  const TStatementUse use(read);
  const std::string folded = FoldCase(section);
  read.BindText(1, folded);
  std::vector<TPolicyNamedValue> values;
  for (;;) {
    const int step = read.Step();
    if (step == SQLITE_DONE) break;
    if (step != SQLITE_ROW) Fail("cannot read section '" + section + "'");
    values.push_back({read.ColumnText(0), ReadColumnValue(read, 1, 2)});
  }
  return values;
}

std::vector<std::string> TSqlitePolicyBackend::ListSections() {
  const std::lock_guard lock(mutex_);
  auto& list =
      Statement(list_sections_, "SELECT name FROM sections WHERE name <> '' ORDER BY name");
  const TStatementUse use(list);
  std::vector<std::string> names;
  for (;;) {
    const int step = list.Step();
    if (step == SQLITE_DONE) break;
    if (step != SQLITE_ROW) Fail("cannot list the sections");
    names.push_back(list.ColumnText(0));
  }
  return names;
}

void TSqlitePolicyBackend::RunAtomically(const std::function<void()>& work) {
  const std::lock_guard lock(mutex_);
  const std::string name = "w" + std::to_string(savepoint_depth_);
  Execute(("SAVEPOINT " + name).c_str(), "cannot begin a transaction");
  ++savepoint_depth_;
  try {
    work();
  } catch (...) {
    --savepoint_depth_;
    sqlite3_exec(db_.get(), ("ROLLBACK TO " + name + "; RELEASE " + name).c_str(), nullptr, nullptr,
                 nullptr);
    throw;
  }
  --savepoint_depth_;
  if (sqlite3_exec(db_.get(), ("RELEASE " + name).c_str(), nullptr, nullptr, nullptr) !=
      SQLITE_OK) {
    const std::string error = sqlite3_errmsg(db_.get());
    sqlite3_exec(db_.get(), ("ROLLBACK TO " + name + "; RELEASE " + name).c_str(), nullptr, nullptr,
                 nullptr);
    throw TPolicyError(Describe() + ": cannot commit a transaction: " + error);
  }
}

}  // namespace warderon
