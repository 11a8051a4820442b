// Fuzzes the library locator (getxml) through its preference files, read
// with libplist as binary or XML property lists. Each input becomes a
// scratch home folder: the first byte says which preference files exist
// (or stand as folders) and whether ~/Music/iTunes/ holds a library file;
// then a two-byte length and the bytes of com.apple.iApps.plist; the rest
// is com.apple.iTunes.plist. Alias records in the seeds point at a fixed
// folder, /tmp/afclink-fuzz-locator/library, which holds a library file.
//
// What must hold:
//   - the trace changes nothing: getxml(1) answers what getxml(0) does,
//     and writes only "# " lines;
//   - without com.apple.iApps.plist (whose path is taken as it stands),
//     an answer is an entry that exists, named "iTunes Music Library.xml"
//     or "iTunes Library.xml", and holds no NUL byte (it could not be
//     printed or opened as it is).
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "captured_stdout.h"
#include "fuzz_input.h"
#include "getxml/getxml.h"

namespace {

[[noreturn]] void fail(const char* what, const std::optional<std::string>& answer) {
  std::fprintf(stderr, "fuzz_locator: %s\n  answer: %s\n", what,
               answer ? answer->c_str() : "(none)");
  std::abort();
}

constexpr const char* kAliasTargets = "/tmp/afclink-fuzz-locator";

std::string home;

void write_file(const std::string& path, std::string_view bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0)
    std::abort();
}

void make_folder(const std::string& path) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) std::abort();
}

// A preference file: absent, a folder, or these bytes.
void place(const std::string& path, bool present, bool as_folder, std::string_view bytes) {
  (void)unlink(path.c_str());
  (void)rmdir(path.c_str());
  if (!present) return;
  if (as_folder) {
    make_folder(path);
  } else {
    write_file(path, bytes);
  }
}

void setup_once() {
  char folder[] = "/tmp/fuzz_locator-XXXXXX";
  if (!mkdtemp(folder)) std::abort();
  home = folder;
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
  });
  setenv("HOME", folder, 1);
  make_folder(home + "/Library");
  make_folder(home + "/Library/Preferences");
  make_folder(home + "/Music");
  make_folder(home + "/Music/iTunes");
  // Shared between runs and never changed once made.
  make_folder(kAliasTargets);
  make_folder(std::string(kAliasTargets) + "/library");
  make_folder(std::string(kAliasTargets) + "/empty");
  write_file(std::string(kAliasTargets) + "/library/iTunes Music Library.xml", "<plist/>");
  // The trace goes to a file in memory, to be checked.
  capture_stdout("fuzz_locator-stdout");
}

bool ends_with(const std::string& s, std::string_view tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = (setup_once(), true);
  (void)ready;
  FuzzInput in(data, size);
  const uint8_t scene = in.u8();
  const std::string_view iapps = in.bytes(in.u16());
  const std::string_view itunes = in.rest();

  const std::string prefs = home + "/Library/Preferences/";
  const bool has_iapps = scene & 1;
  place(prefs + "com.apple.iApps.plist", has_iapps, scene & 4, iapps);
  place(prefs + "com.apple.iTunes.plist", scene & 2, scene & 8, itunes);
  place(home + "/Music/iTunes/iTunes Library.xml", scene & 16, false, "<plist/>");

  const std::optional<std::string> quiet = getxml(0);
  if (!take_output().empty()) fail("output without the trace asked for", quiet);
  const std::optional<std::string> traced = getxml(1);
  if (traced != quiet) fail("the trace changes the answer", traced);
  const std::string trace = take_output();
  for (size_t at = 0; at < trace.size();) {
    const size_t end = trace.find('\n', at);
    if (end == std::string::npos || trace.compare(at, 2, "# ") != 0)
      fail("a trace line that is not '# ...'", quiet);
    at = end + 1;
  }

  if (!has_iapps && quiet) {
    struct stat st {};
    if (quiet->find('\0') != std::string::npos) fail("an answer holding a NUL byte", quiet);
    if (!ends_with(*quiet, "/iTunes Music Library.xml") &&
        !ends_with(*quiet, "/iTunes Library.xml"))
      fail("an answer that is not a library file name", quiet);
    if (stat(quiet->c_str(), &st) != 0) fail("an answer that does not exist", quiet);
  }
  return 0;
}
