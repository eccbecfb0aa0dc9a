#include "audio/OutputTap.h"

namespace tallyvox {

namespace {
bool has(const std::string& text, const char* word) {
    return text.find(word) != std::string::npos;
}
} // namespace

bool OutputDeviceInfo::isBuiltInSpeakers(const std::optional<OutputDeviceInfo>& info) {
    if (!info)
        return true;
    if (info->bus == "usb" || info->bus == "bluetooth" || info->api == "bluez")
        return false;
    if (info->formFactor == "headphone" || info->formFactor == "headset" ||
        info->formFactor == "tv" || info->formFactor == "hands-free")
        return false;
    if (info->activePortIsHeadphones || info->activePortIsExternalDisplay)
        return false;
    const std::string& port = info->activePort;
    return !(has(port, "headphone") || has(port, "headset") || has(port, "hdmi") ||
             has(port, "iec958") || has(port, "displayport"));
}

} // namespace tallyvox
