// Writing alias records: FSNewAlias (contract in CoreServices.h).
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>

#include "platform/Foundation.h"
#include "platform/alias_record.h"
#include "platform/owners.h"
#include "platform/text_encodings.h"

using namespace alias_internal;
using namespace text_internal;

namespace {

// Birth time when the file system keeps one, else modification time.
std::int64_t creation_time(const std::string& path, bool birth_only) {
  struct statx sx {};
  if (statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME | STATX_MTIME, &sx) == 0) {
    if (sx.stx_mask & STATX_BTIME) return sx.stx_btime.tv_sec;
    if (!birth_only && (sx.stx_mask & STATX_MTIME)) return sx.stx_mtime.tv_sec;
  }
  return 0;
}

std::uint32_t local_mac_seconds(std::int64_t unix_utc) {
  if (unix_utc == 0) return 0;
  const auto t = static_cast<std::time_t>(unix_utc);
  std::tm tm{};
  long offset = 0;
  if (localtime_r(&t, &tm)) offset = tm.tm_gmtoff;
  const std::int64_t mac = unix_utc + offset + kMacEpochOffset;
  return mac < 0 || mac > UINT32_MAX ? 0 : static_cast<std::uint32_t>(mac);
}

std::uint64_t utc_mac_packed(std::int64_t unix_utc) {
  if (unix_utc == 0) return 0;
  const std::int64_t mac = unix_utc + kMacEpochOffset;
  return mac < 0 ? 0 : static_cast<std::uint64_t>(mac) << 16;
}

