#include "getxml/getxml.h"

#include <cstdio>
#include <memory>

#include "platform/CoreServices.h"
#include "platform/Foundation.h"

namespace {

constexpr const char* kIAppsPrefs = "~/Library/Preferences/com.apple.iApps.plist";
constexpr const char* kITunesPrefs = "~/Library/Preferences/com.apple.iTunes.plist";
constexpr const char* kRecentPathsKey = "iTunesRecentDatabasePaths";
constexpr const char* kLibraryAliasKey = "alis:1:iTunes Library Location";
constexpr const char* kMusicFolderAliasKey = "alis:11345:Music Folder Location";
constexpr const char* kFallbackFolder = "~/Music/iTunes/";
constexpr const char* kFileNames[] = {"iTunes Music Library.xml", "iTunes Library.xml"};

class Trace {
 public:
  explicit Trace(std::uint8_t debug) noexcept : on_(debug != 0) {}
  void line(const char* text) const noexcept {
    if (on_) std::puts(text);
  }
  void status(const char* format, int value) const noexcept __attribute__((format(printf, 2, 0))) {
    if (on_) std::printf(format, value);
  }

 private:
  bool on_;
};

// Step 1: the recent-paths entry, when it names a path. `had_element`
// tells the caller which trace line explains a miss.
std::optional<std::string> recent_path(const NSDictionary& iapps, bool* had_element) {
  const PlistValue paths = iapps.valueForKey(kRecentPathsKey);
  *had_element = paths.count() > 0;
  if (!*had_element) return std::nullopt;
  std::optional<std::string> first = paths.objectAtIndex(0).stringValue();
  if (!first || first->empty()) return std::nullopt;
  return stringByExpandingTildeInPath(*first);
}

// The alias value to use: the first key, or the second only when the first
// is absent (a present but empty first value is kept, and means "none").
PlistValue alias_value(const NSDictionary* itunes, const Trace& trace) {
  PlistValue value = valueForKey(itunes, kLibraryAliasKey);
  if (!value.isData()) {
    trace.line("# Starting get xml 11345");
    value = valueForKey(itunes, kMusicFolderAliasKey);
    if (!value.isData()) value = PlistValue();
  }
  return value;
}

std::optional<std::string> search(std::uint8_t debug) {
  const Trace trace(debug);
  trace.line("# Starting get xml");
  NSFileManager& files = NSFileManager::defaultManager();

  if (auto iapps =
          NSDictionary::dictionaryWithContentsOfFile(stringByExpandingTildeInPath(kIAppsPrefs))) {
    trace.line("# opened ~/Library/Preferences/com.apple.iApps.plist");
    bool had_element = false;
    if (std::optional<std::string> path = recent_path(*iapps, &had_element)) {
      trace.line("# returning expanded path 1");
      return path;
    }
    trace.line(had_element ? "# found libraryAliasData in newer location."
                           : "# key 'iTunes Recent Database Paths' not found.");
  }

  auto itunes =
      NSDictionary::dictionaryWithContentsOfFile(stringByExpandingTildeInPath(kITunesPrefs));
  trace.line("# opening ~/Library/Preferences/com.apple.iTunes.plist");
  trace.line("# looking for alis:1:");
  const PlistValue alias = alias_value(itunes.get(), trace);

  std::string folder;
  if (alias.length() == 0) {
    trace.line("# Finding backup at ~/Music/iTunes/ ");
    folder = stringByExpandingTildeInPath(kFallbackFolder);
  } else {
    trace.line("# found path ");
    Handle copy = nullptr;
    const OSErr copied = PtrToHand(alias.dataBytes(), &copy, static_cast<Size>(alias.length()));
    HandlePtr handle(copy);
    if (copied != noErr) {
      trace.status("# Err on Ptr %i \n", copied);
      return std::nullopt;
    }
    std::optional<std::string> stored;
    const auto status = static_cast<std::int16_t>(FSCopyAliasInfo(
        reinterpret_cast<AliasHandle>(handle.get()), nullptr, nullptr, &stored, nullptr, nullptr));
    if (status != 0 || !stored) {
      trace.status("# Err on FSCopyAliasInfo %i \n", status);
      return std::nullopt;
    }
    folder = std::move(*stored);
  }

  for (const char* name : kFileNames) {
    std::string candidate = stringByAppendingPathComponent(folder, name);
    if (files.fileAttributesAtPath(candidate, true)) {
      trace.line("# returning value");
      return candidate;
    }
  }
  trace.line("# Not found");
  return std::nullopt;
}

}  // namespace

std::optional<std::string> getxml(std::uint8_t debug) noexcept {
  try {
    return search(debug);
  } catch (...) {
    // Only memory can run out here; the caller reports "no path".
    return std::nullopt;
  }
}
