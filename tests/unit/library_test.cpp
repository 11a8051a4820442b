// getLibrary on the fake device: the consistent copy of a library the phone
// writes while it is copied, its fold into one file, and what a failure
// leaves on disk.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "FakeMobileDevice.h"
#include "PhoneAndLink.h"
#include "command/Command.h"
#include "library/Library.h"
#include "main/retrieval.h"

namespace {

namespace fs = std::filesystem;
using fakemd::Call;

const std::string kMain = kLibraryPath;
const std::string kWal = kMain + "-wal";

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void exec(sqlite3* db, const std::string& sql) {
  ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
      << sql << ": " << sqlite3_errmsg(db);
}

// A phone's library as its files stand: `rows` tracks, the last `wal_rows`
// of them committed only to the -wal (empty when there are none).
struct LibraryFiles {
  std::string main;
  std::string wal;
};

LibraryFiles make_library(const fs::path& scratch, int rows, int wal_rows) {
  fs::create_directories(scratch);
  const fs::path path = scratch / "MediaLibrary.sqlitedb";
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  exec(db,
       "PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;"
       "CREATE TABLE item (item_pid INTEGER PRIMARY KEY, title TEXT);"
       "CREATE INDEX item_title ON item (title);");
  const auto add = [&](int from, int to) {
    exec(db, "BEGIN; WITH RECURSIVE n(i) AS (SELECT " + std::to_string(from) +
                 " UNION ALL SELECT i + 1 FROM n WHERE i + 1 < " + std::to_string(to) +
                 ") INSERT INTO item SELECT i, printf('Track %05d of a long title', i) FROM n;"
                 "COMMIT;");
  };
  add(0, rows - wal_rows);
  exec(db, "PRAGMA wal_checkpoint(TRUNCATE)");
  if (wal_rows > 0) add(rows - wal_rows, rows);
  // Read while the connection is open: closing it would fold the -wal in.
  LibraryFiles files{read_file(path), wal_rows > 0 ? read_file(path.string() + "-wal") : ""};
  sqlite3_close(db);
  fs::remove_all(scratch);
  return files;
}

void put_library(AMDeviceRef phone, const LibraryFiles& files) {
  fakemd::put_file(phone, kMain, files.main);
  if (files.wal.empty())
    fakemd::remove_file(phone, kWal);
  else
    fakemd::put_file(phone, kWal, files.wal);
}

// What a local library file holds: its track count, or -1 when SQLite
// cannot read it; and whether it stands alone (not in WAL mode).
struct Opened {
  int tracks = -1;
  bool alone = false;
};

Opened open_copy(const std::string& path) {
  Opened opened;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    const auto first = [db](const char* sql) {
      sqlite3_stmt* statement = nullptr;
      std::string value;
      if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK &&
          sqlite3_step(statement) == SQLITE_ROW)
        value = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
      sqlite3_finalize(statement);
      return value;
    };
    const std::string count = first("SELECT count(*) FROM item");
    if (!count.empty() && first("PRAGMA integrity_check") == "ok") opened.tracks = std::stoi(count);
    opened.alone = first("PRAGMA journal_mode") == "delete";
  }
  sqlite3_close(db);
  return opened;
}

class Library : public PhoneAndLink {
 protected:
  void SetUp() override {
    attach_link(true);
    char pattern[] = "/tmp/afclink-library-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    out = (dir / "library.sqlitedb").string();
  }
  void TearDown() override {
    EXPECT_EQ(fakemd::open_files(), 0) << "a device file was left open";
    PhoneAndLink::TearDown();
    fs::remove_all(dir);
  }

  std::string run(const std::string& line) {
    CommandPtr command(cmd_new(line.c_str()));
    EXPECT_NE(command, nullptr);
    link->err_text->length = 0;
    testing::internal::CaptureStdout();
    (void)getLibrary(link, command.get());
    return testing::internal::GetCapturedStdout();
  }
  std::string get_library() { return run("getLibrary " + out); }

  // Nothing but the destination (when there is one) is left in its folder.
  void expect_no_staging_left() {
    for (const auto& entry : fs::directory_iterator(dir))
      EXPECT_EQ(entry.path().string(), out) << "left behind";
  }
  // The phone's copies of the library are made every time it is opened.
  long copies_of_main() {
    long opens = 0;
    for (const auto& call : fakemd::log_of(Call::FileRefOpen)) opens += call.text == kMain;
    return opens;
  }

  fs::path dir;
  std::string out;
  // Short pauses; still at least three tries.
  library_internal::ScopedRetryRule quick{
      {std::chrono::milliseconds(1), std::chrono::milliseconds(20), 3}};
};

TEST_F(Library, CommitsOnlyInTheLogAreFoldedIntoOneFileThatStandsAlone) {
  put_library(phone, make_library(dir / "phone", 300, 40));
  EXPECT_EQ(get_library(), "ok\n");
  const Opened copy = open_copy(out);
  EXPECT_EQ(copy.tracks, 300);
  EXPECT_TRUE(copy.alone);
  expect_no_staging_left();
}

TEST_F(Library, AMissingLogIsNormal) {
  put_library(phone, make_library(dir / "phone", 120, 0));
  EXPECT_EQ(get_library(), "ok\n");
  EXPECT_EQ(open_copy(out).tracks, 120);
}

