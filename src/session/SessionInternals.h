#pragma once

#include <exception>
#include <string>

namespace tallyvox {

// The user-facing description of a failure carried across threads.
inline std::string describe(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown error";
    }
}

} // namespace tallyvox
