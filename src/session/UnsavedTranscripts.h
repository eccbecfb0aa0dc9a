#pragma once

#include "base/Executor.h"

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace tallyvox {

// Finished transcripts whose final write failed: their whole text stays here, and is
// written again every `retryInterval` until a write works, so a new session never takes
// the lines of an old one with it. Main thread only.
class UnsavedTranscripts {
public:
    static constexpr double retryInterval = 30; // seconds

    struct Handlers {
        std::function<void(const std::filesystem::path&)> saved;
        // The write's description, as the system gave it.
        std::function<void(const std::string&)> failed;
    };

    UnsavedTranscripts(Executor& main, Handlers handlers);
    ~UnsavedTranscripts();
    UnsavedTranscripts(const UnsavedTranscripts&) = delete;
    UnsavedTranscripts& operator=(const UnsavedTranscripts&) = delete;

    // Keeps the text for `path`, replacing an older one of the same file.
    void keep(std::filesystem::path path, std::string text);
    // A newer full write of that file happened: its kept copy is out of date.
    void forget(const std::filesystem::path& path);
    // Tries every kept file once now.
    void retry();
    std::size_t count() const { return files_.size(); }

private:
    struct File {
        std::filesystem::path path;
        std::string text;
    };

    Executor& main_;
    Handlers handlers_;
    std::vector<File> files_;
    TaskHandle timer_;
};

} // namespace tallyvox
