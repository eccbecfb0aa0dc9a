#include "ChildProcess.h"
#include "base/AtomicFile.h"
#include "fakes/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

// Recognition on a graphics processor through ggml's Vulkan backend, with Mesa's software
// device (lavapipe) standing in for one: it computes as a GPU does, on the processor.

namespace tallyvox {
namespace {

using testing::ScopedEnv;
using testing::TempDir;

const std::filesystem::path shared(TALLYVOX_SHARED_DIR);
const std::filesystem::path softwareDriver = "/usr/share/vulkan/icd.d/lvp_icd.x86_64.json";

std::optional<std::string> whyNoVulkan() {
    auto library = std::filesystem::path(TALLYVOX_CLI).parent_path().parent_path() / "lib/tallyvox";
    if (!std::filesystem::exists(library / "libggml-vulkan.so"))
        return "whisper.cpp was built without Vulkan (scripts/bootstrap builds it)";
    if (!std::filesystem::exists(softwareDriver))
        return "Mesa's software Vulkan driver is not installed (mesa-vulkan-drivers)";
    return std::nullopt;
}

struct Transcript {
    int status = -1;
    std::string text;
    std::string report;

    // The device tallyvox-cli transcribe says it computed on.
    std::string device() const {
        auto at = report.find("\ndevice ");
        if (at == std::string::npos)
            return {};
        at += 8;
        return report.substr(at, report.find('\n', at) - at);
    }
};

// The "[hh:mm:ss]" of each transcript line, each with a word after it.
std::vector<std::string> lineTimes(const std::string& text) {
    std::vector<std::string> times;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (line.size() > 12 && line[0] == '[')
            times.push_back(line.substr(0, 10));
    return times;
}

class Vulkan : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto why = whyNoVulkan()) {
            // The test script asks for them: there, a missing back-end is a broken build.
            const char* required = std::getenv("TALLYVOX_REQUIRE_VULKAN");
            if (required && std::string(required) == "1")
                FAIL() << *why;
            GTEST_SKIP() << *why;
        }
    }

    Transcript transcribe() {
        testing::ChildProcess child(
            {TALLYVOX_CLI, "transcribe", (shared / "audio" / "jfk.wav").string(), "--model",
             TALLYVOX_TEST_MODEL, "--vad", "/nonexistent", "--language", "en"},
            "/dev/null", dir_ / "out.txt", dir_ / "err.txt");
        auto status = child.exitStatus(600);
        return {status.value_or(-1), testing::readText(dir_ / "out.txt"),
                testing::readText(dir_ / "err.txt")};
    }

    TempDir dir_;
    ScopedEnv home_{"HOME", dir_.path().string()};
    ScopedEnv config_{"XDG_CONFIG_HOME", (dir_ / "config").string()};
    ScopedEnv cache_{"XDG_CACHE_HOME", (dir_ / "cache").string()};
    ScopedEnv visible_{"GGML_VK_VISIBLE_DEVICES", std::nullopt};
};

TEST_F(Vulkan, TheSoftwareDeviceGivesTheProcessorsLinesAndIsUsedOnlyWhenAskedFor) {
    auto cpu = [&] {
        ScopedEnv driver("VK_DRIVER_FILES", softwareDriver.string());
        return transcribe();
    }();
    ASSERT_EQ(cpu.status, 0) << cpu.report;
    EXPECT_TRUE(cpu.device().starts_with("CPU: ")) << "ggml leaves a software device out\n"
                                                   << cpu.report;
    ASSERT_FALSE(cpu.text.empty());

    ScopedEnv software("TALLYVOX_VULKAN_SOFTWARE", "1");
    ScopedEnv driver("VK_DRIVER_FILES", softwareDriver.string());
    auto gpu = transcribe();
    ASSERT_EQ(gpu.status, 0) << gpu.report;
    EXPECT_TRUE(gpu.device().starts_with("Vulkan: llvmpipe")) << gpu.report;
    // The test model's random weights leave its candidate tokens nearly tied, and the Vulkan
    // kernels sum in another order than the CPU's, so a tie may fall the other way: the same
    // lines at the same times, the words of each not always the same.
    EXPECT_EQ(lineTimes(gpu.text), lineTimes(cpu.text)) << gpu.text << "\n" << cpu.text;

    // The setting turns it off, asked for or not.
    std::filesystem::create_directories(dir_ / "config");
    testing::ChildProcess set({TALLYVOX_CLI, "settings", "set", "useGPU", "false"}, "/dev/null",
                              dir_ / "set.txt", dir_ / "set-err.txt");
    ASSERT_EQ(set.exitStatus(60).value_or(-1), 0) << testing::readText(dir_ / "set-err.txt");
    auto off = transcribe();
    ASSERT_EQ(off.status, 0) << off.report;
    EXPECT_EQ(off.device(), cpu.device()) << off.report;
    EXPECT_EQ(off.text, cpu.text);
}

TEST_F(Vulkan, ABrokenDriverLeavesRecognitionOnTheProcessor) {
    auto cpu = transcribe();
    ASSERT_EQ(cpu.status, 0) << cpu.report;

    // A driver manifest whose library is not there, as a half-removed driver package leaves.
    const auto manifest = dir_ / "broken_icd.json";
    writeFileAtomically(manifest, R"({"file_format_version": "1.0.0", "ICD": {)"
                                  R"("library_path": "/nonexistent/libvulkan_broken.so",)"
                                  R"("api_version": "1.3.0"}})");
    ScopedEnv software("TALLYVOX_VULKAN_SOFTWARE", "1");
    ScopedEnv files("VK_DRIVER_FILES", manifest.string());
    ScopedEnv older("VK_ICD_FILENAMES", manifest.string());
    auto broken = transcribe();
    EXPECT_EQ(broken.status, 0) << broken.report;
    EXPECT_EQ(broken.device(), cpu.device()) << broken.report;
    EXPECT_EQ(broken.text, cpu.text) << "the session completes with the transcript";
}

} // namespace
} // namespace tallyvox
