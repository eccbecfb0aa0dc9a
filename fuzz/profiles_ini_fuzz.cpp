// Firefox's profiles.ini and installs.ini: lines of any length, groups of any number.
#include "detection/linux/BrowserSessionFormats.h"

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tallyvox::BrowserSessionFormats::firefoxProfilePaths(
        std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
