#include "base/Unicode.h"

#include "base/Utf8.h"

#include <cstdlib>
#include <memory>
#include <utf8proc.h>

namespace tallyvox::Unicode {

bool isWordCharacter(char32_t c) {
    if (c > 0x10FFFF)
        return false;
    switch (utf8proc_category(static_cast<utf8proc_int32_t>(c))) {
    case UTF8PROC_CATEGORY_LU:
    case UTF8PROC_CATEGORY_LL:
    case UTF8PROC_CATEGORY_LT:
    case UTF8PROC_CATEGORY_LM:
    case UTF8PROC_CATEGORY_LO:
    case UTF8PROC_CATEGORY_MN:
    case UTF8PROC_CATEGORY_MC:
    case UTF8PROC_CATEGORY_ME:
    case UTF8PROC_CATEGORY_ND:
    case UTF8PROC_CATEGORY_NL:
    case UTF8PROC_CATEGORY_NO:
        return true;
    default:
        return false;
    }
}

std::u32string folded(char32_t c) {
    if (c > 0x10FFFF)
        return std::u32string(1, c);
    // No folding in Unicode is longer than three characters.
    utf8proc_int32_t out[8];
    utf8proc_ssize_t n = utf8proc_decompose_char(static_cast<utf8proc_int32_t>(c), out, 8,
                                                 UTF8PROC_CASEFOLD, nullptr);
    if (n <= 0 || n > 8)
        return std::u32string(1, c);
    std::u32string result;
    for (utf8proc_ssize_t i = 0; i < n; ++i)
        result.push_back(static_cast<char32_t>(out[i]));
    return result;
}

std::string folded(std::string_view text) {
    std::string valid = Utf8::repaired(text);
    utf8proc_uint8_t* mapped = nullptr;
    utf8proc_ssize_t n = utf8proc_map(
        reinterpret_cast<const utf8proc_uint8_t*>(valid.data()),
        static_cast<utf8proc_ssize_t>(valid.size()), &mapped,
        static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE | UTF8PROC_CASEFOLD));
    std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owned(mapped, &std::free);
    if (n < 0)
        return valid;
    return std::string(reinterpret_cast<const char*>(mapped), static_cast<std::size_t>(n));
}

std::string wordKey(std::string_view text) {
    std::string all = folded(text);
    std::string out;
    for (std::size_t i = 0; i < all.size();) {
        Utf8::Char c = Utf8::decode(all, i);
        if (c.valid && isWordCharacter(c.value))
            out.append(all, i, c.length);
        i += c.length;
    }
    return out;
}

} // namespace tallyvox::Unicode
