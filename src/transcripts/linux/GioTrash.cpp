#include "transcripts/linux/GioTrash.h"

#include "base/Error.h"

#include <gio/gio.h>

namespace tallyvox::linux_services {

void moveToTrash(const std::filesystem::path& file) {
    GFile* handle = g_file_new_for_path(file.c_str());
    GError* error = nullptr;
    gboolean moved = g_file_trash(handle, nullptr, &error);
    g_object_unref(handle);
    if (!moved) {
        std::string description =
            error ? error->message : "The file could not be moved to the Trash";
        if (error)
            g_error_free(error);
        throw Error(description);
    }
}

} // namespace tallyvox::linux_services
