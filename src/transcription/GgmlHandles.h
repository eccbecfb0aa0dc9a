#pragma once

#include <ggml-backend.h>
#include <ggml.h>

#include <memory>

namespace tallyvox {

// Owners of ggml's handles, so a computation that throws half-way frees what it made.
struct GgmlContextFree {
    void operator()(ggml_context* context) const { ggml_free(context); }
};
struct GgmlBackendFree {
    void operator()(ggml_backend* backend) const { ggml_backend_free(backend); }
};
struct GgmlBufferFree {
    void operator()(ggml_backend_buffer* buffer) const { ggml_backend_buffer_free(buffer); }
};

using GgmlContextPtr = std::unique_ptr<ggml_context, GgmlContextFree>;
using GgmlBackendPtr = std::unique_ptr<ggml_backend, GgmlBackendFree>;
using GgmlBufferPtr = std::unique_ptr<ggml_backend_buffer, GgmlBufferFree>;

} // namespace tallyvox
