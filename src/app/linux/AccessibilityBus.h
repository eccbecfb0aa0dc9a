#pragma once

namespace tallyvox::linux_services {

// The desktop's accessibility bus (AT-SPI2), through which other applications show their
// controls. It plays the part of a permission: while it is off, apps expose nothing.
namespace AccessibilityBus {

// Whether the bus is switched on (org.a11y.Status IsEnabled).
bool isEnabled();

// Switches the bus on for this desktop session. Apps read the setting when they start, so
// those already running show their controls only after a restart. False when it could not
// be set (no session bus, no bus launcher).
bool enable();

} // namespace AccessibilityBus

} // namespace tallyvox::linux_services
