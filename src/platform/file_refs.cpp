// File references: FSRef made from a path and turned back into one
// (contract in CoreServices.h).
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "platform/CoreServices.h"
#include "platform/owners.h"

OSStatus FSPathMakeRef(const char* path, FSRef* ref, Boolean* isDirectory) noexcept {
  if (isDirectory) *isDirectory = 0;
  if (!path || !ref) return paramErr;
  *ref = FSRef{};
  try {
    const MallocPtr<char> canonical(realpath(path, nullptr));
    if (!canonical) return fnfErr;
    std::string resolved(canonical.get());
    struct stat st {};
    if (stat(resolved.c_str(), &st) != 0) return fnfErr;
    ref->device = st.st_dev;
    ref->inode = st.st_ino;
    ref->path = std::move(resolved);
    if (isDirectory) *isDirectory = S_ISDIR(st.st_mode) ? 1 : 0;
    return noErr;
  } catch (...) {
    return memFullErr;
  }
}

OSStatus FSRefMakePath(const FSRef* ref, std::string* path) noexcept {
  if (!ref || !path) return paramErr;
  try {
    path->clear();
    struct stat st {};
    if (ref->path.empty() || stat(ref->path.c_str(), &st) != 0) return fnfErr;
    if (st.st_dev != ref->device || st.st_ino != ref->inode) return fnfErr;
    *path = ref->path;
    return noErr;
  } catch (...) {
    return memFullErr;
  }
}
