// File: platform/Foundation.h
//
// The few Foundation facilities the library locator and the alias wrapper
// use, on plain C++ and libplist:
//   - strings are std::string, data objects are byte vectors (`NSData`);
//     "nil" is an empty std::optional or a null pointer;
//   - home-folder expansion of a leading "~" and joining of path components;
//   - property-list dictionaries read whole from a file (binary or XML);
//   - an existence test that follows a final symbolic link;
//   - an error object carrying a domain and a code.
//
// Example:
//   auto prefs = NSDictionary::dictionaryWithContentsOfFile(
//       stringByExpandingTildeInPath("~/Library/Preferences/com.apple.iApps.plist"));
//   PlistValue paths = valueForKey(prefs.get(), "iTunesRecentDatabasePaths");
//   if (paths.count() > 0) use(paths.objectAtIndex(0).stringValue());
//
// Invariants: a PlistValue never owns its node and is valid only while the
// dictionary it came from lives; a PlistValue of the wrong kind behaves as an
// absent value for every question asked of that kind (count 0, no string,
// length 0). Nothing here throws.
#pragma once

#include <plist/plist.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using NSData = std::vector<std::uint8_t>;

// ---- Paths ----------------------------------------------------------------

// A leading "~" or "~/" becomes the home folder: $HOME when it is set and not
// empty, else the password database's entry for the real user; "~name"
// becomes that user's home. Any other path, or one whose home cannot be
// found, comes back unchanged.
[[nodiscard]] std::string stringByExpandingTildeInPath(std::string_view path);

// `base` and `component` joined with exactly one "/" between them; an empty
// base gives the component alone.
[[nodiscard]] std::string stringByAppendingPathComponent(std::string_view base,
                                                         std::string_view component);

// The bytes the file system takes for `path` (our strings already are them).
[[nodiscard]] inline const char* fileSystemRepresentation(const std::string& path) noexcept {
  return path.c_str();
}

// ---- Property lists -------------------------------------------------------

// A non-owning view of one property-list node, or of nothing.
class PlistValue {
 public:
  PlistValue() noexcept = default;
  explicit PlistValue(plist_t node) noexcept : node_(node) {}

  [[nodiscard]] bool isNil() const noexcept { return node_ == nullptr; }
  [[nodiscard]] bool isArray() const noexcept;
  [[nodiscard]] bool isString() const noexcept;
  [[nodiscard]] bool isData() const noexcept;

  // Element count of an array; 0 for anything else.
  [[nodiscard]] std::uint32_t count() const noexcept;
  // Element `index` of an array; nil when out of range or not an array.
  [[nodiscard]] PlistValue objectAtIndex(std::uint32_t index) const noexcept;
  // The text of a string node; nullopt for anything else.
  [[nodiscard]] std::optional<std::string> stringValue() const;
  // The bytes of a data node (length() of them); null for anything else.
  [[nodiscard]] const std::uint8_t* dataBytes() const noexcept;
  // Bytes of a string or data node; 0 for anything else (nil included).
  [[nodiscard]] std::uint64_t length() const noexcept;

  [[nodiscard]] plist_t node() const noexcept { return node_; }

 private:
  plist_t node_ = nullptr;
};

// An owned property list whose root is a dictionary.
class NSDictionary {
 public:
  // The file read whole and parsed; null when it is missing, unreadable,
  // not a property list, or its root is not a dictionary.
  [[nodiscard]] static std::unique_ptr<NSDictionary> dictionaryWithContentsOfFile(
      const std::string& path) noexcept;
  // The same from bytes in memory.
  [[nodiscard]] static std::unique_ptr<NSDictionary> dictionaryWithBytes(const void* bytes,
                                                                         std::size_t size) noexcept;

  ~NSDictionary();
  NSDictionary(const NSDictionary&) = delete;
  NSDictionary& operator=(const NSDictionary&) = delete;

  // The value under `key`; nil when absent.
  [[nodiscard]] PlistValue valueForKey(const char* key) const noexcept;

 private:
  explicit NSDictionary(plist_t root) noexcept : root_(root) {}
  plist_t root_;
};

// Key lookup that also answers nil for a missing dictionary.
[[nodiscard]] inline PlistValue valueForKey(const NSDictionary* dict, const char* key) noexcept {
  return dict ? dict->valueForKey(key) : PlistValue();
}

// ---- Files ----------------------------------------------------------------

class NSFileManager {
 public:
  [[nodiscard]] static NSFileManager& defaultManager() noexcept;
  // True when an entry of any kind exists at `path`; with `traverseLink`
  // a final symbolic link is followed, so a dangling link does not count.
  [[nodiscard]] bool fileAttributesAtPath(const std::string& path,
                                          bool traverseLink) const noexcept;
};

// ---- Errors ---------------------------------------------------------------

// The domain of errors whose code is a platform status (OSStatus/OSErr).
extern const char* const NSOSStatusErrorDomain;

struct NSError {
  std::string domain;
  std::int64_t code = 0;

  [[nodiscard]] static NSError errorWithDomain(std::string domain, std::int64_t code) {
    return NSError{std::move(domain), code};
  }
};