TEST_F(Library, ALibraryChangedDuringTheCopyIsCopiedAgainWhole) {
  put_library(phone, make_library(dir / "old", 200, 30));
  const LibraryFiles newer = make_library(dir / "new", 260, 50);
  // The phone checkpoints and commits while its main file is read: the
  // reader finishes the old main file and would then meet the new log.
  bool changed = false;
  fakemd::set_read_hook([&](const std::string& path, uint64_t) {
    if (path != kMain || changed) return;
    changed = true;
    put_library(phone, newer);
  });
  EXPECT_EQ(get_library(), "ok\n");
  EXPECT_EQ(open_copy(out).tracks, 260);
  EXPECT_EQ(copies_of_main(), 2);
}

TEST_F(Library, ALogThatOnlyGrewUnderItsHeaderIsOneMomentAlready) {
  // Served from a folder, so that the reader sees the log grow.
  const LibraryFiles files = make_library(dir / "made", 200, 30);
  const fs::path phone_folder = dir / "phone";
  fs::create_directories(phone_folder / "iTunes_Control/iTunes");
  std::ofstream(phone_folder.string() + kMain, std::ios::binary) << files.main;
  std::ofstream(phone_folder.string() + kWal, std::ios::binary) << files.wal;
  fakemd::serve_folder(phone, phone_folder.string());
  // A commit appended just after the reader met the log's end: the copy
  // reads on; its last frame is whatever had been written, and recovery
  // keeps the last whole commit.
  bool grown = false;
  int at_end = 0;
  fakemd::set_read_hook([&](const std::string& path, uint64_t position) {
    // The second read that leaves the reader at the end is the empty one.
    if (path != kWal || grown || position < files.wal.size() || ++at_end < 2) return;
    grown = true;
    std::ofstream(phone_folder.string() + kWal, std::ios::binary | std::ios::app)
        << std::string(4096 + 24, '\x7f');
  });
  EXPECT_EQ(get_library(), "ok\n");
  EXPECT_TRUE(grown);
  EXPECT_EQ(open_copy(out).tracks, 200);
  EXPECT_EQ(copies_of_main(), 1);
}

TEST_F(Library, ALibraryThatKeepsChangingFailsAfterEveryTryAndKeepsTheEarlierFile) {
  std::ofstream(out) << "earlier";
  const LibraryFiles first = make_library(dir / "a", 100, 10);
  const LibraryFiles second = make_library(dir / "b", 110, 10);
  put_library(phone, first);
  int writes = 0;
  fakemd::set_read_hook([&](const std::string& path, uint64_t) {
    if (path == kMain) put_library(phone, ++writes % 2 ? second : first);
  });
  const std::string reply = get_library();
  EXPECT_NE(reply.find("Error: The music library kept changing on the phone through"),
            std::string::npos)
      << reply;
  EXPECT_GE(copies_of_main(), 3);
  EXPECT_TRUE(read_file(out) == "earlier") << "the earlier file changed";
  expect_no_staging_left();
}

TEST_F(Library, ADamagedCopyIsAnErrorInSQLitesWordsAndKeepsTheEarlierFile) {
  std::ofstream(out) << "earlier";
  LibraryFiles files = make_library(dir / "phone", 400, 20);
  // Tear one table page in the middle of the main file.
  files.main.replace(files.main.size() / 2, 600, 600, '\xee');
  put_library(phone, files);
  const std::string reply = get_library();
  EXPECT_EQ(reply.rfind("Error: The copied music library is damaged: ", 0), 0u) << reply;
  EXPECT_TRUE(read_file(out) == "earlier") << "the earlier file changed";
  expect_no_staging_left();
}

TEST_F(Library, AFailedFileInformationRequestFailsWithItsCodeAndALostLinkIsMarked) {
  const LibraryFiles files = make_library(dir / "phone", 50, 5);
  for (const int32_t status : {kAFCPermDenied, kAFCUnknownError, kAFCMuxError}) {
    mdv_free(link);
    attach_link(true);
    put_library(phone, files);
    fakemd::fail(Call::FileInfoRead, status, 2);  // the -wal's, before the copy
    EXPECT_EQ(get_library(), "Error: Could not get information on file " + kWal + ". Code " +
                                 std::to_string(status) + "\n");
    EXPECT_EQ(link->lost.load() != 0, status == kAFCMuxError) << status;
    EXPECT_FALSE(fs::exists(out));
  }
}

TEST_F(Library, EachGenerationIsToldWhichCommandFetchesItsLibrary) {
  EXPECT_EQ(get_library(),
            "Error: No music library at " + kMain +
                " on this phone. A phone before iOS 5 keeps its library for getDB.\n");
  put_library(phone, make_library(dir / "phone", 10, 0));
  CommandPtr command(cmd_new(("getDB " + out).c_str()));
  testing::internal::CaptureStdout();
  (void)getDB(link, command.get());
  const std::string reply = testing::internal::GetCapturedStdout();
  EXPECT_NE(reply.find(" This phone keeps its music library in " + kMain +
                       ": fetch it with getLibrary.\n"),
            std::string::npos)
      << reply;
}

TEST_F(Library, OnlyOneDestinationIsTakenAndItIsReadiedBeforeThePhoneIsAsked) {
  EXPECT_EQ(run("getLibrary"), "Usage: getLibrary \"fully qualified destination file path\"\n");
  EXPECT_EQ(run("getLibrary a b"), "Usage: getLibrary \"fully qualified destination file path\"\n");
  put_library(phone, make_library(dir / "phone", 10, 2));
  const std::string missing = (dir / "missing" / "library.sqlitedb").string();
  EXPECT_EQ(run("getLibrary " + missing),
            "Error: Can't open destination file " + missing + ": No such file or directory\n");
  EXPECT_EQ(fakemd::call_count(Call::FileInfoRead), 0);
}

}  // namespace
