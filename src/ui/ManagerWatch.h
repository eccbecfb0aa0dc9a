#pragma once

#include "base/Observable.h"
#include "session/AppLifecycleManager.h"

#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>
#include <vector>

namespace tallyvox::ui {

// Calls `changed` once after any of the manager's observable state (its session, errors,
// the model downloads, the detected meetings, and its transcript's lines and names) changed.
// Changes that arrive together are told once, on the next turn of the event loop, so a view
// rebuilds once per burst instead of once per value. Stops when `owner` is destroyed.
class ManagerWatch {
public:
    ManagerWatch(QObject* owner, AppLifecycleManager& manager, std::function<void()> changed);
    // Only the transcript being edited: its lines, names, roster and record.
    ManagerWatch(QObject* owner, LiveTranscript& transcript, std::function<void()> changed);
    ManagerWatch(const ManagerWatch&) = delete;
    ManagerWatch& operator=(const ManagerWatch&) = delete;

    // Also watch a value of the view's own choosing.
    template <class T> void add(Observable<T>& value) {
        subscriptions_.push_back(value.observe([this](const T&) { schedule(); }));
    }

private:
    void watchTranscript(LiveTranscript& transcript);
    void schedule();

    QPointer<QObject> owner_;
    std::function<void()> changed_;
    std::shared_ptr<bool> pending_ = std::make_shared<bool>(false);
    std::vector<Subscription> subscriptions_;
};

} // namespace tallyvox::ui
