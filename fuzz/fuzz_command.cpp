// Fuzzes the command loop: each input line is parsed by cmd_new and run by
// do_command, on a link that is connected to the in-process fake device or
// not. The first byte sets the scene: connected or not, how the device
// reads, which of its calls fails, whether its compressed database is
// missing or damaged. The device holds both databases and a small file,
// so getDB and getFile run their copies; their destinations are kept to
// /dev/null or a plain name inside a scratch folder (anything else is
// skipped). "quit" (ends the process) and "connect" (starts the device
// thread) are skipped too. The harness works inside that scratch folder,
// so give libFuzzer absolute paths (-artifact_prefix, corpus folders).
//
// What must hold: every command is answered by exactly one line on
// standard output, after XMLDebug's "# " trace lines and nothing else,
// whatever bytes the line holds and whatever the device does.
#include <dirent.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "FakeMobileDevice.h"
#include "captured_stdout.h"
#include "command/Command.h"
#include "fuzz_input.h"
#include "main/dispatch.h"

namespace {

[[noreturn]] void fail(const char* what, std::string_view line, std::string_view output) {
  std::fprintf(stderr, "fuzz_command: %s\n  line: %.*s\n  output: %.*s\n", what,
               static_cast<int>(line.size()), line.data(), static_cast<int>(output.size()),
               output.data());
  std::abort();
}

constexpr int32_t kStatuses[] = {30, 4, 8, 7, 10, 1, 31, 11};
constexpr fakemd::Call kFailing[] = {fakemd::Call::FileRefOpen, fakemd::Call::FileRefRead,
                                     fakemd::Call::FileRefClose, fakemd::Call::FileRefOpen};

std::string scratch;  // the folder local copies go to

std::string database(size_t header) {
  std::string db = "mhbd";
  db.push_back(static_cast<char>(header));
  db.push_back(static_cast<char>(header >> 8));
  db.append(2, '\0');
  db.resize(header, '\x01');
  return db;
}

std::string compressed_database() {
  std::string body;
  for (int i = 0; i < 300; ++i) body += "mhit track " + std::to_string(i) + ";";
  uLongf size = compressBound(body.size());
  std::string z(size, '\0');
  if (compress(reinterpret_cast<Bytef*>(z.data()), &size,
               reinterpret_cast<const Bytef*>(body.data()), body.size()) != Z_OK)
    std::abort();
  z.resize(size);
  return database(188) + z;
}

void setup_once() {
  char folder[] = "/tmp/fuzz_command-XXXXXX";
  if (!mkdtemp(folder) || chdir(folder) != 0) std::abort();
  scratch = folder;
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
  });
  // HOME there too: XMLPath finds nothing, the same on every machine.
  setenv("HOME", folder, 1);
  capture_stdout("fuzz_command-stdout");
}

void clear_scratch() {
  DIR* dir = opendir(scratch.c_str());
  if (!dir) return;
  while (const dirent* entry = readdir(dir))
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
      (void)unlinkat(dirfd(dir), entry->d_name, 0);
  closedir(dir);
}

// Local destinations stay in the scratch folder.
bool safe_destination(const char* path) {
  return std::strcmp(path, "/dev/null") == 0 || std::strchr(path, '/') == nullptr;
}

bool runnable(const Command* command) {
  const std::string_view word = cmd_word(command, 0);
  if (word == "quit" || word == "connect") return false;
  const int32_t count = cmd_count(command);
  if (word == "getFile" && count == 3) return safe_destination(cmd_word(command, 2));
  if ((word == "getDB" || word == "getLibrary") && count == 2)
    return safe_destination(cmd_word(command, 1));
  return true;
}

void check_reply(std::string_view line, const std::string& output) {
  if (output.empty() || output.back() != '\n') fail("no whole reply line", line, output);
  size_t replies = 0;
  size_t start = 0;
  while (start < output.size()) {
    const size_t end = output.find('\n', start);
    const std::string_view one(output.data() + start, end - start);
    if (one.substr(0, 2) != "# ") {
      ++replies;
    } else if (replies > 0) {
      fail("a trace line after the reply", line, output);
    }
    start = end + 1;
  }
  if (replies != 1) fail("not exactly one reply line", line, output);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = (setup_once(), true);
  static const std::string cdb = compressed_database();
  (void)ready;
  FuzzInput in(data, size);
  const uint8_t scene = in.u8();
  const uint8_t failure = in.u8();
  const std::string_view text = in.rest();

  fakemd::reset();
  DeviceLink* link = mdv_new(nullptr, nullptr, nullptr);
  if (scene & 1) {
    AMDeviceRef phone = fakemd::add_device();
    fakemd::attach(phone);
    fakemd::set_max_read(phone, (scene >> 4) * 97u);
    std::string compressed = cdb;
    if (scene & 4) compressed[compressed.size() / 2] ^= 0x55;
    if (!(scene & 2)) fakemd::put_file(phone, "/iTunes_Control/iTunes/iTunesCDB", compressed);
    fakemd::put_file(phone, "/iTunes_Control/iTunes/iTunesDB", database(244) + "plain");
    fakemd::put_file(phone, "/a", std::string(10000, 'a'));
    if (failure) fakemd::fail(kFailing[failure & 3], kStatuses[failure >> 5], (failure >> 2) & 7);
    mdv_set_dev(link, phone);
    (void)mdv_connect(link);
  }

  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string line(text.substr(start, end - start));
    start = end + 1;
    CommandPtr command(cmd_new(line.c_str()));
    if (!command || !runnable(command.get())) continue;
    (void)do_command(link, command.get());
    check_reply(line, take_output());
  }

  if (link->afc_conn) (void)AFCConnectionClose(link->afc_conn);
  mdv_set_dev(link, nullptr);
  mdv_free(link);
  fakemd::reset();
  clear_scratch();
  return 0;
}
