// The settings and consent files: XML property lists anyone with the user's files can edit.
#include "settings/PlistValue.h"

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tallyvox::PlistValue::fromXml(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
