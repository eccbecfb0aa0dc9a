#pragma once

#include <concepts>
#include <exception>
#include <type_traits>
#include <utility>

namespace tallyvox {

namespace detail {
void reportEscaped(const char* callback, std::exception_ptr escaped) noexcept;
}

// Every function that C code calls back (libpulse, GLib) runs its body through this. An
// exception unwinding through C frames is undefined behaviour (at best std::terminate, often
// a corrupted library state), so whatever the body throws stops here: it is logged under
// `callback`'s name and the C caller gets `fallback`. The callback's own work is lost; the
// program and the library's loop go on.
template <class Body>
requires std::is_void_v<std::invoke_result_t<Body&>>
void callbackBarrier(const char* callback, Body&& body) noexcept {
    try {
        body();
    } catch (...) {
        detail::reportEscaped(callback, std::current_exception());
    }
}

template <class Result, class Body>
requires std::convertible_to<std::invoke_result_t<Body&>, Result>
    Result callbackBarrier(const char* callback, Result fallback, Body&& body)
noexcept {
    try {
        return body();
    } catch (...) {
        detail::reportEscaped(callback, std::current_exception());
        return fallback;
    }
}

// For a C library that stops its work when a callback answers `fallback` (libcurl): what the
// body throws is kept in `escaped`, not logged, so that the caller rethrows it once the C call
// has returned. Only the first is kept; later ones come from a transfer already stopping.
template <class Result, class Body>
requires std::convertible_to<std::invoke_result_t<Body&>, Result>
    Result callbackBarrier(std::exception_ptr& escaped, Result fallback, Body&& body)
noexcept {
    try {
        return body();
    } catch (...) {
        if (!escaped)
            escaped = std::current_exception();
        return fallback;
    }
}

} // namespace tallyvox
