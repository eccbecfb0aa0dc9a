// The settings and consent files: property lists anyone with the user's files can edit
// (the preferences may be binary ones).
#include "settings/PlistValue.h"

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tallyvox::PlistValue::fromFileBytes(
        std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
