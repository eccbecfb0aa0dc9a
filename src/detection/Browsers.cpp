#include "detection/Browsers.h"

#include <algorithm>

namespace tallyvox::Browsers {

const std::vector<Browser>& all() {
    static const std::vector<Browser> browsers = {
        {.name = "Google Chrome",
         .family = BrowserFamily::chromium,
         .executables = {"chrome"},
         .trust = {.platform = Platform::meet,
                   .packages = {"google-chrome-stable", "google-chrome-beta",
                                "google-chrome-unstable"},
                   .snaps = {},
                   .flatpaks = {"com.google.Chrome"},
                   .exactPaths = {}},
         // Each release channel keeps a user data folder of its own.
         .profileRoots = {".config/google-chrome", ".config/google-chrome-beta",
                          ".config/google-chrome-unstable",
                          ".var/app/com.google.Chrome/config/google-chrome"}},
        {.name = "Chromium",
         .family = BrowserFamily::chromium,
         // The snap runs its browser as .../usr/lib/chromium-browser/chrome.
         .executables = {"chromium", "chromium-browser", "chrome"},
         .trust = {.platform = Platform::meet,
                   .packages = {"chromium"},
                   .snaps = {"chromium"},
                   .flatpaks = {"org.chromium.Chromium"},
                   .exactPaths = {}},
         .profileRoots = {".config/chromium", "snap/chromium/common/chromium",
                          ".var/app/org.chromium.Chromium/config/chromium"}},
        {.name = "Microsoft Edge",
         .family = BrowserFamily::chromium,
         .executables = {"msedge"},
         .trust = {.platform = Platform::meet,
                   .packages = {"microsoft-edge-stable", "microsoft-edge-beta",
                                "microsoft-edge-dev"},
                   .snaps = {},
                   .flatpaks = {"com.microsoft.Edge"},
                   .exactPaths = {}},
         .profileRoots = {".config/microsoft-edge", ".config/microsoft-edge-beta",
                          ".config/microsoft-edge-dev",
                          ".var/app/com.microsoft.Edge/config/microsoft-edge"}},
        {.name = "Brave Browser",
         .family = BrowserFamily::chromium,
         .executables = {"brave"},
         .trust = {.platform = Platform::meet,
                   .packages = {"brave-browser"},
                   .snaps = {"brave"},
                   .flatpaks = {"com.brave.Browser"},
                   .exactPaths = {}},
         .profileRoots = {".config/BraveSoftware/Brave-Browser",
                          "snap/brave/current/.config/BraveSoftware/Brave-Browser",
                          ".var/app/com.brave.Browser/config/BraveSoftware/Brave-Browser"}},
        {.name = "Firefox",
         .family = BrowserFamily::firefox,
         .executables = {"firefox", "firefox-esr", "firefox-bin"},
         .trust = {.platform = Platform::meet,
                   .packages = {"firefox", "firefox-esr"},
                   .snaps = {"firefox"},
                   .flatpaks = {"org.mozilla.firefox"},
                   .exactPaths = {}},
         // Recent versions make new profiles in the XDG configuration folder; profiles made
         // before stay in ~/.mozilla. The snap's and the flatpak's homes follow the same rule.
         .profileRoots = {".mozilla/firefox", ".config/mozilla/firefox",
                          "snap/firefox/common/.mozilla/firefox",
                          "snap/firefox/common/.config/mozilla/firefox",
                          ".var/app/org.mozilla.firefox/.mozilla/firefox",
                          ".var/app/org.mozilla.firefox/config/mozilla/firefox"}},
    };
    return browsers;
}

const Browser* forBinary(std::string_view binary) {
    for (const auto& browser : all())
        if (std::find(browser.executables.begin(), browser.executables.end(), binary) !=
            browser.executables.end())
            return &browser;
    return nullptr;
}

} // namespace tallyvox::Browsers
