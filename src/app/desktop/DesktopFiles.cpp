#include "DesktopFiles.h"

#include "base/Log.h"

#include <QDesktopServices>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

namespace tallyvox::desktop {

void openFile(const std::filesystem::path& file) {
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(file.string()))))
        Log::error("No application opens {}", file.string());
}

void openSystemSettings(const std::string& page) {
    // GNOME's and KDE's settings apps each name their pages their own way.
    QStringList gnome, kde;
    if (page == "microphone") {
        gnome = {QStringLiteral("privacy"), QStringLiteral("microphone")};
        kde = {QStringLiteral("kcm_pulseaudio")};
    } else {
        gnome = {QStringLiteral("universal-access")};
        kde = {QStringLiteral("kcm_access")};
    }
    if (!QStandardPaths::findExecutable(QStringLiteral("gnome-control-center")).isEmpty())
        QProcess::startDetached(QStringLiteral("gnome-control-center"), gnome);
    else if (!QStandardPaths::findExecutable(QStringLiteral("systemsettings")).isEmpty())
        QProcess::startDetached(QStringLiteral("systemsettings"), kde);
    else
        Log::info("No settings app known for the {} page", page);
}

} // namespace tallyvox::desktop
