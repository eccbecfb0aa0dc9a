#include "base/Uuid.h"

#include <random>
#include <sys/random.h>

namespace tallyvox {

Uuid Uuid::random() {
    Uuid id;
    if (::getrandom(id.bytes_.data(), id.bytes_.size(), 0) != static_cast<ssize_t>(16)) {
        static thread_local std::mt19937_64 fallback{std::random_device{}()};
        for (auto& b : id.bytes_)
            b = static_cast<std::uint8_t>(fallback());
    }
    id.bytes_[6] = static_cast<std::uint8_t>((id.bytes_[6] & 0x0f) | 0x40);
    id.bytes_[8] = static_cast<std::uint8_t>((id.bytes_[8] & 0x3f) | 0x80);
    return id;
}

std::string Uuid::toString() const {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < bytes_.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            out += '-';
        out += hex[bytes_[i] >> 4];
        out += hex[bytes_[i] & 0xf];
    }
    return out;
}

} // namespace tallyvox
