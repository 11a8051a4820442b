// File: getxml/getxml.h
//
// The library locator's search: works out the full path of the user's
// iTunes library XML file from the preference files, an alias record, or
// the standard folder, in this order:
//   1. element 0 of "iTunesRecentDatabasePaths" in
//      "~/Library/Preferences/com.apple.iApps.plist", "~" expanded, taken as
//      it stands (no existence test);
//   2. the stored target path of the alias record under
//      "alis:1:iTunes Library Location", or when that key is absent under
//      "alis:11345:Music Folder Location", in
//      "~/Library/Preferences/com.apple.iTunes.plist", as the folder;
//   3. otherwise the folder "~/Music/iTunes/".
// In the folder, "iTunes Music Library.xml" wins over "iTunes Library.xml";
// the one that exists (following a final symbolic link) is the answer.
//
// A value of another type than expected (a recent-paths value that is not an
// array, an element 0 that is not a string, an alias value that is not data)
// counts as absent. A failed copy into a handle or an unreadable alias record
// ends the search with no path; so does a folder holding neither file.
//
// Example:
//   if (std::optional<std::string> path = getxml(0)) use(*path);
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The library XML path, or nullopt. With a non-zero `debug` it writes its
// "# " trace lines to standard output with plain puts/printf (no lock, no
// flush: the reply line that follows flushes them); without it, nothing.
[[nodiscard]] std::optional<std::string> getxml(std::uint8_t debug) noexcept;
