// Helpers shared by the locator, alias-record and FileAlias tests: a
// temporary folder, a temporary HOME, files in and out, property lists.
#pragma once

#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/Foundation.h"
#include "platform/plist_memory.h"

namespace locator_test {

namespace fs = std::filesystem;

// A fresh folder under /tmp, removed with everything in it at the end.
// Its path is canonical, so it compares equal to resolved paths.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "afclink-locator-XXXXXX").string();
    const char* made = mkdtemp(pattern.data());
    EXPECT_NE(made, nullptr);
    path_ = fs::canonical(pattern).string();
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// HOME set to `home` for the object's lifetime, then put back as it was.
class ScopedHome {
 public:
  explicit ScopedHome(const std::string& home) {
    if (const char* old = std::getenv("HOME")) saved_ = old, had_ = true;
    setenv("HOME", home.c_str(), 1);
  }
  ~ScopedHome() {
    if (had_) {
      setenv("HOME", saved_.c_str(), 1);
    } else {
      unsetenv("HOME");
    }
  }
  ScopedHome(const ScopedHome&) = delete;
  ScopedHome& operator=(const ScopedHome&) = delete;

 private:
  std::string saved_;
  bool had_ = false;
};

inline NSData read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return NSData(std::istreambuf_iterator<char>(in), {});
}

inline void write_bytes(const std::string& path, const NSData& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

inline void touch(const std::string& path) { write_bytes(path, NSData{'x'}); }

// The path of a file in the shared sample folder.
inline std::string shared(const std::string& name) {
  return std::string(AFCLINK_SHARED_DATA) + "/prefs/" + name;
}
inline bool have_shared(const std::string& name) { return fs::exists(shared(name)); }

#define SKIP_WITHOUT_SHARED(name) \
  if (!::locator_test::have_shared(name)) GTEST_SKIP() << "sample data absent: " << (name)

// Writes `root` (consumed) as a property list, binary unless `xml`.
inline void write_plist(const std::string& path, plist_t root, bool xml = false) {
  char* bytes = nullptr;
  uint32_t size = 0;
  if (xml) {
    plist_to_xml(root, &bytes, &size);
  } else {
    plist_to_bin(root, &bytes, &size);
  }
  write_bytes(path, NSData(bytes, bytes + size));
  plist_free_written(bytes);
  plist_free(root);
}

inline plist_t plist_data(const NSData& bytes) {
  return plist_new_data(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

inline plist_t plist_strings(std::initializer_list<const char*> items) {
  plist_t array = plist_new_array();
  for (const char* item : items) plist_array_append_item(array, plist_new_string(item));
  return array;
}

}  // namespace locator_test
