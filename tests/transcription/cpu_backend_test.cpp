#include "base/Error.h"
#include "transcription/CpuBackend.h"
#include "transcription/WhisperContext.h"

#include "fakes/TestAudio.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace tallyvox {
namespace {

const std::filesystem::path shared(TALLYVOX_SHARED_DIR);

// A tree configured with TALLYVOX_WHISPER_DISPATCHED keeps ggml's CPU kernels in lib/tallyvox
// beside this binary's folder, as the installed package does.
bool kernelsLoadedAtRunTime() {
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator(CpuBackend::libraryFolder(), error))
        if (entry.path().filename().string().starts_with("libggml-cpu-"))
            return true;
    return false;
}

// The kernel libraries this process has mapped.
std::vector<std::filesystem::path> mappedKernels() {
    std::vector<std::filesystem::path> found;
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        auto at = line.find('/');
        if (at == std::string::npos)
            continue;
        std::filesystem::path file = line.substr(at);
        if (file.filename().string().starts_with("libggml-cpu-") &&
            std::find(found.begin(), found.end(), file) == found.end())
            found.push_back(file);
    }
    return found;
}

TEST(CpuBackend, TheRecogniserRunsOnKernelsFromThePrivateFolderOrLinkedIn) {
    WhisperContext context(WhisperModel::tiny, shared / "models" / "for-tests-ggml-tiny.bin",
                           "/nonexistent");
    auto samples = tallyvox::testing::readPcm16Wav(shared / "audio" / "jfk.wav");
    EXPECT_NO_THROW(context.transcribe(samples, "en", ""));
    auto kernels = mappedKernels();
    if (!kernelsLoadedAtRunTime()) {
        EXPECT_TRUE(kernels.empty()) << "ggml's CPU code is linked into this build";
        // With the code linked in, no folder is needed, not even one that is missing.
        EXPECT_NO_THROW(CpuBackend::require("/nonexistent"));
        return;
    }
    // One library, the best this processor runs, and from the folder beside the program:
    // never one found on the library path or in the working folder.
    ASSERT_EQ(kernels.size(), 1u);
    EXPECT_EQ(std::filesystem::canonical(kernels.front().parent_path()),
              std::filesystem::canonical(CpuBackend::libraryFolder()));
}

} // namespace
} // namespace tallyvox
