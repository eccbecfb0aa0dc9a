#pragma once

#include "transcription/GgmlHandles.h"

#include <cstdint>
#include <optional>

namespace tallyvox {

// The recogniser's main kind of work, set up on a backend: half-precision weights
// [inner × rows] times single-precision features [inner × columns], as one graph whose
// tensors live on the backend. The speed probe times it; the device check verifies its sums.
struct HalfProduct {
    GgmlContextPtr context;
    GgmlBufferPtr buffer;
    ggml_tensor* weights = nullptr;
    ggml_tensor* features = nullptr;
    ggml_tensor* product = nullptr;
    ggml_cgraph* graph = nullptr;

    // Nothing when the context or the backend's memory cannot be had.
    static std::optional<HalfProduct> make(ggml_backend* backend, std::int64_t inner,
                                           std::int64_t rows, std::int64_t columns);
};

} // namespace tallyvox
