// Baseline save and load, and journalling a long alert, on the SQLite policy
// store, each against the same rows written with plain SQLite inserts in one
// transaction (and read back with one query) in the same run.
#include <sqlite3.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "alerts/smtp_module.h"
#include "bench_support.h"
#include "core/cycle_state.h"
#include "platform/store/sqlite_policy_backend.h"
#include "policy/baseline_lists.h"

namespace {

using namespace warderon;
using bench::CpuMicros;
using bench::MicrosPerRun;
using TClockType = std::chrono::steady_clock;

constexpr int kEntries = 5000;
constexpr int kRounds = 15;

class TNoDelivery final : public TMailTransport, public TSyslogSender {
 public:
  void SendMail(const TMailServer&, const TMailMessage&, TDeadline) override {}
  void SendSyslog(const TSyslogTarget&, int, int, const std::string&,
                  const TSyslogAlert&) override {}
};

// Median wall time of a piece of work in milliseconds; prepare runs untimed.
double MedianMs(const std::function<void()>& prepare, const std::function<void()>& work) {
  std::vector<double> times;
  for (int round = 0; round < kRounds; ++round) {
    prepare();
    const auto start = TClockType::now();
    work();
    times.push_back(std::chrono::duration<double, std::milli>(TClockType::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// Entries like a real baseline: "name=value" texts and bare names.
std::vector<std::string> BaselineEntries() {
  std::vector<std::string> entries;
  for (int i = 0; i < kEntries; ++i) {
    const std::string name = "C:\\Program Files\\Vendor\\Product" + std::to_string(i) + "\\bin";
    entries.push_back(i % 4 == 0 ? name : name + "=" + std::to_string(i * 7919));
  }
  return entries;
}

struct TPlainSqlite {
  explicit TPlainSqlite(const std::string& path) {
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db,
                 "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                 "CREATE TABLE IF NOT EXISTS t(section TEXT, name TEXT, type INTEGER, data)",
                 nullptr, nullptr, nullptr);
  }
  ~TPlainSqlite() { sqlite3_close(db); }
  TPlainSqlite(const TPlainSqlite&) = delete;
  TPlainSqlite& operator=(const TPlainSqlite&) = delete;

  void Clear() const { sqlite3_exec(db, "DELETE FROM t", nullptr, nullptr, nullptr); }
  void Insert(const std::vector<std::string>& rows) const {
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO t VALUES('s', ?1, 1, ?2)", -1, &insert, nullptr);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (const std::string& row : rows) {
      sqlite3_bind_text(insert, 1, row.data(), static_cast<int>(row.size()), SQLITE_STATIC);
      sqlite3_bind_text(insert, 2, row.data(), static_cast<int>(row.size()), SQLITE_STATIC);
      sqlite3_step(insert);
      sqlite3_reset(insert);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_finalize(insert);
  }
  std::size_t ReadAll() const {
    sqlite3_stmt* select = nullptr;
    sqlite3_prepare_v2(db, "SELECT name, type, data FROM t WHERE section = 's' ORDER BY rowid", -1,
                       &select, nullptr);
    std::vector<std::string> names;
    while (sqlite3_step(select) == SQLITE_ROW) {
      names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(select, 0)));
    }
    sqlite3_finalize(select);
    return names.size();
  }

  sqlite3* db = nullptr;
};

void Report(const char* what, double ms, double baseline_ms, const char* target) {
  std::printf("%-34s %8.2f ms  %6.2f ms/1000  plain SQLite %7.2f ms  ratio %5.2f   (%s)\n", what,
              ms, ms * 1000.0 / kEntries, baseline_ms, ms / baseline_ms, target);
}

}  // namespace

int main() {
  const auto folder =
      std::filesystem::temp_directory_path() / ("warderon-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);

  TSqlitePolicyBackend backend((folder / "policy.sqlite").string());
  TPolicyStore store(backend);
  bench::TCountingAlerts no_alerts;
  TCycleState cycle;
  TBaselineLists lists(store, no_alerts, cycle);
  TPlainSqlite plain((folder / "plain.sqlite").string());

  // A monitor's baseline is a sorted list; a save after a typical cycle
  // differs from the stored one in one entry somewhere in the middle.
  TStringList entries(true);
  entries.Assign(BaselineEntries());
  TStringList changed(true);
  changed.Assign(BaselineEntries());
  changed.Add("C:\\Program Files\\Vendor\\Product2500-new\\bin");
  TStringList reordered(true);
  reordered.Assign(BaselineEntries());
  reordered.Add("A:\\sorts before every other entry");
  const std::vector<std::string> rows = entries.Texts();

  auto save = [&](const TStringList& list) { lists.SaveBaselineList("Bench", list); };
  const double save_unchanged_ms = MedianMs([&] { save(entries); }, [&] { save(entries); });
  const double save_changed_ms = MedianMs([&] { save(entries); }, [&] { save(changed); });
  const double save_full_ms = MedianMs([&] { save(entries); }, [&] { save(reordered); });
  const double load_ms = MedianMs([&] { save(entries); },
                                  [&] {
                                    TStringList loaded(true);
                                    lists.LoadBaselineList("Bench", loaded);
                                    if (loaded.Count() != kEntries) std::abort();
                                  });
  const double plain_insert_ms = MedianMs([&] { plain.Clear(); }, [&] { plain.Insert(rows); });
  const double plain_read_ms = MedianMs([] {},
                                        [&] {
                                          if (plain.ReadAll() != kEntries) std::abort();
                                        });

  TNoDelivery delivery;
  TSmtpModule dispatcher(store, delivery, delivery, [] { return std::string("bench"); });
  std::vector<std::string> lines;
  for (int i = 0; i < kEntries; ++i) lines.push_back("new file C:\\data\\file" + std::to_string(i));
  const double journal_ms =
      MedianMs([&] { store.DeletePolicySection("Logs"); },
               [&] { dispatcher.SendAlertWithDetails(2, "file changes", "file changes", lines); });

  // What checking every page costs the watchdog at start, against the
  // header-only open of the -policy tool, on this store.
  const std::string store_path = (folder / "policy.sqlite").string();
  const double open_header_ms =
      MedianMs([] {}, [&] { TSqlitePolicyBackend opened(store_path, TSqliteCheck::Header); });
  const double open_checked_ms =
      MedianMs([] {}, [&] { TSqlitePolicyBackend opened(store_path, TSqliteCheck::EveryPage); });

  std::printf("policy store benchmark: %d entries, median of %d rounds, SQLite %s\n", kEntries,
              kRounds, sqlite3_libversion());
  Report("save, unchanged", save_unchanged_ms, plain_insert_ms, "target < 10 ms/1000");
  Report("save, one entry added mid-list", save_changed_ms, plain_insert_ms, "target < 10 ms/1000");
  Report("save, every row rewritten", save_full_ms, plain_insert_ms, "target < 10 ms/1000");
  Report("load (verify checksum)", load_ms, plain_read_ms, "target < 10 ms/1000");
  const double plain_round_trip = plain_insert_ms + plain_read_ms;
  Report("round trip, one entry added", save_changed_ms + load_ms, plain_round_trip,
         "target ratio <= 5");
  Report("round trip, every row rewritten", save_full_ms + load_ms, plain_round_trip,
         "target ratio <= 5");
  Report("journal a 5000-line alert", journal_ms, plain_insert_ms, "target < 10 ms/1000");
  std::printf("%-34s %8.2f ms  header-only open %7.2f ms  ratio %5.2f   (once per start)\n",
              "open with every page checked", open_checked_ms, open_header_ms,
              open_checked_ms / open_header_ms);
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("peak resident memory: %.1f MiB\n", static_cast<double>(usage.ru_maxrss) / 1024.0);

  std::filesystem::remove_all(folder);
  return 0;
}
