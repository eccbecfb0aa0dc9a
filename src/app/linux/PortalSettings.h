#pragma once

#include <cstdint>
#include <memory>
#include <optional>

struct _GDBusConnection;
struct _GVariant;

namespace tallyvox::linux_services {

// The settings the desktop shares with apps through the session's settings portal
// (org.freedesktop.portal.Settings), read over one connection of our own. A portal that is
// missing or does not answer within a second is not asked again, so start-up waits at most
// once for it.
class PortalSettings {
public:
    PortalSettings();
    ~PortalSettings();
    PortalSettings(const PortalSettings&) = delete;
    PortalSettings& operator=(const PortalSettings&) = delete;

    // Nothing when there is no session bus, no portal, no such setting, no answer, or a
    // value of another type.
    std::optional<std::uint32_t> number(const char* nameSpace, const char* key);
    std::optional<bool> flag(const char* nameSpace, const char* key);

private:
    _GVariant* read(const char* nameSpace, const char* key);

    _GDBusConnection* bus_ = nullptr;
};

} // namespace tallyvox::linux_services
