#include "detection/AudioProcessList.h"

namespace tallyvox {

bool AudioProcessList::isPhysical(const Source& source) {
    static constexpr std::string_view monitorSuffix = ".monitor";
    if (source.monitor || source.name.ends_with(monitorSuffix))
        return false;
    return source.hardware || source.deviceAPI == "alsa" || source.deviceAPI.starts_with("bluez");
}

} // namespace tallyvox
