#pragma once

#include "base/Error.h"

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

// The browsers' own records of their open tabs, read without asking the browser. Each reader
// takes the whole file and answers the address shown by every open tab, or throws
// SessionFileUnreadable saying why (encrypted, unknown version, corrupt, too large) — the
// user is told the reason.
namespace tallyvox::BrowserSessionFormats {

struct SessionFileUnreadable : Error {
    using Error::Error;
};

// Larger session files are refused before they are read.
inline constexpr std::size_t maxFileBytes = 64u << 20;
// A Chromium tab keeps at most this many navigation entries, as the browser does.
inline constexpr std::size_t maxEntriesPerTab = 50;
// Nesting of the Firefox session JSON beyond this is refused, not walked.
inline constexpr int maxJsonDepth = 256;

// Chromium's SNSS command stream (Google Chrome, Chromium, Edge, Brave): "SNSS", a version,
// then commands of a 16-bit size, an id and a payload. The tab list is replayed from the
// navigation entries, each tab's selected entry, and the tabs and windows closed since.
std::vector<std::string> chromiumOpenTabs(std::string_view file);

// Firefox's mozLz4 container: "mozLz40\0", the decompressed size (32-bit little endian) and
// one LZ4 block.
std::string mozLz4Decompress(std::string_view file);
// The current entry of every tab of every open window of a Firefox session store.
std::vector<std::string> firefoxOpenTabs(std::string_view json);

// Firefox's profiles.ini and installs.ini: the profile folders they name, as written. A
// relative one lies in the folder holding the file; an absolute one may lie anywhere, and it
// is the caller's to refuse. Files larger than maxIniBytes are refused before they are read,
// and at most maxIniProfiles folders are taken from one file.
inline constexpr std::size_t maxIniBytes = 256u << 10;
inline constexpr std::size_t maxIniProfiles = 64;
struct ProfilePath {
    std::filesystem::path path;
    bool relative = true;
    bool operator==(const ProfilePath&) const = default;
};
std::vector<ProfilePath> firefoxProfilePaths(std::string_view ini);

} // namespace tallyvox::BrowserSessionFormats
