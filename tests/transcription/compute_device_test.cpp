#include "base/Log.h"
#include "fakes/TempDir.h"
#include "transcription/ComputeDevice.h"
#include "transcription/SpeedProbe.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace tallyvox {
namespace {

using testing::TempDir;

TEST(ComputeDevices, TheGraphicsProcessorIsUsedOnlyWhenAllowedAndItsCheckPasses) {
    const std::vector<ComputeDevices::Candidate> candidates{
        {"Vulkan", "Radeon 780M"}, {"Vulkan", "llvmpipe (LLVM 15.0.6, 256 bits)"}};
    std::vector<std::size_t> checked;
    auto passes = [&](std::size_t index) -> std::optional<std::string> {
        checked.push_back(index);
        return std::nullopt;
    };
    const ComputeDevice cpu{.gpu = false, .name = "CPU: Ryzen 7"};

    Log::Capture log;
    EXPECT_EQ(ComputeDevices::choose(false, candidates, passes, "Ryzen 7"), cpu);
    EXPECT_EQ(ComputeDevices::choose(true, {}, passes, "Ryzen 7"), cpu);
    EXPECT_TRUE(checked.empty()) << "turned off or absent, the device is not even tried";
    EXPECT_TRUE(log.texts().empty()) << "no graphics processor is not a fault";

    EXPECT_EQ(ComputeDevices::choose(true, candidates, passes, "Ryzen 7"),
              (ComputeDevice{.gpu = true, .name = "Vulkan: Radeon 780M"}))
        << "the first, as whisper.cpp picks it";
    EXPECT_EQ(checked, std::vector<std::size_t>{0});

    auto fails = [](std::size_t) -> std::optional<std::string> {
        return "a computation gave wrong results";
    };
    EXPECT_EQ(ComputeDevices::choose(true, candidates, fails, "Ryzen 7"), cpu)
        << "a device that computes wrongly is not used, nor the next one in its place";
    EXPECT_EQ(log.texts(), std::vector<std::string>{"Vulkan: Radeon 780M failed (a computation "
                                                    "gave wrong results); recognising on the "
                                                    "processor"});
}

TEST(ComputeDevices, SpeedFiguresOfOneDeviceNeverPredictAnother) {
    TempDir dir;
    const auto cache = dir / "machine-speed";
    const ComputeDevice gpu{.gpu = true, .name = "Vulkan: Radeon 780M"};
    const ComputeDevice cpu = ComputeDevices::processor();
    EXPECT_EQ(ComputeDevices::speedKey(cpu), MachineSpeed::processorName())
        << "the processor's figures kept before graphics processors stay valid";
    int measured = 0;
    auto measurement = [&](double gflops) {
        return [&measured, gflops](int threads) {
            ++measured;
            return MachineSpeed{gflops, threads, ""};
        };
    };
    auto onCpu = SpeedProbe::machineSpeed(cache, measurement(40), cpu);
    ASSERT_TRUE(onCpu);
    auto onGpu = SpeedProbe::machineSpeed(cache, measurement(900), gpu);
    ASSERT_TRUE(onGpu);
    EXPECT_EQ(onGpu->gflops, 900) << "the processor's figure is not the graphics processor's";
    EXPECT_EQ(onGpu->cpu, "Vulkan: Radeon 780M");
    EXPECT_EQ(measured, 2);
    EXPECT_EQ(SpeedProbe::machineSpeed(cache, measurement(10), gpu), onGpu);
    EXPECT_EQ(measured, 2) << "kept under the device's name";

    // What the session keeps and the model choice reads follows the device in use.
    MachineSpeed::useDevice(ComputeDevices::speedKey(gpu));
    EXPECT_EQ(MachineSpeed::kept(cache), onGpu);
    MachineSpeed::useDevice(ComputeDevices::speedKey(cpu));
    EXPECT_EQ(MachineSpeed::kept(cache), std::nullopt)
        << "after turning the graphics processor off, its figure does not predict the processor";
    MachineSpeed::useDevice("");
}

} // namespace
} // namespace tallyvox
