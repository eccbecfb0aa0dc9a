#include "fakes/TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sys/wait.h>

namespace tallyvox {
namespace {

using testing::TempDir;

struct SearchRun {
    int code = -1;
    std::string out;
};

// The command line with its own home, so the transcripts folder is the default one inside.
SearchRun search(const TempDir& home, const std::string& words, bool terminal = false) {
    std::string command =
        "env HOME=" + home.path().string() + " XDG_CONFIG_HOME=" + (home / "config").string() +
        " XDG_DATA_HOME=" + (home / "data").string() + " " TALLYVOX_CLI " search " + words;
    // `script` gives the command a terminal of its own.
    if (terminal)
        command = "script -qec '" + command + "' /dev/null";
    SearchRun run;
    FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
    char buffer[4096];
    std::size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        run.out.append(buffer, count);
    const int status = ::pclose(pipe);
    run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

TEST(CommandLineSearch, PrintsEachTurnWithAllTheWordsNewestFirst) {
    TempDir home;
    const auto day = home / "Documents/Tallyvox/2026/December/06-12-26";
    std::filesystem::create_directories(day);
    std::ofstream(day / "Zoom_Meeting_09-00.txt")
        << "Meeting: Planning\nDate: 6 December 2026\n\n[00:00:04] Sam:\nThe budget is "
           "late.\n\n[00:01:00] Asha:\nBudget \x1b[2Jagain.\n";
    std::ofstream(day / "Zoom_Meeting_09-00.diagnostics.txt") << "[00:00:04] Sam:\nbudget\n";
    std::ofstream(day / "Teams_Meeting_10-00.txt") << "[00:00:02] Sam:\nNew budget.\n";
    std::filesystem::last_write_time(day / "Zoom_Meeting_09-00.txt",
                                     std::filesystem::file_time_type::clock::now() -
                                         std::chrono::hours(1));

    SearchRun run = search(home, "sam BUDGET");
    ASSERT_EQ(run.code, 0);
    EXPECT_EQ(run.out, "Teams_Meeting_10-00.txt · 00:00:02\n"
                       "Sam: New budget.\n\n"
                       "Zoom_Meeting_09-00.txt · Planning · 6 December 2026 · 00:00:04\n"
                       "Sam: The budget is late.\n\n"
                       "2 matches\n");

    run = search(home, "asha");
    ASSERT_EQ(run.code, 0);
    EXPECT_NE(run.out.find("Asha: Budget \uFFFD[2Jagain."), std::string::npos)
        << "a file's escape sequence is shown, never obeyed: " << run.out;

    run = search(home, "zebra");
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.out, "No matches in " + (home / "Documents/Tallyvox").string() + "\n");

    EXPECT_EQ(search(home, "' '").code, 2) << "no words";

    run = search(home, "new budget", true);
    EXPECT_NE(run.out.find("\x1b[1;7mNew\x1b[0m \x1b[1;7mbudget\x1b[0m."), std::string::npos)
        << "on a terminal the words stand out: " << run.out;
}

} // namespace
} // namespace tallyvox
