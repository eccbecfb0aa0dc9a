#pragma once

#include "base/Error.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace tallyvox {

// Whether the last part of a path may be a symbolic link. Files we keep ourselves (settings,
// consent, transcripts) are never links we made; a link there was planted, so it is refused.
enum class Links { follow, refuse };

// A file that was not read, with a reason worded for the user ("is not a regular file",
// "is larger than 16 MB", or the system's own words).
class UnreadableFile : public Error {
public:
    UnreadableFile(const std::filesystem::path& path, std::string reason);
    const std::string& reason() const { return reason_; }
    // True when nothing is at the path at all (not an error for most callers).
    bool missing() const { return missing_; }
    // True when the file was refused for its size alone.
    bool tooLarge() const { return tooLarge_; }

private:
    friend UnreadableFile missingFile(const std::filesystem::path& path, int errorNumber);
    friend UnreadableFile tooLargeFile(const std::filesystem::path& path, std::uint64_t limit);
    std::string reason_;
    bool missing_ = false;
    bool tooLarge_ = false;
};

// The one way a file someone else may have placed is read. The open never blocks (a FIFO or a
// device swapped in at the path is refused instead of waited on), what was opened is checked
// on the descriptor (a regular file, no larger than `limit`), and reading stops as soon as a
// file growing under us passes the limit: memory and time stay bounded by `limit`.
std::string readFileBounded(const std::filesystem::path& path, std::uint64_t limit,
                            Links links = Links::follow);

// The same, with nothing instead of an exception.
std::optional<std::string> tryReadFileBounded(const std::filesystem::path& path,
                                              std::uint64_t limit, Links links = Links::follow);

// Size limits in words, for the reasons above and for callers' own messages.
std::string sizeInWords(std::uint64_t bytes);

} // namespace tallyvox
