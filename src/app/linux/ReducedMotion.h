#pragma once

#include <cstdint>
#include <optional>

namespace tallyvox::linux_services {

class PortalSettings;

// Whether the desktop asks apps to keep still. The settings portal's reduced-motion
// (org.freedesktop.appearance: 0 no preference, 1 reduce) decides where the portal has it;
// otherwise GNOME's animations switch (org.gnome.desktop.interface enable-animations), which
// the GTK portal shares. With neither answer, motion is wanted, as desktops ship.
bool reducesMotion(std::optional<std::uint32_t> portalReducedMotion,
                   std::optional<bool> gnomeAnimations);

// Asks the session's settings portal.
bool desktopReducesMotion(PortalSettings& portal);

} // namespace tallyvox::linux_services
