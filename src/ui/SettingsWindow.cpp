#include "ui/SettingsWindow.h"

#include "ui/SettingsGeneralTab.h"
#include "ui/SettingsPrivacyTab.h"
#include "ui/SettingsTranscriptionTab.h"
#include "ui/TrayIcons.h"

#include <QApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QScreen>
#include <QScrollArea>
#include <QStyle>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace tallyvox::ui {

namespace {

// The first of `names` the icon theme has; where it has none, the style's own symbol, so a
// tab never goes without one.
QIcon themeIcon(std::initializer_list<const char*> names, QStyle::StandardPixmap fallback) {
    for (const auto* name : names) {
        QIcon icon = QIcon::fromTheme(QString::fromLatin1(name));
        if (!icon.isNull())
            return icon;
    }
    return QApplication::style()->standardIcon(fallback);
}

// Long tabs scroll inside a window of ordinary height; the scroll area follows the focus.
QScrollArea* scrolling(QWidget* tab) {
    auto* area = new QScrollArea;
    area->setObjectName(tab->objectName() + QStringLiteral("Scroll"));
    area->setWidget(tab);
    area->setWidgetResizable(true);
    area->setFrameShape(QFrame::NoFrame);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    area->setFocusPolicy(Qt::NoFocus);
    return area;
}

} // namespace

SettingsWindow::SettingsWindow(UiContext& context, QWidget* parent)
    : QWidget(parent)
    , context_(context) {
    setObjectName(QStringLiteral("settingsWindow"));
    setWindowTitle(QStringLiteral("Tallyvox Settings"));
    setWindowIcon(appIcon());
    setFixedWidth(fixedWidth);

    tabs_ = new QTabWidget(this);
    tabs_->setObjectName(QStringLiteral("settingsTabs"));
    tabs_->setAccessibleName(QStringLiteral("Settings"));
    general_ = new SettingsGeneralTab(context_);
    transcription_ = new SettingsTranscriptionTab(context_);
    privacy_ = new SettingsPrivacyTab(context_);
    tabs_->addTab(
        scrolling(general_),
        themeIcon({"preferences-system-symbolic", "preferences-system", "emblem-system-symbolic"},
                  QStyle::SP_ComputerIcon),
        QStringLiteral("General"));
    tabs_->addTab(scrolling(transcription_),
                  themeIcon({"audio-input-microphone-symbolic", "audio-x-generic-symbolic",
                             "audio-x-generic"},
                            QStyle::SP_MediaVolume),
                  QStringLiteral("Transcription"));
    tabs_->addTab(scrolling(privacy_),
                  themeIcon({"security-high-symbolic", "security-high", "channel-secure-symbolic"},
                            QStyle::SP_DialogApplyButton),
                  QStringLiteral("Privacy"));

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_);
    // Tall enough for the General tab without scrolling, where the screen allows it.
    int height = 700;
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        height = std::min(height, screen->availableGeometry().height() - 60);
    resize(fixedWidth, std::max(height, 400));
}

} // namespace tallyvox::ui
