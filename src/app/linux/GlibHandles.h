#pragma once

#include <gio/gio.h>

#include <memory>

// Owning handles for what GLib hands over with a reference or an allocation.
namespace tallyvox::linux_services {

struct ReleaseGObject {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <class T> using GObjectPtr = std::unique_ptr<T, ReleaseGObject>;

struct ReleaseVariant {
    void operator()(GVariant* value) const { g_variant_unref(value); }
};
using VariantPtr = std::unique_ptr<GVariant, ReleaseVariant>;

struct ReleaseError {
    void operator()(GError* error) const { g_error_free(error); }
};
using ErrorPtr = std::unique_ptr<GError, ReleaseError>;

struct ReleaseText {
    void operator()(gchar* text) const { g_free(text); }
};
using TextPtr = std::unique_ptr<gchar, ReleaseText>;

struct ReleaseMainContext {
    void operator()(GMainContext* context) const { g_main_context_unref(context); }
};
using MainContextPtr = std::unique_ptr<GMainContext, ReleaseMainContext>;

struct ReleaseMainLoop {
    void operator()(GMainLoop* loop) const { g_main_loop_unref(loop); }
};
using MainLoopPtr = std::unique_ptr<GMainLoop, ReleaseMainLoop>;

} // namespace tallyvox::linux_services
