#pragma once

#include "detection/AppGenuineness.h"

#include <string>
#include <string_view>
#include <vector>

namespace tallyvox {

enum class BrowserFamily { chromium, firefox };

// A browser people join meetings in. Its sound comes from a child process running the same
// executable; the meeting carries the browser's main process.
struct Browser {
    // Also the app name of its web meetings.
    std::string name;
    BrowserFamily family = BrowserFamily::chromium;
    std::vector<std::string> executables;
    // Where a genuine copy comes from (its `platform` is not used).
    TrustedApp trust;
    // Profile folders relative to the home folder: the user data folder of a Chromium-family
    // browser (holding "Default", "Profile 1", …), or a Firefox profiles folder (holding one
    // folder per profile), for the native, snap and flatpak installs.
    std::vector<std::string> profileRoots;
};

namespace Browsers {

// Google Chrome, Chromium, Microsoft Edge, Brave and Firefox.
const std::vector<Browser>& all();
const Browser* forBinary(std::string_view binary);

} // namespace Browsers

} // namespace tallyvox
