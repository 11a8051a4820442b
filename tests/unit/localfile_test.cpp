// The local-destination module's own parts. The copies into local files
// (staging, rename or in place, links, syncs) are tested through get_file
// in retrieval_test.cpp; here, the unfinished-file guard, in child
// processes, since its handlers end the process.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "localfile/unfinished.h"

namespace {

namespace fs = std::filesystem;

// Runs `body` in a child process with the guard's handlers installed; the
// child's wait status.
template <typename Body>
int status_of_child(Body body) {
  const pid_t child = fork();
  if (child == 0) {
    remove_unfinished_on_signals();
    body();
    // ThreadSanitizer holds a signal until the next call it watches.
    (void)usleep(100000);
    _exit(99);  // the signal must have ended the child
  }
  int status = 0;
  return waitpid(child, &status, 0) == child ? status : -1;
}

bool ended_by(int status, int signal_number) {
  return WIFSIGNALED(status) && WTERMSIG(status) == signal_number;
}

TEST(Unfinished, HeldSignalRemovesTheStageWhenReleasedAndAClearedGuardRemovesNothing) {
  char pattern[] = "/tmp/afclink-unfinished-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const fs::path dir = pattern, folder = dir / "afclink-stage", stage = folder / "copy";
  // A library copy's scratch folder, with SQLite's side files in it.
  const fs::path scratch = dir / ".afclink-scratch";
  const auto make_stage = [&] {
    fs::create_directory(folder);
    std::ofstream(stage) << "half a copy";
    fs::create_directory(scratch);
    for (const char* name : {"MediaLibrary.sqlitedb", "MediaLibrary.sqlitedb-wal", "x-shm"})
      std::ofstream(scratch / name) << "staged";
  };

  // A stage in a private folder, held while it is written in place: the
  // signal waits (the child goes on, the stage still there), then removes
  // both and ends the child as SIGTERM would.
  make_stage();
  const fs::path went_on = dir / "went on";
  const int held = status_of_child([&] {
    set_unfinished(stage.c_str(), folder.c_str());
    set_scratch_folder(scratch.c_str());
    hold_signals();
    (void)std::raise(SIGTERM);
    if (fs::exists(stage)) std::ofstream{went_on};
    release_signals();
  });
  EXPECT_TRUE(fs::exists(went_on));
  EXPECT_TRUE(ended_by(held, SIGTERM)) << held;
  EXPECT_FALSE(fs::exists(stage));
  EXPECT_FALSE(fs::exists(folder));
  EXPECT_FALSE(fs::exists(scratch));

  // Once the guard is released (the stage took its name), the file there
  // is no longer the guard's: the signal ends the child and leaves it.
  make_stage();
  const int cleared = status_of_child([&] {
    set_unfinished(stage.c_str(), folder.c_str());
    set_scratch_folder(scratch.c_str());
    clear_unfinished();
    set_scratch_folder(nullptr);
    (void)std::raise(SIGTERM);
  });
  EXPECT_TRUE(ended_by(cleared, SIGTERM)) << cleared;
  EXPECT_TRUE(fs::exists(stage));
  EXPECT_TRUE(fs::exists(scratch / "MediaLibrary.sqlitedb-wal"));
  fs::remove_all(dir);
}

}  // namespace
