// The library's SQLite steps (Library.h, step 2): the fold of the staged
// pair into one file, and the integrity check of that file, run beside the
// placement.
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "library/staging.h"

namespace {

struct StatementFinalize {
  void operator()(sqlite3_stmt* statement) const noexcept { (void)sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalize>;

// What integrity_check reports at most: the first problems name the fault.
constexpr int kProblemsShown = 3;

// A file SQLite cannot read as a database is a damaged copy, not a failure
// of the fold.
bool damaged_code(int code) noexcept {
  const int primary = code & 0xff;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

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

// Opens `path` with `flags` and the settings above: SQLITE_OK, or the code
// with *message set to SQLite's words.
int open_distrusted(const std::string& path, int flags, Database* db,
                    std::string* message) noexcept {
  sqlite3* raw = nullptr;
  int opened = sqlite3_open_v2(path.c_str(), &raw, flags | SQLITE_OPEN_NOFOLLOW, nullptr);
  db->reset(raw);
  if (opened == SQLITE_OK && !distrust(raw)) opened = sqlite3_extended_errcode(raw);
  if (opened != SQLITE_OK) {
    try {
      *message = raw ? sqlite3_errmsg(raw) : sqlite3_errstr(opened);
    } catch (...) {
    }
  }
  return opened;
}

// Runs a one-statement pragma and hands its rows to `row` until it says
// stop: SQLITE_DONE, or SQLite's error.
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
  if (damaged_code(sqlite3_extended_errcode(db)))
    say_damaged(link, sqlite3_errmsg(db));
  else
    mdv_add_err(link, "Couldn't fold the copied music library's log into it: %s",
                ended == SQLITE_DONE ? "SQLite kept the log" : sqlite3_errmsg(db));
  return false;
}

// integrity_check on `db`: empty when it says "ok", else its first
// problems, or SQLite's error.
std::string problems_of(sqlite3* db) noexcept {
  std::string problems;
  int shown = 0;
  try {
    const int ended = each_row(db, "PRAGMA integrity_check", [&](std::string_view text, auto) {
      if (text == "ok") return false;
      if (!problems.empty()) problems += "; ";
      problems += text;
      return ++shown < kProblemsShown;
    });
    if (ended != SQLITE_DONE) problems = sqlite3_errmsg(db);
  } catch (...) {
    // Out of memory: what was gathered names the fault, if anything did.
    if (problems.empty()) problems = "out of memory while checking it";
  }
  return problems;
}

}  // namespace

int fold_library(DeviceLink* link, const std::string& path) noexcept {
  Database db;
  std::string message;
  const int opened = open_distrusted(path, SQLITE_OPEN_READWRITE, &db, &message);
  if (opened != SQLITE_OK) {
    if (damaged_code(opened))
      say_damaged(link, message);
    else
      mdv_add_err(link, "Couldn't open the copied music library: %s", message.c_str());
    return -1;
  }
  if (!fold(link, db.get())) return -1;
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

LibraryCheck::LibraryCheck(const std::string& path) noexcept {
  if (open_distrusted(path, SQLITE_OPEN_READONLY, &db_, &problems_) != SQLITE_OK) {
    db_.reset();
    if (problems_.empty()) problems_ = "it cannot be opened";
    return;
  }
  try {
    checker_ = std::thread([this] { problems_ = problems_of(db_.get()); });
  } catch (const std::system_error&) {
    problems_ = problems_of(db_.get());  // no thread to be had: here, then
  }
}

LibraryCheck::~LibraryCheck() {
  if (checker_.joinable()) checker_.join();
}

int LibraryCheck::result(DeviceLink* link) noexcept {
  if (checker_.joinable()) checker_.join();
  db_.reset();
  if (problems_.empty()) return 0;
  say_damaged(link, problems_);
  return -1;
}
