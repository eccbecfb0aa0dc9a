#pragma once

#include "detection/BrowserTabs.h"

#include <filesystem>
#include <optional>
#include <string>

namespace tallyvox {

// Reads a browser's open tabs from the session file it keeps in its profile: the newest one
// across its profiles and its native, snap and flatpak installs (the profile in use is the
// one the browser saved last). One file per read, so a read costs one file's time.
class BrowserSessionFiles : public BrowserTabs {
public:
    explicit BrowserSessionFiles(std::filesystem::path home);
    // The user's home folder ($HOME).
    static std::filesystem::path userHome();

    Read read(const Browser& browser, std::int32_t pid) override;

    struct Found {
        std::optional<std::filesystem::path> file;
        // Why none was found, when a folder could not be searched.
        std::optional<std::string> problem;
    };
    static Found newestSessionFile(const Browser& browser, const std::filesystem::path& home);

private:
    std::filesystem::path home_;
};

} // namespace tallyvox
