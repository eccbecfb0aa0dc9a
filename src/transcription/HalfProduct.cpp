#include "transcription/HalfProduct.h"

#include <ggml-alloc.h>

namespace tallyvox {

std::optional<HalfProduct> HalfProduct::make(ggml_backend* backend, std::int64_t inner,
                                             std::int64_t rows, std::int64_t columns) {
    HalfProduct half;
    const size_t bytes = ggml_graph_overhead() + 8 * ggml_tensor_overhead();
    half.context.reset(ggml_init({.mem_size = bytes, .mem_buffer = nullptr, .no_alloc = true}));
    if (!half.context)
        return std::nullopt;
    ggml_context* context = half.context.get();
    half.weights = ggml_new_tensor_2d(context, GGML_TYPE_F16, inner, rows);
    half.features = ggml_new_tensor_2d(context, GGML_TYPE_F32, inner, columns);
    half.product = ggml_mul_mat(context, half.weights, half.features);
    half.graph = ggml_new_graph(context);
    ggml_build_forward_expand(half.graph, half.product);
    half.buffer.reset(ggml_backend_alloc_ctx_tensors(context, backend));
    if (!half.buffer)
        return std::nullopt;
    return half;
}

} // namespace tallyvox
