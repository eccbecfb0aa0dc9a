#include "app/linux/EdsCalendar.h"

#include "app/linux/GlibHandles.h"
#include "base/Log.h"

#include <libecal/libecal.h>
#include <libedataserver/libedataserver.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace tallyvox::linux_services {

namespace {

using CalendarRoster::Event;

// Questions whose caller stopped waiting while their thread still runs: while one hangs in the
// service, no other starts.
std::atomic<int> abandoned{0};

// One question to the service, shared by the thread that asks it and the caller that waits,
// who may stop waiting and leave the thread to finish alone.
struct Question {
    std::mutex mutex;
    std::condition_variable changed;
    bool registryAnswered = false;
    bool allowed = false;
    bool finished = false;
    bool leftAlone = false;
    std::optional<std::vector<Event>> events;
    GObjectPtr<GCancellable> cancellable{g_cancellable_new()};

    void answerRegistry(bool ok) {
        {
            std::lock_guard lock(mutex);
            registryAnswered = true;
            allowed = ok;
        }
        changed.notify_all();
    }
    void finish(std::optional<std::vector<Event>> result) {
        {
            std::lock_guard lock(mutex);
            events = std::move(result);
            finished = true;
            if (leftAlone)
                --abandoned;
        }
        changed.notify_all();
    }
    bool cancelled() const { return g_cancellable_is_cancelled(cancellable.get()); }
};

std::optional<std::string> textOf(const char* value) {
    if (!value)
        return std::nullopt;
    return std::string(value);
}

// The zone the rest of the app reads local times in: the TZ variable's zone where it names
// one, else the system's. Floating times (no zone) are in it.
ICalTimezone* localZone() {
    if (const char* tz = g_getenv("TZ"); tz && *tz) {
        if (auto* zone = i_cal_timezone_get_builtin_timezone(tz[0] == ':' ? tz + 1 : tz))
            return zone;
    }
    if (auto* zone = e_cal_util_get_system_timezone())
        return zone;
    return i_cal_timezone_get_utc_timezone();
}

SystemTime timeOf(ICalTime* time, ICalTimezone* local) {
    ICalTimezone* zone = i_cal_time_get_timezone(time);
    return std::chrono::system_clock::from_time_t(
        i_cal_time_as_timet_with_zone(time, zone ? zone : local));
}

struct Collecting {
    std::vector<Event>* events;
    ICalTimezone* local;
};

Event eventOf(ICalComponent* component, ICalTime* start, ICalTime* end, ICalTimezone* local) {
    Event event;
    event.title = textOf(i_cal_component_get_summary(component));
    event.start = timeOf(start, local);
    event.end = end ? timeOf(end, local) : event.start;
    event.allDay = i_cal_time_is_date(start);
    event.location = textOf(i_cal_component_get_location(component));
    event.notes = textOf(i_cal_component_get_description(component));
    if (GObjectPtr<ICalProperty> url{
            i_cal_component_get_first_property(component, I_CAL_URL_PROPERTY)})
        event.url = textOf(i_cal_property_get_url(url.get()));
    for (GObjectPtr<ICalProperty> attendee{
             i_cal_component_get_first_property(component, I_CAL_ATTENDEE_PROPERTY)};
         attendee;
         attendee.reset(i_cal_component_get_next_property(component, I_CAL_ATTENDEE_PROPERTY))) {
        GObjectPtr<ICalParameter> name{
            i_cal_property_get_first_parameter(attendee.get(), I_CAL_CN_PARAMETER)};
        const char* cn = name ? i_cal_parameter_get_cn(name.get()) : nullptr;
        event.attendees.emplace_back(cn ? cn : "");
    }
    return event;
}

gboolean collect(ICalComponent* component, ICalTime* start, ICalTime* end, gpointer data,
                 GCancellable* cancellable, GError**) {
    auto* into = static_cast<Collecting*>(data);
    into->events->push_back(eventOf(component, start, end, into->local));
    return !g_cancellable_is_cancelled(cancellable);
}

std::string messageOf(GError* error) {
    return error ? error->message : "unknown error";
}

// The enabled calendars, in the order of their names (the registry keeps no order).
std::vector<GObjectPtr<ESource>> calendarsOf(ESourceRegistry* registry) {
    std::vector<GObjectPtr<ESource>> calendars;
    GList* listed = e_source_registry_list_enabled(registry, E_SOURCE_EXTENSION_CALENDAR);
    for (GList* item = listed; item; item = item->next)
        calendars.emplace_back(static_cast<ESource*>(item->data));
    g_list_free(listed);
    std::stable_sort(calendars.begin(), calendars.end(), [](const auto& a, const auto& b) {
        return g_utf8_collate(e_source_get_display_name(a.get()),
                              e_source_get_display_name(b.get())) < 0;
    });
    return calendars;
}

std::optional<std::vector<Event>> read(Question& question, bool registryOnly, std::time_t from,
                                       std::time_t to) {
    GCancellable* cancellable = question.cancellable.get();
    GError* failure = nullptr;

    // libecal talks over GIO's shared session connection, which by default ends the process
    // when the bus goes away; holding it here while we ask keeps it from doing so.
    GObjectPtr<GDBusConnection> bus{g_bus_get_sync(G_BUS_TYPE_SESSION, cancellable, &failure)};
    ErrorPtr busError(std::exchange(failure, nullptr));
    if (!bus) {
        question.answerRegistry(false);
        if (!question.cancelled())
            Log::error("Calendar service unavailable: {}", messageOf(busError.get()));
        return std::nullopt;
    }
    g_dbus_connection_set_exit_on_close(bus.get(), FALSE);

    GObjectPtr<ESourceRegistry> registry{e_source_registry_new_sync(cancellable, &failure)};
    ErrorPtr registryError(std::exchange(failure, nullptr));
    question.answerRegistry(registry != nullptr);
    if (!registry) {
        if (!question.cancelled())
            Log::error("Calendar service unavailable: {}", messageOf(registryError.get()));
        return std::nullopt;
    }
    if (registryOnly)
        return std::nullopt;

    ICalTimezone* local = localZone();
    std::vector<Event> events;
    for (const auto& calendar : calendarsOf(registry.get())) {
        if (question.cancelled())
            return std::nullopt;
        GObjectPtr<EClient> client{e_cal_client_connect_sync(
            calendar.get(), E_CAL_CLIENT_SOURCE_TYPE_EVENTS,
            // Remote calendars answer from their local copy; waiting for their servers could
            // take far longer than a session start may.
            static_cast<guint32>(-1), cancellable, &failure)};
        ErrorPtr openError(std::exchange(failure, nullptr));
        if (!client) {
            if (!question.cancelled())
                Log::error("Calendar \"{}\" not opened: {}",
                           e_source_get_display_name(calendar.get()), messageOf(openError.get()));
            continue;
        }
        auto* reader = E_CAL_CLIENT(client.get());
        e_cal_client_set_default_timezone(reader, local);
        Collecting into{&events, local};
        // Occurrences, so that a repeating meeting counts by today's date, not its first.
        e_cal_client_generate_instances_sync(reader, from, to, cancellable, collect, &into);
    }
    if (question.cancelled())
        return std::nullopt;
    return events;
}

// One question at a time: a source registry made while another is still being torn down on
// another thread lists no calendars.
std::mutex oneAtATime;

// Asks on a thread of its own with its own GLib context, so that nothing libecal schedules
// lands on the context of whoever asked (the desktop app's main loop).
std::shared_ptr<Question> ask(bool registryOnly, std::time_t from, std::time_t to) {
    auto question = std::make_shared<Question>();
    std::thread([question, registryOnly, from, to] {
        std::optional<std::vector<Event>> events;
        {
            std::lock_guard serial(oneAtATime);
            MainContextPtr context(g_main_context_new());
            g_main_context_push_thread_default(context.get());
            events = read(*question, registryOnly, from, to);
            // What libecal left scheduled runs now, while its objects still have a context.
            for (int turn = 0; turn < 100 && g_main_context_iteration(context.get(), FALSE);
                 ++turn) {
            }
            g_main_context_pop_thread_default(context.get());
        }
        question->finish(std::move(events));
    }).detach();
    return question;
}

bool busy() {
    if (abandoned.load() == 0)
        return false;
    Log::error("Calendar not read: the calendar service has not answered an earlier question");
    return true;
}

bool hasSessionBus() {
    // Without either, GIO would try to launch a bus for an X11 display.
    return g_getenv("DBUS_SESSION_BUS_ADDRESS") || g_getenv("XDG_RUNTIME_DIR");
}

// Waits for the registry within `limits.registry`, then for the end within `limits.lookup`
// (both from now); past either, the question is cancelled and left to end on its own thread.
bool waitFor(Question& question, const EdsCalendar::Limits& limits, bool registryOnly) {
    auto began = std::chrono::steady_clock::now();
    std::unique_lock lock(question.mutex);
    bool answered = question.changed.wait_until(lock, began + limits.registry, [&] {
        return question.registryAnswered || question.finished;
    });
    if (answered && !registryOnly)
        answered = question.changed.wait_until(lock, began + limits.lookup,
                                               [&] { return question.finished; });
    bool registryLate = !question.registryAnswered;
    if (answered)
        return true;
    question.leftAlone = true;
    ++abandoned;
    lock.unlock();
    g_cancellable_cancel(question.cancellable.get());
    if (registryLate)
        Log::error("Calendar service did not answer within {} ms", limits.registry.count());
    else
        Log::error("Calendars not read within {} ms", limits.lookup.count());
    return false;
}

} // namespace

