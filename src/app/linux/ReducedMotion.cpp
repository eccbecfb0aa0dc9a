#include "app/linux/ReducedMotion.h"

#include "app/linux/PortalSettings.h"

namespace tallyvox::linux_services {

bool reducesMotion(std::optional<std::uint32_t> portalReducedMotion,
                   std::optional<bool> gnomeAnimations) {
    if (portalReducedMotion == 1u)
        return true;
    if (portalReducedMotion == 0u)
        return false;
    return gnomeAnimations == false;
}

bool desktopReducesMotion(PortalSettings& portal) {
    auto reduced = portal.number("org.freedesktop.appearance", "reduced-motion");
    std::optional<bool> animations;
    if (!reduced)
        animations = portal.flag("org.gnome.desktop.interface", "enable-animations");
    return reducesMotion(reduced, animations);
}

} // namespace tallyvox::linux_services
