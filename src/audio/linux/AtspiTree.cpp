#include "audio/linux/AtspiTree.h"

#include "base/Log.h"

#include <atspi/atspi.h>

#include <mutex>

namespace tallyvox {

namespace {

std::mutex& atspiLock() {
    static std::mutex lock;
    return lock;
}

GMainContext* context = nullptr;
bool busReached = false;

// Called with the lock held.
bool initialise() {
    static bool done = false;
    if (!done) {
        done = true;
        // 0: connected now; 1: already connected; anything else: no bus.
        int result = atspi_init();
        busReached = (result == 0 || result == 1) && atspi_get_a11y_bus() != nullptr;
        if (busReached) {
            // Cache updates and events are handled here when we pump, not on whatever loop
            // runs the default context (Qt's, in the desktop app).
            context = g_main_context_new();
            atspi_set_main_context(context);
        } else {
            Log::error("Accessibility bus cannot be reached");
        }
    }
    return busReached;
}

// Handles what the bus has sent since the last read.
void pump() {
    if (!context)
        return;
    while (g_main_context_iteration(context, FALSE)) {
    }
}

std::optional<std::string> taken(gchar* text, GError* error) {
    if (error) {
        g_error_free(error);
        g_free(text);
        return std::nullopt;
    }
    if (!text)
        return std::nullopt;
    std::string out(text);
    g_free(text);
    return out;
}

class AtspiElement : public AccessibleElement {
public:
    // Takes over one reference.
    explicit AtspiElement(AtspiAccessible* object)
        : object_(object) {}
    ~AtspiElement() override {
        std::lock_guard lock(atspiLock());
        g_object_unref(object_);
    }

    std::optional<std::string> name() override {
        std::lock_guard lock(atspiLock());
        GError* error = nullptr;
        gchar* text = atspi_accessible_get_name(object_, &error);
        return taken(text, error);
    }

    std::optional<std::string> description() override {
        std::lock_guard lock(atspiLock());
        GError* error = nullptr;
        gchar* text = atspi_accessible_get_description(object_, &error);
        return taken(text, error);
    }

    // AT-SPI 2.46 has no help text; tooltips of toolkits that show one arrive as the
    // description.
    std::optional<std::string> helpText() override { return std::nullopt; }

    std::optional<Role> role() override {
        std::lock_guard lock(atspiLock());
        GError* error = nullptr;
        AtspiRole role = atspi_accessible_get_role(object_, &error);
        if (error) {
            g_error_free(error);
            return std::nullopt;
        }
        switch (role) {
        case ATSPI_ROLE_DOCUMENT_WEB:
            return Role::webArea;
        case ATSPI_ROLE_PUSH_BUTTON:
        case ATSPI_ROLE_PUSH_BUTTON_MENU:
        case ATSPI_ROLE_MENU_ITEM:
            return Role::button;
        case ATSPI_ROLE_TOGGLE_BUTTON:
        case ATSPI_ROLE_CHECK_BOX:
        case ATSPI_ROLE_CHECK_MENU_ITEM:
            return Role::toggle;
        default:
            return Role::other;
        }
    }

    std::optional<std::string> url() override {
        std::lock_guard lock(atspiLock());
        AtspiDocument* document = atspi_accessible_get_document_iface(object_);
        if (!document)
            return std::nullopt;
        std::optional<std::string> out;
        // Firefox names it "DocURL"; Chromium and WebKit "URI".
        for (const char* key : {"DocURL", "URI"}) {
            GError* error = nullptr;
            gchar* text = atspi_document_get_document_attribute_value(
                document, const_cast<gchar*>(key), &error);
            out = taken(text, error);
            if (out && !out->empty())
                break;
            out.reset();
        }
        g_object_unref(document);
        return out;
    }

    std::optional<double> value() override {
        std::lock_guard lock(atspiLock());
        AtspiValue* value = atspi_accessible_get_value_iface(object_);
        if (!value)
            return std::nullopt;
        GError* error = nullptr;
        double number = atspi_value_get_current_value(value, &error);
        g_object_unref(value);
        if (error) {
            g_error_free(error);
            return std::nullopt;
        }
        return number;
    }

    std::optional<States> states() override {
        std::lock_guard lock(atspiLock());
        AtspiStateSet* set = atspi_accessible_get_state_set(object_);
        if (!set)
            return std::nullopt;
        States out{
            .checkable = atspi_state_set_contains(set, ATSPI_STATE_CHECKABLE) != FALSE,
            .checked = atspi_state_set_contains(set, ATSPI_STATE_CHECKED) != FALSE,
            .pressed = atspi_state_set_contains(set, ATSPI_STATE_PRESSED) != FALSE,
        };
        g_object_unref(set);
        return out;
    }

    std::optional<std::vector<std::shared_ptr<AccessibleElement>>>
    children(std::size_t limit) override {
        std::lock_guard lock(atspiLock());
        GError* error = nullptr;
        gint count = atspi_accessible_get_child_count(object_, &error);
        if (error) {
            g_error_free(error);
            return std::nullopt;
        }
        std::vector<std::shared_ptr<AccessibleElement>> out;
        for (gint i = 0; i < count && out.size() < limit; ++i) {
            GError* failed = nullptr;
            AtspiAccessible* child = atspi_accessible_get_child_at_index(object_, i, &failed);
            if (failed) {
                g_error_free(failed);
                if (child)
                    g_object_unref(child);
                continue;
            }
            if (child)
                out.push_back(std::make_shared<AtspiElement>(child));
        }
        return out;
    }

    void refresh() override {
        std::lock_guard lock(atspiLock());
        pump();
        atspi_accessible_clear_cache(object_);
    }

private:
    AtspiAccessible* object_;
};

} // namespace

AtspiTree::AtspiTree() {
    std::lock_guard lock(atspiLock());
    connected_ = initialise();
}

AtspiTree::~AtspiTree() = default;

void AtspiTree::setTimeout(std::chrono::milliseconds timeout) {
    std::lock_guard lock(atspiLock());
    auto ms = static_cast<gint>(timeout.count());
    // Apps just started get no longer: a watcher asks again next second.
    atspi_set_timeout(ms, ms);
}

std::shared_ptr<AccessibleElement> AtspiTree::application(std::int32_t pid) {
    if (!connected_)
        return nullptr;
    AtspiAccessible* found = nullptr;
    {
        std::lock_guard lock(atspiLock());
        pump();
        AtspiAccessible* desktop = atspi_get_desktop(0);
        if (!desktop)
            return nullptr;
        // The list of applications changes as they come and go.
        atspi_accessible_clear_cache(desktop);
        GError* error = nullptr;
        gint count = atspi_accessible_get_child_count(desktop, &error);
        if (error) {
            g_error_free(error);
            count = 0;
        }
        for (gint i = 0; i < count && !found; ++i) {
            GError* failed = nullptr;
            AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop, i, &failed);
            if (failed)
                g_error_free(failed);
            if (!app)
                continue;
            GError* noPid = nullptr;
            guint appPid = atspi_accessible_get_process_id(app, &noPid);
            if (noPid)
                g_error_free(noPid);
            else if (static_cast<std::int32_t>(appPid) == pid)
                found = app;
            if (!found)
                g_object_unref(app);
        }
        g_object_unref(desktop);
    }
    if (!found)
        return nullptr;
    return std::make_shared<AtspiElement>(found);
}

} // namespace tallyvox
