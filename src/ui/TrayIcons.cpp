#include "ui/TrayIcons.h"

#include <QGuiApplication>
#include <QPalette>

namespace tallyvox::ui {

TrayState trayState(bool transcribing, bool detected) {
    if (transcribing)
        return TrayState::transcribing;
    return detected ? TrayState::detected : TrayState::idle;
}

QString trayAccessibleName(TrayState state) {
    switch (state) {
    case TrayState::transcribing:
        return QStringLiteral("Tallyvox: transcribing");
    case TrayState::detected:
        return QStringLiteral("Tallyvox: meeting detected");
    case TrayState::idle:
        break;
    }
    return QStringLiteral("Tallyvox");
}

QIcon trayIcon(TrayState state, bool darkPanel) {
    const char* name = state == TrayState::transcribing ? "transcribing"
                       : state == TrayState::detected   ? "detected"
                                                        : "idle";
    return QIcon(QStringLiteral(":/tallyvox/icons/%1-%2.svg")
                     .arg(QLatin1String(name),
                          darkPanel ? QStringLiteral("dark") : QStringLiteral("light")));
}

bool paletteIsDark() {
    const QPalette palette = QGuiApplication::palette();
    return palette.color(QPalette::Window).lightness() <
           palette.color(QPalette::WindowText).lightness();
}

QIcon appIcon() {
    return QIcon::fromTheme(QStringLiteral("tallyvox"),
                            QIcon(QStringLiteral(":/tallyvox/icons/tallyvox.svg")));
}

} // namespace tallyvox::ui
