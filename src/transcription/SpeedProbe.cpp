#include "transcription/SpeedProbe.h"

#include "base/Error.h"
#include "base/Log.h"
#include "base/UsableProcessors.h"
#include "transcription/GgmlHandles.h"
#include "transcription/HalfProduct.h"

#include <ggml-alloc.h>
#include <ggml-backend.h>
#include <ggml.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

namespace tallyvox::SpeedProbe {

namespace {

// The shape of one projection of a medium-sized model over a third of a window: large enough
// that the threads' start-up does not count, small enough to stay well under a second.
constexpr int64_t inner = 1024, outer = 1024, columns = 512;
constexpr int timedRuns = 8;
constexpr auto remeasureAfter = std::chrono::hours(24);

} // namespace

double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    if (values.size() % 2 != 0)
        return *middle;
    return (*middle + *std::max_element(values.begin(), middle)) / 2;
}

MachineSpeed measure(int threads, const ComputeDevice& device) {
    // Through the backend, as the recogniser computes: the package's ggml has no CPU functions
    // to link, only the kernels it loads for this processor, and a graphics processor is
    // only reached through its backend.
    GgmlBackendPtr backend(ComputeDevices::createBackend(device, threads));
    auto half = HalfProduct::make(backend.get(), inner, outer, columns);
    if (!half)
        throw Error("The speed probe has no memory to run in.");
    ggml_tensor* weights = half->weights;
    ggml_tensor* features = half->features;
    ggml_cgraph* graph = half->graph;

    std::vector<ggml_fp16_t> halves(static_cast<size_t>(inner * outer));
    std::vector<float> row(static_cast<size_t>(inner));
    for (int64_t r = 0; r < outer; ++r) {
        for (int64_t i = 0; i < inner; ++i)
            row[static_cast<size_t>(i)] = static_cast<float>((i * 7 + r * 13) % 17) / 17.0f - 0.5f;
        ggml_fp32_to_fp16_row(row.data(), halves.data() + r * inner, inner);
    }
    ggml_backend_tensor_set(weights, halves.data(), 0, halves.size() * sizeof(ggml_fp16_t));
    std::vector<float> input(static_cast<size_t>(inner * columns));
    for (size_t i = 0; i < input.size(); ++i)
        input[i] = static_cast<float>(i % 23) / 23.0f - 0.5f;
    ggml_backend_tensor_set(features, input.data(), 0, input.size() * sizeof(float));

    using Clock = std::chrono::steady_clock;
    std::vector<double> times;
    for (int run = 0; run <= timedRuns; ++run) {
        auto start = Clock::now();
        if (ggml_backend_graph_compute(backend.get(), graph) != GGML_STATUS_SUCCESS)
            throw Error("The speed probe could not run.");
        // The first run only warms the caches, the threads and the backend's work buffer.
        if (run > 0)
            times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    MachineSpeed speed;
    speed.gflops =
        2.0 * static_cast<double>(inner * outer * columns) / std::max(median(times), 1e-9) / 1e9;
    speed.threads = threads;
    speed.cpu = ComputeDevices::speedKey(device);
    return speed;
}

std::optional<MachineSpeed>
machineSpeed(const std::filesystem::path& cache,
             const std::function<MachineSpeed(int threads)>& measurement,
             const std::optional<ComputeDevice>& device) {
    const int threads = MachineSpeed::recognizerThreads(UsableProcessors::count());
    const ComputeDevice used = device ? *device : ComputeDevices::processor();
    const std::string cpu = ComputeDevices::speedKey(used);
    auto kept = MachineSpeed::cached(cpu, threads, cache);
    // Other programs can only make the machine look slower than it is, so the best figure
    // seen is kept, and it is measured again once a day in case the first was taken in a
    // busy moment.
    std::error_code error;
    const auto written = std::filesystem::last_write_time(cache, error);
    if (kept && !error && std::filesystem::file_time_type::clock::now() - written < remeasureAfter)
        return kept;
    MachineSpeed speed;
    try {
        speed = measurement ? measurement(threads) : measure(threads, used);
        speed.threads = threads;
        speed.cpu = cpu;
    } catch (const std::exception& e) {
        Log::error("Speed probe failed: {}", e.what());
        return kept;
    }
    Log::info("Speed probe: {:.1f} GFLOPS on {}, {} threads", speed.gflops, used.name, threads);
    if (kept && kept->gflops > speed.gflops)
        speed.gflops = kept->gflops;
    // What sessions measured stays: it describes the same processor and threads.
    if (kept) {
        speed.recognition = kept->recognition;
        speed.speakers = kept->speakers;
    }
    try {
        speed.store(cache);
    } catch (const std::exception& e) {
        Log::error("Speed probe result not kept: {}", e.what());
    }
    return speed;
}

} // namespace tallyvox::SpeedProbe
