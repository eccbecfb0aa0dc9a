// tallyvox-cli tabs: what Tallyvox can read of each browser's open tabs, for finding out why a
// web meeting is not noticed. Reads the same session files as detection, nothing else.

#include "Commands.h"

#include "detection/Browsers.h"
#include "detection/MeetingURL.h"
#include "detection/linux/BrowserSessionFiles.h"

#include <CLI/CLI.hpp>

#include <iostream>

namespace tallyvox::cli {

namespace {

int listTabs() {
    const auto folders = BrowserSessionFiles::UserFolders::ofUser();
    BrowserSessionFiles files(folders);
    for (const auto& browser : Browsers::all()) {
        auto found = BrowserSessionFiles::newestSessionFile(browser, folders);
        if (!found.file && !found.problem)
            continue; // not used by this user
        std::cout << browser.name << ": " << (found.file ? found.file->string() : "") << "\n";
        auto read = files.read(browser, 0);
        if (read.unreadable) {
            std::cout << "  cannot be read: " << *read.unreadable << "\n";
            continue;
        }
        for (const auto& url : read.urls) {
            auto platform = MeetingURL::platform(url);
            std::cout << "  " << (platform ? std::string(rawValue(*platform)) + " meeting: " : "")
                      << url << "\n";
        }
    }
    return ok;
}

} // namespace

void addTabsCommand(CLI::App& app, int& exitCode) {
    app.add_subcommand("tabs", "The open tabs Tallyvox reads from each browser's session file")
        ->callback([&exitCode] { exitCode = listTabs(); });
}

} // namespace tallyvox::cli
