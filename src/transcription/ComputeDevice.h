#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

struct ggml_backend;

namespace tallyvox {

// Where recognition computes: the first graphics processor ggml offers (through the Vulkan
// library loaded beside the CPU kernels) when the user allows it and it works, else the
// processor.
struct ComputeDevice {
    bool gpu = false;
    // For people: "Vulkan: <device>" or "CPU: <processor>". Also keys the measured speeds,
    // so a figure of one device never predicts another.
    std::string name;

    bool operator==(const ComputeDevice&) const = default;
};

namespace ComputeDevices {

// Set to 1, lets a software Vulkan device (Mesa's lavapipe) count as a graphics processor, for
// tests on machines without one. ggml leaves such devices out, rightly: they are slower than
// its CPU kernels. Pair it with VK_DRIVER_FILES naming the software driver alone, since the
// first Vulkan device is the one used.
inline constexpr const char* softwareVulkanVariable = "TALLYVOX_VULKAN_SOFTWARE";

// A graphics processor ggml lists: its registry's name ("Vulkan") and its description.
struct Candidate {
    std::string registry;
    std::string description;
};

// The device to use. Without `useGPU` or a candidate, the processor; else the first
// candidate when `check` (a short computation on it) gives no failure, which is otherwise
// logged once and the processor used.
ComputeDevice choose(bool useGPU, const std::vector<Candidate>& candidates,
                     const std::function<std::optional<std::string>(std::size_t index)>& check,
                     const std::string& processor);

// This process's choice with ggml's devices, the graphics processor checked once per process
// and remembered. Also tells MachineSpeed which device's figures apply (speedKey).
ComputeDevice choose(bool useGPU);

// What the device's speed figures are kept under (MachineSpeed::keyOf its name).
std::string speedKey(const ComputeDevice& device);

// A backend computing on `device` (the one choose() returned), on `threads` threads for the
// processor. Throws Error when it cannot be opened.
ggml_backend* createBackend(const ComputeDevice& device, int threads);

// The processor, named as choose() names it.
ComputeDevice processor();

// Called before ggml's libraries are loaded: applies softwareVulkanVariable.
void prepareEnvironment();

} // namespace ComputeDevices

} // namespace tallyvox
