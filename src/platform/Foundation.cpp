#include "platform/Foundation.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/plist_memory.h"
#include "platform/whole_file.h"

const char* const NSOSStatusErrorDomain = "NSOSStatusErrorDomain";

namespace {

// Preference files are small; anything this large is not one, and libplist
// takes a 32-bit length.
constexpr long kMaxPlistBytes = 64L * 1024 * 1024;

std::string home_of_current_user() {
  const char* home = std::getenv("HOME");
  if (home && *home) return home;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return {};
}

std::string home_of_user(const std::string& name) {
  if (const passwd* pw = getpwnam(name.c_str()); pw && pw->pw_dir) return pw->pw_dir;
  return {};
}

}  // namespace

std::string stringByExpandingTildeInPath(std::string_view path) {
  if (path.empty() || path.front() != '~') return std::string(path);
  const std::size_t slash = path.find('/');
  const std::string_view user =
      path.substr(1, slash == std::string_view::npos ? path.npos : slash - 1);
  std::string home = user.empty() ? home_of_current_user() : home_of_user(std::string(user));
  if (home.empty()) return std::string(path);
  if (slash == std::string_view::npos) return home;
  return stringByAppendingPathComponent(home, path.substr(slash + 1));
}

std::string stringByAppendingPathComponent(std::string_view base, std::string_view component) {
  while (!component.empty() && component.front() == '/') component.remove_prefix(1);
  if (base.empty()) return std::string(component);
  while (base.size() > 1 && base.back() == '/') base.remove_suffix(1);
  std::string joined(base);
  if (joined.back() != '/') joined += '/';
  joined += component;
  return joined;
}

// ---- PlistValue -----------------------------------------------------------

bool PlistValue::isArray() const noexcept {
  return node_ && plist_get_node_type(node_) == PLIST_ARRAY;
}
bool PlistValue::isString() const noexcept {
  return node_ && plist_get_node_type(node_) == PLIST_STRING;
}
bool PlistValue::isData() const noexcept {
  return node_ && plist_get_node_type(node_) == PLIST_DATA;
}

std::uint32_t PlistValue::count() const noexcept {
  return isArray() ? plist_array_get_size(node_) : 0;
}

PlistValue PlistValue::objectAtIndex(std::uint32_t index) const noexcept {
  if (index >= count()) return PlistValue();
  return PlistValue(plist_array_get_item(node_, index));
}

std::optional<std::string> PlistValue::stringValue() const {
  if (!isString()) return std::nullopt;
  std::uint64_t size = 0;
  const char* text = plist_get_string_ptr(node_, &size);
  return text ? std::string(text, size) : std::string();
}

const std::uint8_t* PlistValue::dataBytes() const noexcept {
  if (!isData()) return nullptr;
  std::uint64_t size = 0;
  return reinterpret_cast<const std::uint8_t*>(plist_get_data_ptr(node_, &size));
}

std::uint64_t PlistValue::length() const noexcept {
  std::uint64_t size = 0;
  if (isString()) {
    (void)plist_get_string_ptr(node_, &size);
  } else if (isData()) {
    (void)plist_get_data_ptr(node_, &size);
  }
  return size;
}

// ---- NSDictionary ---------------------------------------------------------

NSDictionary::~NSDictionary() { plist_free(root_); }

std::unique_ptr<NSDictionary> NSDictionary::dictionaryWithBytes(const void* bytes,
                                                                std::size_t size) noexcept {
  if (!bytes || size == 0 || size > static_cast<std::size_t>(kMaxPlistBytes)) return nullptr;
  plist_t root =
      plist_parse_memory(static_cast<const char*>(bytes), static_cast<std::uint32_t>(size));
  if (!root) return nullptr;
  if (plist_get_node_type(root) != PLIST_DICT) {
    plist_free(root);
    return nullptr;
  }
  try {
    return std::unique_ptr<NSDictionary>(new NSDictionary(root));
  } catch (...) {
    plist_free(root);
    return nullptr;
  }
}

std::unique_ptr<NSDictionary> NSDictionary::dictionaryWithContentsOfFile(
    const std::string& path) noexcept {
  const std::optional<std::vector<std::uint8_t>> bytes = read_whole_file(path);
  if (!bytes) return nullptr;
  return dictionaryWithBytes(bytes->data(), bytes->size());
}

PlistValue NSDictionary::valueForKey(const char* key) const noexcept {
  if (!key) return PlistValue();
  return PlistValue(plist_dict_get_item(root_, key));
}

// ---- NSFileManager --------------------------------------------------------

NSFileManager& NSFileManager::defaultManager() noexcept {
  static NSFileManager manager;
  return manager;
}

bool NSFileManager::fileAttributesAtPath(const std::string& path,
                                         bool traverseLink) const noexcept {
  struct stat st {};
  return (traverseLink ? stat(path.c_str(), &st) : lstat(path.c_str(), &st)) == 0;
}