EdsCalendar::EdsCalendar(Limits limits)
    : limits_(limits) {}

bool EdsCalendar::isAllowed() const {
    if (!hasSessionBus() || busy())
        return false;
    auto question = ask(true, 0, 0);
    if (!waitFor(*question, limits_, true))
        return false;
    std::lock_guard lock(question->mutex);
    return question->allowed;
}

std::optional<std::vector<CalendarRoster::Event>> EdsCalendar::events(SystemTime from,
                                                                      SystemTime to) const {
    if (!hasSessionBus()) {
        Log::error("Calendar not read: no session bus");
        return std::nullopt;
    }
    if (busy())
        return std::nullopt;
    // The service picks the occurrences of events written without a zone as if they were in
    // its own zone, not ours: it is asked for a day more on each side, and the occurrences
    // are kept here by their times read in our zone.
    constexpr std::time_t margin = 86400;
    auto first = std::chrono::system_clock::to_time_t(from) - margin;
    auto last = std::chrono::system_clock::to_time_t(to) + margin;
    auto question = ask(false, first, last);
    if (!waitFor(*question, limits_, false))
        return std::nullopt;
    std::lock_guard lock(question->mutex);
    if (!question->events)
        return std::nullopt;
    std::vector<CalendarRoster::Event> within;
    for (auto& event : *question->events)
        if (event.end >= from && event.start <= to)
            within.push_back(std::move(event));
    return within;
}

int EdsCalendar::unanswered() {
    return abandoned.load();
}

std::optional<CalendarRoster::Meeting> EdsCalendar::current(Platform platform,
                                                            SystemTime now) const {
    return CalendarRoster::current(
        platform, now, [this](SystemTime from, SystemTime to) { return events(from, to); });
}

} // namespace tallyvox::linux_services
