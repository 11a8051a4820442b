// The staging folder of a library copy (staging.h).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "library/Library.h"
#include "library/staging.h"
#include "localfile/UniqueFd.h"
#include "localfile/unfinished.h"

namespace {

// The folder a destination path names its file in ("." for a bare name).
std::string folder_of(const char* destination) {
  const char* slash = std::strrchr(destination, '/');
  if (!slash) return ".";
  if (slash == destination) return "/";
  return std::string(destination, static_cast<size_t>(slash - destination));
}

// A new private folder from a mkdtemp template; empty when it cannot be made.
std::string make_folder(std::string name) {
  if (!mkdtemp(name.data())) return {};
  return name;
}

std::string temporary_folder() {
  const char* tmpdir = std::getenv("TMPDIR");
  return tmpdir && *tmpdir ? tmpdir : "/tmp";
}

std::string base_name(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

}  // namespace

StagingFolder::StagingFolder(DeviceLink* link, const char* destination) noexcept {
  try {
    // Beside the destination, where its bytes are about to go anyway; not
    // beside a device or a pipe, whose folder is no place for files.
    struct stat existing {};
    const bool regular = ::stat(destination, &existing) != 0 || S_ISREG(existing.st_mode);
    std::string made = regular ? make_folder(folder_of(destination) + "/.afclink-XXXXXX") : "";
    if (made.empty()) made = make_folder(temporary_folder() + "/afclink-XXXXXX");
    if (made.empty()) {
      mdv_add_err(link, "Can't make a staging folder for %s: %s", destination,
                  std::strerror(errno));
      return;
    }
    library_ = made + "/" + base_name(kLibraryPath);
    wal_ = library_ + "-wal";
    folder_ = std::move(made);
  } catch (const std::bad_alloc&) {
    if (!folder_.empty()) (void)rmdir(folder_.c_str());
    folder_.clear();
    mdv_add_err(link, "Out of memory.");
    return;
  }
  set_scratch_folder(folder_.c_str());
}

void StagingFolder::remove() noexcept {
  if (folder_.empty()) return;
  empty();
  (void)rmdir(folder_.c_str());
  set_scratch_folder(nullptr);
  folder_.clear();
}

void StagingFolder::empty() noexcept {
  UniqueFd folder(::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  DIR* listing = folder ? fdopendir(folder.get()) : nullptr;
  if (!listing) return;
  (void)folder.release();  // the listing owns it now
  // Only afclink's own files are in it: the staged pair and SQLite's side
  // files beside them.
  while (const dirent* entry = readdir(listing)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    (void)unlinkat(dirfd(listing), entry->d_name, 0);
  }
  closedir(listing);
}
