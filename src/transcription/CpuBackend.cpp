#include "transcription/CpuBackend.h"

#include "base/Error.h"
#include "base/Log.h"
#include "transcription/ComputeDevice.h"

#include <ggml-backend.h>

#include <mutex>
#include <string>

namespace tallyvox::CpuBackend {

namespace {

ggml_backend_dev_t cpuDevice() {
    return ggml_backend_dev_by_type(GGML_BACKEND_DEVICE_TYPE_CPU);
}

} // namespace

std::filesystem::path libraryFolder() {
    std::error_code error;
    auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        return {};
    return executable.parent_path().parent_path() / libraryFolderName;
}

void require(const std::filesystem::path& folder) {
    // The registry is global and ggml's loader is not safe to enter twice at once.
    static std::mutex loading;
    std::lock_guard lock(loading);
    if (cpuDevice())
        return;
    // ggml's loader reports on stderr; like whisper.cpp's, its messages stay off the console.
    ggml_log_set([](ggml_log_level, const char*, void*) {}, nullptr);
    // The graphics libraries in the folder read their settings as they load.
    ComputeDevices::prepareEnvironment();
    std::string reason;
    if (!folder.empty()) {
        try {
            ggml_backend_load_all_from_path(folder.c_str());
        } catch (const std::exception& e) {
            // A folder that cannot be listed throws from inside ggml.
            reason = e.what();
        }
    }
    if (auto* device = cpuDevice()) {
        Log::info("Recogniser kernels: {} from {}", ggml_backend_dev_description(device),
                  folder.string());
        return;
    }
    if (!reason.empty())
        Log::error("Loading the recogniser's processor libraries failed: {}", reason);
    throw Error("The recogniser's processor libraries are missing from " + folder.string() +
                ". Reinstall Tallyvox.");
}

void require() {
    require(libraryFolder());
}

ggml_backend* create(int threads) {
    require();
    ggml_backend_t backend = ggml_backend_dev_init(cpuDevice(), nullptr);
    if (!backend)
        throw Error("The recogniser could not start on this processor.");
    // The thread count is set through the registry: a build that loads its CPU code at run time
    // cannot link ggml's CPU functions.
    auto* reg = ggml_backend_dev_backend_reg(ggml_backend_get_device(backend));
    if (auto setThreads = reinterpret_cast<ggml_backend_set_n_threads_t>(
            ggml_backend_reg_get_proc_address(reg, "ggml_backend_set_n_threads")))
        setThreads(backend, threads);
    return backend;
}

} // namespace tallyvox::CpuBackend
