#include "app/linux/ReducedMotion.h"

#include "app/linux/PortalSettings.h"

#include <gio/gio.h>

namespace tallyvox::linux_services {

bool reducesMotion(std::optional<std::uint32_t> portalReducedMotion,
                   std::optional<bool> gnomeAnimations) {
    if (portalReducedMotion == 1u)
        return true;
    if (portalReducedMotion == 0u)
        return false;
    return gnomeAnimations == false;
}

bool desktopReducesMotion() {
    std::optional<std::uint32_t> reduced;
    if (VariantPtr value = portalSetting("org.freedesktop.appearance", "reduced-motion");
        value && g_variant_is_of_type(value.get(), G_VARIANT_TYPE_UINT32))
        reduced = g_variant_get_uint32(value.get());
    std::optional<bool> animations;
    if (!reduced)
        if (VariantPtr value = portalSetting("org.gnome.desktop.interface", "enable-animations");
            value && g_variant_is_of_type(value.get(), G_VARIANT_TYPE_BOOLEAN))
            animations = g_variant_get_boolean(value.get()) != FALSE;
    return reducesMotion(reduced, animations);
}

} // namespace tallyvox::linux_services
