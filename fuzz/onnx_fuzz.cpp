// The speaker model: a protobuf the user downloads, or a damaged copy of it.
#include "base/Error.h"
#include "speakers/OnnxModel.h"

#include <cstdint>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        tallyvox::onnx::parse(std::span<const std::uint8_t>(data, size));
    } catch (const tallyvox::Error&) {
    }
    return 0;
}
