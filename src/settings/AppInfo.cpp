#include "settings/AppInfo.h"

#include "BuildInfo.h"

namespace tallyvox::AppInfo {

namespace {
std::string orDev(const char* value) {
    std::string text = value ? value : "";
    return text.empty() ? "dev" : text;
}
} // namespace

std::string version() {
    return orDev(TALLYVOX_VERSION);
}
std::string build() {
    return orDev(TALLYVOX_BUILD_NUMBER);
}
std::string buildDate() {
    return orDev(TALLYVOX_BUILD_DATE);
}

std::string summary() {
    return "Version " + version() + " \u00b7 Build " + build() + " \u00b7 " + buildDate();
}

} // namespace tallyvox::AppInfo
