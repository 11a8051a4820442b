// Resolving alias records: FSResolveAlias (contract in CoreServices.h).
#include <dirent.h>
#include <sys/stat.h>

#include "platform/Foundation.h"
#include "platform/alias_record.h"

using namespace alias_internal;

namespace {

std::optional<std::string> relative_candidate(const FSRef& base, const ParsedAlias& a,
                                              const std::string& stored) {
  struct stat st {};
  if (stat(base.path.c_str(), &st) != 0) return std::nullopt;
  std::string folder = S_ISDIR(st.st_mode) ? base.path : parent_of(base.path);
  for (int up = 1; up < a.nlvl_from; ++up) {
    if (folder == "/") return std::nullopt;
    folder = parent_of(folder);
  }
  const std::vector<std::string> parts = components(stored);
  const auto down = static_cast<std::size_t>(a.nlvl_to - 1);
  if (down > parts.size()) return std::nullopt;
  std::string candidate = folder;
  for (std::size_t i = parts.size() - down; i < parts.size(); ++i)
    candidate = stringByAppendingPathComponent(candidate, parts[i]);
  return candidate;
}

// True when the record was made for the volume that holds `path`, as the
// writer names volumes here: its ids are then this file system's inode
// numbers. A record from a Mac carries catalog ids that mean nothing here.
bool ids_are_inodes_at(const ParsedAlias& a, const std::string& path) {
  if (a.target_id == 0 || a.target_id == 0xFFFFFFFF || !a.mount_point) return false;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return false;
  const std::string mount = mount_point_for(path, st.st_dev);
  const std::string volume = mount == "/" ? std::string("Root") : last_component(mount);
  return *a.mount_point == mount && a.volume_name == swap_separators(volume);
}

// True when `ref` is the record's target. A record made here keeps the
// target's file id (the low 32 bits of its inode), so a different file that
// has since taken the old path is not mistaken for it; other records can
// only go by the path.
bool same_target(const FSRef& ref, const ParsedAlias& a) {
  return !ids_are_inodes_at(a, ref.path) || static_cast<std::uint32_t>(ref.inode) == a.target_id;
}

// The target renamed inside its folder: the entry of the stored path's
// folder that carries the target's id.
std::optional<std::string> renamed_in_folder(const std::string& stored, const ParsedAlias& a) {
  const std::string folder = parent_of(stored);
  if (!ids_are_inodes_at(a, folder)) return std::nullopt;
  DIR* dir = opendir(folder.c_str());
  if (!dir) return std::nullopt;
  std::optional<std::string> found;
  while (const dirent* entry = readdir(dir)) {
    const std::string_view name(entry->d_name);
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (fstatat(dirfd(dir), entry->d_name, &st, 0) == 0 &&
        static_cast<std::uint32_t>(st.st_ino) == a.target_id) {
      found = stringByAppendingPathComponent(folder, std::string(name));
      break;
    }
  }
  closedir(dir);
  return found;
}

}  // namespace

OSErr FSResolveAlias(const FSRef* fromFile, AliasHandle alias, FSRef* target,
                     Boolean* wasChanged) noexcept {
  if (wasChanged) *wasChanged = 0;
  if (!target) return paramErr;
  *target = FSRef{};
  try {
    ParsedAlias a;
    if (const OSStatus status = parse_handle(alias, &a); status != noErr)
      return static_cast<OSErr>(status);
    const std::optional<std::string> stored = stored_path(a);
    const auto is_target = [&](const std::optional<std::string>& path) {
      return path && FSPathMakeRef(path->c_str(), target, nullptr) == noErr &&
             same_target(*target, a);
    };
    if (fromFile && stored && a.nlvl_from >= 1 && a.nlvl_to >= 1 &&
        is_target(relative_candidate(*fromFile, a, *stored)))
      return noErr;
    if (is_target(stored)) return noErr;
    if (stored && is_target(renamed_in_folder(*stored, a))) return noErr;
    *target = FSRef{};
    return fnfErr;
  } catch (...) {
    return memFullErr;
  }
}
