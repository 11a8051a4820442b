// The library's fold (Library.h, step 2): SQLite checks the staged pair and
// folds its -wal into the main file, leaving one self-contained file.
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "library/staging.h"

namespace {

struct DatabaseClose {
  void operator()(sqlite3* db) const noexcept { (void)sqlite3_close_v2(db); }
};
using Database = std::unique_ptr<sqlite3, DatabaseClose>;

struct StatementFinalize {
  void operator()(sqlite3_stmt* statement) const noexcept { (void)sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalize>;

// What integrity_check reports at most: the first problems name the fault.
constexpr int kProblemsShown = 3;

void say_damaged(DeviceLink* link, std::string_view what) noexcept {
  mdv_add_err(link, "The copied music library is damaged: %.*s", static_cast<int>(what.size()),
              what.data());
}

// The copy comes from a device: nothing in it may steer SQLite beyond
// reading it (no schema-defined functions run, no writable schema, no
// mapping of a file whose size can lie, cell sizes checked on every read).
// The staged file is scratch until the placement, which syncs what it
// writes, so SQLite need not sync it.
bool distrust(sqlite3* db) noexcept {
  return sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr) == SQLITE_OK &&
         sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr) == SQLITE_OK &&
         sqlite3_exec(db, "PRAGMA mmap_size=0; PRAGMA cell_size_check=ON; PRAGMA synchronous=OFF;",
                      nullptr, nullptr, nullptr) == SQLITE_OK;
}

// Runs a one-statement pragma and hands its first column's text, row by
// row, to `row` until it says stop: SQLITE_DONE, or SQLite's error.
template <typename Row>
int each_row(sqlite3* db, const char* sql, Row row) noexcept {
  sqlite3_stmt* raw = nullptr;
  const int prepared = sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
  const Statement statement(raw);
  if (prepared != SQLITE_OK) return prepared;
  int stepped = SQLITE_ROW;
  while ((stepped = sqlite3_step(statement.get())) == SQLITE_ROW) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement.get(), 0));
    if (!row(std::string_view(text ? text : ""), statement.get())) return SQLITE_DONE;
  }
  return stepped;
}

bool check(DeviceLink* link, sqlite3* db) noexcept {
  std::string problems;
  int shown = 0;
  const int ended = each_row(db, "PRAGMA integrity_check", [&](std::string_view text, auto) {
    if (text == "ok") return false;
    try {
      if (!problems.empty()) problems += "; ";
      problems += text;
    } catch (...) {
      return false;  // out of memory: what was gathered names the fault
    }
    return ++shown < kProblemsShown;
  });
  if (ended != SQLITE_DONE) {
    say_damaged(link, sqlite3_errmsg(db));
    return false;
  }
  if (!problems.empty()) {
    say_damaged(link, problems);
    return false;
  }
  return true;
}

// The checkpoint must have copied every frame (its first column is 1 when
// it could not), and the journal mode must then be the rollback one.
bool fold(DeviceLink* link, sqlite3* db) noexcept {
  bool whole = false;
  int ended = each_row(db, "PRAGMA wal_checkpoint(TRUNCATE)", [&](std::string_view, auto row) {
    whole = sqlite3_column_int(row, 0) == 0;
    return false;
  });
  bool rollback = false;
  if (ended == SQLITE_DONE && whole) {
    ended = each_row(db, "PRAGMA journal_mode=DELETE", [&](std::string_view mode, auto) {
      rollback = mode == "delete";
      return false;
    });
  }
  if (ended == SQLITE_DONE && rollback) return true;
  mdv_add_err(link, "Couldn't fold the copied music library's log into it: %s",
              ended == SQLITE_DONE ? "SQLite kept the log" : sqlite3_errmsg(db));
  return false;
}

}  // namespace

int fold_library(DeviceLink* link, const std::string& path) noexcept {
  sqlite3* raw = nullptr;
  const int opened =
      sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr);
  Database db(raw);
  if (opened != SQLITE_OK) {
    say_damaged(link, db ? sqlite3_errmsg(db.get()) : sqlite3_errstr(opened));
    return -1;
  }
  if (!distrust(db.get())) {
    mdv_add_err(link, "Couldn't open the copied music library safely: %s",
                sqlite3_errmsg(db.get()));
    return -1;
  }
  if (!check(link, db.get()) || !fold(link, db.get())) return -1;
  const int closed = sqlite3_close(db.release());
  if (closed != SQLITE_OK) {
    mdv_add_err(link, "Couldn't close the copied music library: %s", sqlite3_errstr(closed));
    return -1;
  }
  // A log SQLite left beside it would hold commits the file lacks.
  char wal[4096];
  if (std::snprintf(wal, sizeof wal, "%s-wal", path.c_str()) >= static_cast<int>(sizeof wal) ||
      ::access(wal, F_OK) == 0) {
    mdv_add_err(link, "Couldn't fold the copied music library's log into it: it is still there");
    return -1;
  }
  return 0;
}
