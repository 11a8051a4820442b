// File: tests/unit/stdin_from.h
//
// Points standard input at given bytes for the tests that read it.
#pragma once

#include <stdio_ext.h>
#include <unistd.h>

#include <cstdio>
#include <string>

// Standard input comes from a temporary file for the life of the object.
class StdinFrom {
 public:
  explicit StdinFrom(const std::string& bytes) : file_(std::tmpfile()) {
    std::fwrite(bytes.data(), 1, bytes.size(), file_);
    std::fflush(file_);
    lseek(fileno(file_), 0, SEEK_SET);
    saved_ = dup(0);
    dup2(fileno(file_), 0);
    __fpurge(stdin);
    clearerr(stdin);
  }
  ~StdinFrom() {
    __fpurge(stdin);
    dup2(saved_, 0);
    close(saved_);
    clearerr(stdin);
    std::fclose(file_);
  }
  StdinFrom(const StdinFrom&) = delete;
  StdinFrom& operator=(const StdinFrom&) = delete;

 private:
  FILE* file_;
  int saved_;
};
