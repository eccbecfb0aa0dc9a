#pragma once

#include "base/Error.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>

namespace tallyvox::ModelDownload {

// Downloads `remote` over HTTP(S) and puts it at `local` only when the server answered 200
// and the file has the digest `sha256`. The file is written beside `local` under a temporary
// name and renamed over it at the end, so a failed download leaves the previous file as it
// was and no partial file behind. Blocks; `progress` (0...1) is called on the calling thread.
// Setting `cancelled` stops the transfer. Throws Error with a description for the user.
void fetch(const std::string& remote, const std::filesystem::path& local, const std::string& sha256,
           const std::function<void(double)>& progress,
           const std::atomic<bool>* cancelled = nullptr);

} // namespace tallyvox::ModelDownload
