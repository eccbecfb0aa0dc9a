#include "DesktopFiles.h"

#include "base/Log.h"

#include <QDesktopServices>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

namespace tallyvox::desktop {

std::optional<std::string> openFile(const std::filesystem::path& file) {
    std::error_code error;
    if (!std::filesystem::exists(file, error)) {
        Log::error("Cannot open {}: it is gone", file.string());
        return "the file is gone";
    }
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(file.string())))) {
        Log::error("No application opens {}", file.string());
        return "no application is set to open it";
    }
    return std::nullopt;
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
