#include "transcription/ComputeDevice.h"

#include "base/Error.h"
#include "base/Log.h"
#include "transcription/CpuBackend.h"
#include "transcription/GgmlHandles.h"
#include "transcription/HalfProduct.h"
#include "types/MachineSpeed.h"

#include <ggml-alloc.h>
#include <ggml-backend.h>
#include <ggml.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

namespace tallyvox::ComputeDevices {

namespace {

std::vector<ggml_backend_dev_t> gpuDevices() {
    // The order and the types whisper.cpp picks its device by, so the one checked here is the
    // one it uses.
    std::vector<ggml_backend_dev_t> found;
    for (size_t i = 0; i < ggml_backend_dev_count(); ++i) {
        ggml_backend_dev_t device = ggml_backend_dev_get(i);
        const auto type = ggml_backend_dev_type(device);
        if (type == GGML_BACKEND_DEVICE_TYPE_GPU || type == GGML_BACKEND_DEVICE_TYPE_IGPU)
            found.push_back(device);
    }
    return found;
}

// A driver can list a device it cannot create or compute on; whisper.cpp would then fail the
// model's load, or worse. A product of half-precision weights, as the recogniser's, checked
// against the same sums done here.
std::optional<std::string> computeCheck(ggml_backend_dev_t device) {
    constexpr int64_t inner = 64, rows = 16, columns = 4;
    try {
        GgmlBackendPtr backend(ggml_backend_dev_init(device, nullptr));
        if (!backend)
            return "the device could not be opened";
        auto half = HalfProduct::make(backend.get(), inner, rows, columns);
        if (!half)
            return "no memory on the device";
        ggml_tensor* weights = half->weights;
        ggml_tensor* features = half->features;
        ggml_tensor* product = half->product;
        ggml_cgraph* graph = half->graph;
        // Small integers and halves: exact in half precision and in any order of summing.
        std::vector<float> w(static_cast<size_t>(inner * rows));
        for (size_t i = 0; i < w.size(); ++i)
            w[i] = static_cast<float>(static_cast<int>(i % 7) - 3) / 2.0f;
        std::vector<ggml_fp16_t> halves(w.size());
        ggml_fp32_to_fp16_row(w.data(), halves.data(), static_cast<int64_t>(w.size()));
        std::vector<float> x(static_cast<size_t>(inner * columns));
        for (size_t i = 0; i < x.size(); ++i)
            x[i] = static_cast<float>(static_cast<int>(i % 5) - 2);
        ggml_backend_tensor_set(weights, halves.data(), 0, halves.size() * sizeof(ggml_fp16_t));
        ggml_backend_tensor_set(features, x.data(), 0, x.size() * sizeof(float));
        if (ggml_backend_graph_compute(backend.get(), graph) != GGML_STATUS_SUCCESS)
            return "a computation failed";
        std::vector<float> result(static_cast<size_t>(rows * columns));
        ggml_backend_tensor_get(product, result.data(), 0, result.size() * sizeof(float));
        for (int64_t c = 0; c < columns; ++c)
            for (int64_t r = 0; r < rows; ++r) {
                double expected = 0;
                for (int64_t i = 0; i < inner; ++i)
                    expected += w[static_cast<size_t>(r * inner + i)] *
                                x[static_cast<size_t>(c * inner + i)];
                if (std::abs(result[static_cast<size_t>(c * rows + r)] - expected) > 0.05)
                    return "a computation gave wrong results";
            }
        return std::nullopt;
    } catch (const std::exception& e) {
        // Vulkan's errors reach here as exceptions.
        return std::string(e.what());
    }
}

} // namespace

ComputeDevice choose(bool useGPU, const std::vector<Candidate>& candidates,
                     const std::function<std::optional<std::string>(std::size_t index)>& check,
                     const std::string& processor) {
    ComputeDevice cpu{.gpu = false, .name = "CPU: " + processor};
    if (!useGPU || candidates.empty())
        return cpu;
    const auto& first = candidates.front();
    ComputeDevice gpu{.gpu = true, .name = first.registry + ": " + first.description};
    if (auto failure = check(0)) {
        Log::error("{} failed ({}); recognising on the processor", gpu.name, *failure);
        return cpu;
    }
    return gpu;
}

ComputeDevice processor() {
    return {.gpu = false, .name = "CPU: " + MachineSpeed::processorName()};
}

std::string speedKey(const ComputeDevice& device) {
    return MachineSpeed::keyOf(device.name);
}

ComputeDevice choose(bool useGPU) {
    if (!useGPU) {
        auto cpu = processor();
        MachineSpeed::useDevice(speedKey(cpu));
        return cpu;
    }
    static std::mutex guard;
    static std::optional<ComputeDevice> chosen;
    std::lock_guard lock(guard);
    if (chosen) {
        MachineSpeed::useDevice(speedKey(*chosen));
        return *chosen;
    }
    CpuBackend::require();
    auto devices = gpuDevices();
    std::vector<Candidate> candidates;
    for (auto* device : devices)
        candidates.push_back({ggml_backend_reg_name(ggml_backend_dev_backend_reg(device)),
                              ggml_backend_dev_description(device)});
    chosen = choose(
        true, candidates, [&](std::size_t index) { return computeCheck(devices[index]); },
        MachineSpeed::processorName());
    if (chosen->gpu)
        Log::info("Recognition runs on {}", chosen->name);
    MachineSpeed::useDevice(speedKey(*chosen));
    return *chosen;
}

ggml_backend* createBackend(const ComputeDevice& device, int threads) {
    if (!device.gpu)
        return CpuBackend::create(threads);
    CpuBackend::require();
    auto devices = gpuDevices();
    ggml_backend* backend = nullptr;
    try {
        backend = devices.empty() ? nullptr : ggml_backend_dev_init(devices.front(), nullptr);
    } catch (const std::exception& e) {
        Log::error("{} could not be opened: {}", device.name, e.what());
    }
    if (!backend)
        throw Error(device.name + " could not be opened.");
    return backend;
}

void prepareEnvironment() {
    const char* software = std::getenv(softwareVulkanVariable);
    if (software && std::string(software) == "1")
        ::setenv("GGML_VK_VISIBLE_DEVICES", "0", 0);
}

} // namespace tallyvox::ComputeDevices
