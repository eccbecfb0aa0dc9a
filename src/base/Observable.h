#pragma once

#include <functional>
#include <map>
#include <memory>
#include <utility>

namespace tallyvox {

// Ends an observation when destroyed (or when reset()).
class Subscription {
public:
    Subscription() = default;
    explicit Subscription(std::function<void()> cancel)
        : cancel_(std::move(cancel)) {}
    Subscription(Subscription&& other) noexcept
        : cancel_(std::exchange(other.cancel_, nullptr)) {}
    Subscription& operator=(Subscription&& other) noexcept {
        if (this != &other) {
            reset();
            cancel_ = std::exchange(other.cancel_, nullptr);
        }
        return *this;
    }
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;
    ~Subscription() { reset(); }

    void reset() {
        if (auto cancel = std::exchange(cancel_, nullptr))
            cancel();
    }

private:
    std::function<void()> cancel_;
};

// A value that views watch. Writing an equal value notifies nobody. Main thread only.
template <class T> class Observable {
public:
    using Observer = std::function<void(const T&)>;

    Observable() = default;
    explicit Observable(T initial)
        : value_(std::move(initial)) {}
    Observable(const Observable&) = delete;
    Observable& operator=(const Observable&) = delete;

    const T& get() const { return value_; }
    operator const T&() const { return value_; }

    // Returns whether the value changed (and observers were told).
    bool set(T value) {
        if (value == value_)
            return false;
        value_ = std::move(value);
        notify();
        return true;
    }

    // For containers changed in place: apply `change`, then notify when the result differs.
    template <class F> bool modify(F&& change) {
        T copy = value_;
        change(copy);
        return set(std::move(copy));
    }

    [[nodiscard]] Subscription observe(Observer observer) {
        int key = nextKey_++;
        observers_->emplace(key, std::move(observer));
        std::weak_ptr<std::map<int, Observer>> weak = observers_;
        return Subscription([weak, key] {
            if (auto observers = weak.lock())
                observers->erase(key);
        });
    }

private:
    void notify() {
        // A copy, so observers may unsubscribe (or subscribe) while being told.
        auto observers = *observers_;
        for (auto& [key, observer] : observers)
            if (observers_->count(key))
                observer(value_);
    }

    T value_{};
    std::shared_ptr<std::map<int, Observer>> observers_ =
        std::make_shared<std::map<int, Observer>>();
    int nextKey_ = 0;
};

} // namespace tallyvox
