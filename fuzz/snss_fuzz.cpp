// Chromium's SNSS session files, as any local program could leave them in a profile folder.
#include "detection/linux/BrowserSessionFormats.h"

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        tallyvox::BrowserSessionFormats::chromiumOpenTabs(
            std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const tallyvox::Error&) {
    }
    return 0;
}
