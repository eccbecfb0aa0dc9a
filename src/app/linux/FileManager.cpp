#include "app/linux/FileManager.h"

#include "app/linux/GlibHandles.h"
#include "app/linux/PrivateBus.h"

#include <gio/gio.h>

namespace tallyvox::linux_services {

namespace {

std::optional<std::string> openFolder(const std::filesystem::path& folder) {
    GError* failure = nullptr;
    GObjectPtr<GFile> file(g_file_new_for_path(folder.c_str()));
    TextPtr uri(g_file_get_uri(file.get()));
    if (g_app_info_launch_default_for_uri(uri.get(), nullptr, &failure))
        return std::nullopt;
    ErrorPtr error(failure);
    return std::string(error ? error->message : "no application opens folders");
}

} // namespace

std::optional<std::string> showInFileManager(const std::filesystem::path& file) {
    if (g_getenv("DBUS_SESSION_BUS_ADDRESS") || g_getenv("XDG_RUNTIME_DIR")) {
        if (auto bus = privateBus(G_BUS_TYPE_SESSION)) {
            GObjectPtr<GFile> handle(g_file_new_for_path(file.c_str()));
            TextPtr uri(g_file_get_uri(handle.get()));
            const char* uris[] = {uri.get(), nullptr};
            VariantPtr reply(g_dbus_connection_call_sync(
                bus.get(), "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                "org.freedesktop.FileManager1", "ShowItems", g_variant_new("(^ass)", uris, ""),
                nullptr, G_DBUS_CALL_FLAGS_NONE, 3000, nullptr, nullptr));
            if (reply)
                return std::nullopt;
        }
    }
    return openFolder(file.parent_path());
}

} // namespace tallyvox::linux_services
