#pragma once

#include <QIcon>
#include <QString>

namespace tallyvox::ui {

enum class TrayState { idle, detected, transcribing };

// transcribing = the manager has a session; detected = a meeting is detected.
TrayState trayState(bool transcribing, bool detected);
// What screen readers say for the tray item.
QString trayAccessibleName(TrayState state);
// `darkPanel`: glyphs light enough to read on a dark panel.
QIcon trayIcon(TrayState state, bool darkPanel);
// Whether the desktop's palette is dark (light text on dark windows).
bool paletteIsDark();
QIcon appIcon();

} // namespace tallyvox::ui
