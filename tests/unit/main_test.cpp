// The program's start and end, run in a child process because it ends by
// leaving the process: its exit status and what it wrote.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fcntl.h>

#include <algorithm>
#include <functional>
#include <string>

#include "main/loop.h"
#include "membuf/alloc.h"

namespace {

struct Outcome {
  int exit_status = -1;
  std::string out;
};

// Runs `body` in a child with standard input from `input` and standard
// output into a pipe.
Outcome run_child(const std::string& input, const std::function<void()>& body) {
  int out_pipe[2];
  if (pipe(out_pipe) != 0) return {};
  char in_path[] = "/tmp/afclink-main-test-XXXXXX";
  const int in_fd = mkstemp(in_path);
  if (in_fd < 0 || write(in_fd, input.data(), input.size()) != static_cast<ssize_t>(input.size()))
    return {};
  const pid_t child = fork();
  if (child == 0) {
    lseek(in_fd, 0, SEEK_SET);
    dup2(in_fd, STDIN_FILENO);
    dup2(out_pipe[1], STDOUT_FILENO);
    close(out_pipe[0]);
    std::clearerr(stdin);
    body();
    _exit(99);  // the program must have ended itself
  }
  close(out_pipe[1]);
  close(in_fd);
  unlink(in_path);
  Outcome outcome;
  char piece[4096];
  ssize_t n = 0;
  while ((n = read(out_pipe[0], piece, sizeof piece)) > 0) outcome.out.append(piece, n);
  close(out_pipe[0]);
  int status = 0;
  waitpid(child, &status, 0);
  outcome.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}

char program[] = "afclink";
char xmlpath[] = "XMLPath";

}  // namespace

TEST(Program, ADeviceLinkThatCannotBeMadeExitsOneWritingNothing) {
  const Outcome outcome = run_child("status\n", [] {
    membuf_internal::mb_fail_allocations_after(0);
    char* argv[] = {program, nullptr};
    run_afclink(1, argv);
  });
  EXPECT_EQ(outcome.exit_status, 1);
  EXPECT_EQ(outcome.out, "");
}

TEST(Program, EndOfInputExitsZeroAfterAnsweringEveryLine) {
  const Outcome outcome = run_child("status\n\n   \npid x\nstatus", [] {
    char* argv[] = {program, nullptr};
    run_afclink(1, argv);
  });
  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_EQ(outcome.out.substr(0, 13), "disconnected\n");
  EXPECT_EQ(outcome.out.substr(outcome.out.size() - 13), "disconnected\n");
  EXPECT_EQ(std::count(outcome.out.begin(), outcome.out.end(), '\n'), 3);
}

TEST(Program, QuitExitsZeroAndReadsNoFurther) {
  const Outcome outcome = run_child("quit\nstatus\n", [] {
    char* argv[] = {program, nullptr};
    run_afclink(1, argv);
  });
  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_EQ(outcome.out, "ok\n");
}

TEST(Program, TheXmlPathArgumentAnswersOneLineWithoutReadingInput) {
  const Outcome outcome = run_child("status\n", [] {
    setenv("HOME", "/nonexistent/afclink-home", 1);
    char* argv[] = {program, xmlpath, nullptr};
    run_afclink(2, argv);
  });
  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_EQ(outcome.out, "Error: Could not get iTunes Library path\n");
}
