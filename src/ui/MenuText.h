#pragma once

#include <QString>

#include <string>

namespace tallyvox::ui {

// A name someone typed or a calendar sent, as a menu item's text: Qt takes "&" there as the
// mark of a keyboard shortcut, so "R&D" would show as "RD" with the D underlined.
inline QString menuText(const std::string& name) {
    return QString::fromStdString(name).replace(QLatin1Char('&'), QStringLiteral("&&"));
}

} // namespace tallyvox::ui
