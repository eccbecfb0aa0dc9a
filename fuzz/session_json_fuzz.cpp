// Firefox's session store once decompressed: JSON of any shape and depth.
#include "detection/linux/BrowserSessionFormats.h"

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        tallyvox::BrowserSessionFormats::firefoxOpenTabs(
            std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const tallyvox::Error&) {
    }
    return 0;
}
