#include "ChildProcess.h"
#include "fakes/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace tallyvox {
namespace {

using testing::TempDir;

// A tree configured with TALLYVOX_WHISPER_DISPATCHED loads ggml's CPU kernels from
// lib/tallyvox above the executable's folder, as the installed package does.
bool kernelsLoadedAtRunTime() {
    std::error_code error;
    auto folder = std::filesystem::path(TALLYVOX_CLI).parent_path().parent_path() / "lib/tallyvox";
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        if (entry.path().filename().string().starts_with("libggml-cpu-"))
            return true;
    return false;
}

TEST(CommandLine, WithoutItsKernelFolderTranscribeSaysWhatIsMissingAndFails) {
    if (!kernelsLoadedAtRunTime())
        GTEST_SKIP() << "ggml's CPU code is linked into this build";
    TempDir dir;
    std::filesystem::create_directories(dir / "bin");
    const auto cli = dir / "bin" / "tallyvox-cli";
    std::filesystem::copy_file(TALLYVOX_CLI, cli);
    const auto wav = dir / "speech.wav";
    ASSERT_EQ(std::system(("espeak-ng -w " + wav.string() + " \"Let us begin.\"").c_str()), 0);
    const auto folder = dir / "lib" / "tallyvox";
    auto transcribe = [&] {
        testing::ChildProcess child({cli.string(), "transcribe", wav.string(), "--model",
                                     TALLYVOX_TEST_MODEL, "--vad", "/nonexistent"},
                                    "/dev/null", dir / "out.txt", dir / "err.txt");
        auto status = child.exitStatus(300);
        EXPECT_TRUE(status);
        EXPECT_EQ(status.value_or(-1), 1) << "an error, not a crash";
        auto err = testing::readText(dir / "err.txt");
        EXPECT_NE(err.find("The recogniser's processor libraries are missing from " +
                           folder.string() + ". Reinstall Tallyvox."),
                  std::string::npos)
            << err;
        EXPECT_EQ(testing::readText(dir / "out.txt"), "");
    };
    transcribe(); // no folder
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "libggml-cpu-haswell.so") << "not a library";
    transcribe(); // a folder without a library that loads
    std::filesystem::remove_all(folder);
    std::ofstream(folder) << "a file where the folder belongs";
    transcribe(); // a folder that cannot be listed
}

} // namespace
} // namespace tallyvox
