#include "app/linux/AutostartEntry.h"

#include "base/AtomicFile.h"
#include "base/Error.h"
#include "base/XdgPaths.h"

#include <cerrno>
#include <cstdio>

namespace tallyvox::linux_services::AutostartEntry {

std::filesystem::path path() {
    return XdgPaths::configHome() / "autostart" / "tallyvox.desktop";
}

bool isEnabled(const std::filesystem::path& at) {
    auto content = readWholeFile(at);
    // A user who turned the entry off in the desktop's own settings left it "Hidden".
    return content && content->find("\nHidden=true") == std::string::npos;
}

void setEnabled(bool enabled, const std::string& executable, const std::filesystem::path& at) {
    if (!enabled) {
        if (std::remove(at.c_str()) != 0 && errno != ENOENT)
            throw FileError(at.string(), errno);
        return;
    }
    // Exec keys treat some characters specially; quoting keeps paths with spaces whole.
    std::string quoted = "\"";
    for (char c : executable) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    writeFileAtomically(at, "[Desktop Entry]\n"
                            "Type=Application\n"
                            "Name=Tallyvox\n"
                            "Comment=Transcribes your meetings on this computer\n"
                            "Exec=" +
                                quoted +
                                "\n"
                                "Icon=tallyvox\n"
                                "Terminal=false\n"
                                "X-GNOME-Autostart-enabled=true\n");
}

} // namespace tallyvox::linux_services::AutostartEntry
