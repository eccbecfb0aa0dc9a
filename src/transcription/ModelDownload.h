#pragma once

#include "base/Error.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace tallyvox::ModelDownload {

// What a transfer may take. A server may answer without end, or claim a petabyte, or send a
// byte a second; none of them may fill the disk or keep the download running for ever.
struct Limits {
    // The file's size or a bound just above it: the transfer stops once more arrives, and
    // before any arrives when the server announces more.
    std::int64_t maxBytes = 0;
    // Slower than this many bytes a second for `slowSeconds` seconds in a row, it fails.
    long slowBytesPerSecond = 1024;
    long slowSeconds = 30;
};

// Downloads `remote` over HTTP(S) and puts it at `local` only when the server answered 200
// and the file has the digest `sha256`. The file is written beside `local` under a temporary
// name and renamed over it at the end, so a failed download leaves the previous file as it
// was and no partial file behind. Blocks; `progress` (0...1) is called on the calling thread.
// Setting `cancelled` stops the transfer. Throws Error with a description for the user; what
// `progress` throws stops the transfer and comes out of here as it was thrown.
void fetch(const std::string& remote, const std::filesystem::path& local, const std::string& sha256,
           const Limits& limits, const std::function<void(double)>& progress,
           const std::atomic<bool>* cancelled = nullptr);

} // namespace tallyvox::ModelDownload
