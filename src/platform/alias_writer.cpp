// Writing alias records: FSNewAlias (contract in CoreServices.h).
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

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

OSErr write_alias(const FSRef* fromFile, const FSRef& target, std::vector<std::uint8_t>* out) {
  struct stat st {};
  if (stat(target.path.c_str(), &st) != 0 || st.st_dev != target.device ||
      st.st_ino != target.inode)
    return fnfErr;
  const std::string& path = target.path;
  const std::string mount = mount_point_for(path, st.st_dev);
  const bool is_mount = path == mount;
  const std::string volume = mount == "/" ? std::string("Root") : last_component(mount);
  const std::string below = mount == "/" ? path.substr(1) : path.substr(mount.size());

  const std::string parent = parent_of(path);
  struct stat parent_st {};
  const bool has_parent = !is_mount && stat(parent.c_str(), &parent_st) == 0;
  const auto target_id = static_cast<std::uint32_t>(st.st_ino);
  const std::uint32_t parent_id = has_parent ? static_cast<std::uint32_t>(parent_st.st_ino) : 1;
  const std::string name = is_mount ? volume : last_component(path);
  const std::int64_t volume_time = creation_time(mount, true);
  const std::int64_t target_time = creation_time(path, false);
  const Levels levels =
      fromFile && fromFile->device == st.st_dev ? relative_levels(*fromFile, path) : Levels{};

  RecordWriter w;
  w.u32(0);  // userType
  w.u16(0);  // size, filled in last
  w.u16(2);
  w.u16(S_ISDIR(st.st_mode) ? 1 : 0);
  w.pascal(utf8_to_mac_roman(swap_separators(volume)), 28);
  w.u32(local_mac_seconds(volume_time));
  w.u16(0x482B);  // 'H+'
  w.u16(0);       // fixed disk
  w.u32(parent_id);
  w.pascal(fixed_target_name(swap_separators(name), target_id), 64);
  w.u32(target_id);
  w.u32(local_mac_seconds(target_time));
  w.u32(0);  // file type
  w.u32(0);  // file creator
  w.u16(static_cast<std::uint16_t>(levels.from));
  w.u16(static_cast<std::uint16_t>(levels.to));
  w.u32(mount == "/" ? 0x0920 : 0x0900);
  w.u16(0);  // filesystem ID
  w.zeros(10);

  bool fits = true;
  if (has_parent) {
    fits &= w.item(0, swap_separators(parent == mount ? volume : last_component(parent)));
  }
  fits &= w.item(16, be_bytes(utc_mac_packed(volume_time), 8));
  fits &= w.item(17, be_bytes(utc_mac_packed(target_time), 8));
  std::string ancestors;
  for (std::string folder = parent; has_parent && is_below(folder, mount);
       folder = parent_of(folder)) {
    struct stat fst {};
    if (stat(folder.c_str(), &fst) != 0) break;
    ancestors += be_bytes(static_cast<std::uint32_t>(fst.st_ino), 4);
  }
  if (!ancestors.empty()) fits &= w.item(1, ancestors);
  std::string hfs = swap_separators(volume);
  for (const std::string& part : components(below)) hfs += ":" + swap_separators(part);
  if (is_mount) hfs += ":";
  fits &= w.item(2, hfs);
  fits &= w.item(14, unicode_value(swap_separators(name)));
  fits &= w.item(15, unicode_value(volume));
  fits &= w.item(18, below);
  fits &= w.item(19, mount);
  const std::string home = canonical_home();
  struct stat home_st {};
  if (!home.empty() && home != mount && is_below(path, home) && stat(home.c_str(), &home_st) == 0 &&
      home_st.st_dev == st.st_dev) {
    const std::size_t prefix = (mount == "/" ? home.size() - 1 : home.size() - mount.size()) + 1;
    fits &= w.item(21, be_bytes(prefix, 2));
  }
  w.u16(0xFFFF);
  w.u16(0);
  std::vector<std::uint8_t>& bytes = w.bytes();
  if (!fits || bytes.size() > 0xFFFF) return paramErr;
  bytes[4] = static_cast<std::uint8_t>(bytes.size() >> 8);
  bytes[5] = static_cast<std::uint8_t>(bytes.size());
  *out = std::move(bytes);
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