class RecordWriter {
 public:
  void u8(std::uint8_t v) { bytes_.push_back(v); }
  void u16(std::uint16_t v) {
    u8(static_cast<std::uint8_t>(v >> 8)), u8(static_cast<std::uint8_t>(v));
  }
  void u32(std::uint32_t v) {
    u16(static_cast<std::uint16_t>(v >> 16)), u16(static_cast<std::uint16_t>(v));
  }
  void u64(std::uint64_t v) {
    u32(static_cast<std::uint32_t>(v >> 32)), u32(static_cast<std::uint32_t>(v));
  }
  void zeros(std::size_t n) { bytes_.insert(bytes_.end(), n, 0); }
  void raw(std::string_view s) { bytes_.insert(bytes_.end(), s.begin(), s.end()); }
  void pascal(std::string_view s, std::size_t field) {  // field counts the length byte
    const std::size_t n = std::min(s.size(), field - 1);
    u8(static_cast<std::uint8_t>(n));
    raw(s.substr(0, n));
    zeros(field - 1 - n);
  }
  // False when the value cannot be stored in a 16-bit length.
  bool item(std::int16_t tag, std::string_view value) {
    if (value.size() > 0xFFFF) return false;
    u16(static_cast<std::uint16_t>(tag));
    u16(static_cast<std::uint16_t>(value.size()));
    raw(value);
    if (value.size() & 1) u8(0);
    return true;
  }
  std::vector<std::uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

std::string be_bytes(std::uint64_t v, int n) {
  std::string out;
  for (int i = n - 1; i >= 0; --i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
  return out;
}

std::string unicode_value(const std::string& utf8) {
  const std::u16string units = utf8_to_utf16(utf8);
  std::string out = be_bytes(units.size(), 2);
  for (char16_t u : units) out += be_bytes(u, 2);
  return out;
}

// The HFS limit of 31 bytes: longer names keep a prefix, then '#', the
// entry's ID in hex and the extension, as the Finder shows them.
std::string fixed_target_name(const std::string& hfs_name, std::uint32_t id) {
  std::string roman = utf8_to_mac_roman(hfs_name);
  if (roman.size() <= 31) return roman;
  char hex[16];
  std::snprintf(hex, sizeof hex, "#%X", id);
  std::string suffix = hex;
  const std::size_t dot = roman.rfind('.');
  if (dot != std::string::npos && dot > 0 && roman.size() - dot + suffix.size() < 31)
    suffix += roman.substr(dot);
  return roman.substr(0, 31 - suffix.size()) + suffix;
}

std::string canonical_home() {
  const std::string home = stringByExpandingTildeInPath("~");
  const MallocPtr<char> resolved(realpath(home.c_str(), nullptr));
  if (!resolved) return {};
  return resolved.get();
}

bool is_below(const std::string& path, const std::string& folder) {
  if (folder == "/") return path.size() > 1;
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
         path[folder.size()] == '/';
}

struct Levels {
  std::int16_t from = -1;
  std::int16_t to = -1;
};

// Levels from the base's folder up to the common ancestor and from there
// down to the target, each plus one (the counting of the one Mac sample).
Levels relative_levels(const FSRef& base, const std::string& target) {
  struct stat st {};
  if (stat(base.path.c_str(), &st) != 0 || st.st_dev != base.device) return {};
  const std::string folder = S_ISDIR(st.st_mode) ? base.path : parent_of(base.path);
  const std::vector<std::string> up = components(folder);
  const std::vector<std::string> down = components(target);
  std::size_t common = 0;
  while (common < up.size() && common < down.size() && up[common] == down[common]) ++common;
  if (up.size() - common + 1 > 0x7FFF || down.size() - common + 1 > 0x7FFF) return {};
  return Levels{static_cast<std::int16_t>(up.size() - common + 1),
                static_cast<std::int16_t>(down.size() - common + 1)};
}

// What the record says about the target and its volume, read from the disk
// once before a byte is written.
struct AliasFacts {
  struct stat st {};
  std::string path;
  std::string mount;
  bool is_mount = false;
  std::string volume;  // the volume's label
  std::string below;   // the path below the mount point, as tag 18 holds it
  std::string parent;
  bool has_parent = false;
  std::uint32_t target_id = 0;
  std::uint32_t parent_id = 1;
  std::string name;
  std::int64_t volume_time = 0;
  std::int64_t target_time = 0;
  Levels levels;
};

// nullopt when the target is gone or is no longer the entry `target` named.
std::optional<AliasFacts> gather_facts(const FSRef* fromFile, const FSRef& target) {
  AliasFacts f;
  if (stat(target.path.c_str(), &f.st) != 0 || f.st.st_dev != target.device ||
      f.st.st_ino != target.inode)
    return std::nullopt;
  f.path = target.path;
  f.mount = mount_point_for(f.path, f.st.st_dev);
  f.is_mount = f.path == f.mount;
  f.volume = f.mount == "/" ? std::string("Root") : last_component(f.mount);
  f.below = f.mount == "/" ? f.path.substr(1) : f.path.substr(f.mount.size());

  f.parent = parent_of(f.path);
  struct stat parent_st {};
  f.has_parent = !f.is_mount && stat(f.parent.c_str(), &parent_st) == 0;
  f.target_id = static_cast<std::uint32_t>(f.st.st_ino);
  if (f.has_parent) f.parent_id = static_cast<std::uint32_t>(parent_st.st_ino);
  f.name = f.is_mount ? f.volume : last_component(f.path);
  f.volume_time = creation_time(f.mount, true);
  f.target_time = creation_time(f.path, false);
  if (fromFile && fromFile->device == f.st.st_dev) f.levels = relative_levels(*fromFile, f.path);
  return f;
}

void write_fixed_part(RecordWriter& w, const AliasFacts& f) {
  w.u32(0);  // userType
  w.u16(0);  // size, filled in last
  w.u16(2);
  w.u16(S_ISDIR(f.st.st_mode) ? 1 : 0);
  w.pascal(utf8_to_mac_roman(swap_separators(f.volume)), 28);
  w.u32(local_mac_seconds(f.volume_time));
  w.u16(0x482B);  // 'H+'
  w.u16(0);       // fixed disk
  w.u32(f.parent_id);
  w.pascal(fixed_target_name(swap_separators(f.name), f.target_id), 64);
  w.u32(f.target_id);
  w.u32(local_mac_seconds(f.target_time));
  w.u32(0);  // file type
  w.u32(0);  // file creator
  w.u16(static_cast<std::uint16_t>(f.levels.from));
  w.u16(static_cast<std::uint16_t>(f.levels.to));
  w.u32(f.mount == "/" ? 0x0920 : 0x0900);
  w.u16(0);  // filesystem ID
  w.zeros(10);
}

// Tag 1: the IDs of the folders from the parent up to the one just below
// the mount point, or empty when there is no parent.
std::string ancestor_ids(const AliasFacts& f) {
  std::string ids;
  for (std::string folder = f.parent; f.has_parent && is_below(folder, f.mount);
       folder = parent_of(folder)) {
    struct stat fst {};
    if (stat(folder.c_str(), &fst) != 0) break;
    ids += be_bytes(static_cast<std::uint32_t>(fst.st_ino), 4);
  }
  return ids;
}

// Tag 2: "Volume:folder:...:name".
std::string hfs_path(const AliasFacts& f) {
  std::string hfs = swap_separators(f.volume);
  for (const std::string& part : components(f.below)) hfs += ":" + swap_separators(part);
  if (f.is_mount) hfs += ":";
  return hfs;
}

// Tag 21: the bytes of tag 18 that name the home folder, its slash
// included; nullopt when the target is not inside the home folder on the
// home folder's volume.
std::optional<std::size_t> home_prefix_length(const AliasFacts& f) {
  const std::string home = canonical_home();
  struct stat home_st {};
  if (home.empty() || home == f.mount || !is_below(f.path, home) ||
      stat(home.c_str(), &home_st) != 0 || home_st.st_dev != f.st.st_dev)
    return std::nullopt;
  return (f.mount == "/" ? home.size() - 1 : home.size() - f.mount.size()) + 1;
}

// In the order the Mac writes them; false when a value is too long for
// its item.
bool write_tagged_items(RecordWriter& w, const AliasFacts& f) {
  bool fits = true;
  if (f.has_parent) {
    fits &= w.item(0, swap_separators(f.parent == f.mount ? f.volume : last_component(f.parent)));
  }
  fits &= w.item(16, be_bytes(utc_mac_packed(f.volume_time), 8));
  fits &= w.item(17, be_bytes(utc_mac_packed(f.target_time), 8));
  if (const std::string ancestors = ancestor_ids(f); !ancestors.empty())
    fits &= w.item(1, ancestors);
  fits &= w.item(2, hfs_path(f));
  fits &= w.item(14, unicode_value(swap_separators(f.name)));
  fits &= w.item(15, unicode_value(f.volume));
  fits &= w.item(18, f.below);
  fits &= w.item(19, f.mount);
  if (const std::optional<std::size_t> prefix = home_prefix_length(f))
    fits &= w.item(21, be_bytes(*prefix, 2));
  return fits;
}

// The end marker, then the record's size at 0x04; false when the record is
// too long for that size.
bool finish_record(RecordWriter& w) {
  w.u16(0xFFFF);
  w.u16(0);
  std::vector<std::uint8_t>& bytes = w.bytes();
  if (bytes.size() > 0xFFFF) return false;
  bytes[4] = static_cast<std::uint8_t>(bytes.size() >> 8);
  bytes[5] = static_cast<std::uint8_t>(bytes.size());
  return true;
}

OSErr write_alias(const FSRef* fromFile, const FSRef& target, std::vector<std::uint8_t>* out) {
  const std::optional<AliasFacts> facts = gather_facts(fromFile, target);
  if (!facts) return fnfErr;
  RecordWriter w;
  write_fixed_part(w, *facts);
  const bool fits = write_tagged_items(w, *facts);
  if (!finish_record(w) || !fits) return paramErr;
  *out = std::move(w.bytes());
  return noErr;
}

}  // namespace

OSErr FSNewAlias(const FSRef* fromFile, const FSRef* target, AliasHandle* inAlias) noexcept {
  if (!inAlias) return paramErr;
  *inAlias = nullptr;
  if (!target) return paramErr;
  try {
    std::vector<std::uint8_t> record;
    if (const OSErr status = write_alias(fromFile, *target, &record); status != noErr)
      return status;
    Handle h = nullptr;
    if (const OSErr status = PtrToHand(record.data(), &h, static_cast<Size>(record.size()));
        status != noErr)
      return status;
    *inAlias = reinterpret_cast<AliasHandle>(h);
    return noErr;
  } catch (...) {
    return memFullErr;
  }
}
