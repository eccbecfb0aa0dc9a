#include "base/CallbackBarrier.h"

#include "base/Log.h"

namespace tallyvox::detail {

void reportEscaped(const char* callback, std::exception_ptr escaped) noexcept {
    // Logging can fail too (no memory); that must not escape either.
    try {
        try {
            std::rethrow_exception(escaped);
        } catch (const std::exception& e) {
            Log::error("Callback {} threw: {}", callback, e.what());
        } catch (...) {
            Log::error("Callback {} threw something that is no std::exception", callback);
        }
    } catch (...) {
    }
}

} // namespace tallyvox::detail
