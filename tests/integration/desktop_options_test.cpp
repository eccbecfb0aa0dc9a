// The desktop app's command line: help and version answer and end, and a mistyped option is an
// error rather than an app started as if it had not been given.
#include "ChildProcess.h"

#include "fakes/TempDir.h"

#include <gtest/gtest.h>

namespace tallyvox {
namespace {

using testing::ChildProcess;
using testing::readText;
using testing::TempDir;

struct Answer {
    int status;
    std::string out, err;
};

Answer ask(const std::vector<std::string>& args) {
    TempDir dir;
    std::vector<std::string> argv{TALLYVOX_DESKTOP};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess app(argv, "/dev/null", dir / "out", dir / "err");
    // An app that started instead of answering would still run: killed after 30 s.
    const int status = app.exitStatus(30).value_or(-1000);
    return {status, readText(dir / "out"), readText(dir / "err")};
}

} // namespace

TEST(DesktopOptions, HelpAndVersionAnswerAndAMistypedOptionIsAnError) {
    auto help = ask({"--help"});
    EXPECT_EQ(help.status, 0) << help.err;
    EXPECT_TRUE(help.out.starts_with("Usage: tallyvox [OPTIONS]\n")) << help.out;
    EXPECT_NE(help.out.find("--no-tray"), std::string::npos);

    auto version = ask({"--version"});
    EXPECT_EQ(version.status, 0) << version.err;
    EXPECT_TRUE(version.out.starts_with("tallyvox Version ")) << version.out;

    auto unknown = ask({"--no-try"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(unknown.err, "tallyvox: unknown option --no-try (see tallyvox --help)\n");
    auto missing = ask({"--model"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.err, "tallyvox: --model needs a file (see tallyvox --help)\n");
}

} // namespace tallyvox
