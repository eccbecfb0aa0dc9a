#include "app/linux/LogindInhibitor.h"

#include "app/linux/GlibHandles.h"
#include "base/Log.h"

#include <gio/gunixfdlist.h>

namespace tallyvox::linux_services {

int takeDelayInhibitor(GDBusConnection* systemBus, const char* what, const char* why) {
    if (!systemBus)
        return -1;
    GUnixFDList* receivedFds = nullptr;
    GError* failure = nullptr;
    VariantPtr reply(g_dbus_connection_call_with_unix_fd_list_sync(
        systemBus, login1, login1Path, login1Manager, "Inhibit",
        g_variant_new("(ssss)", what, "Tallyvox", why, "delay"), G_VARIANT_TYPE("(h)"),
        G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &receivedFds, nullptr, &failure));
    GObjectPtr<GUnixFDList> fds(receivedFds);
    ErrorPtr error(failure);
    if (!reply) {
        Log::debug("No {} inhibitor: {}", what, error ? error->message : "unknown error");
        return -1;
    }
    gint32 index = -1;
    g_variant_get(reply.get(), "(h)", &index);
    return fds ? g_unix_fd_list_get(fds.get(), index, nullptr) : -1;
}

} // namespace tallyvox::linux_services
