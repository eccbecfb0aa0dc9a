#include "speakers/PersonName.h"

#include "base/Utf8.h"

#include <utf8proc.h>

namespace tallyvox::PersonName {

namespace {

enum class Kind { kept, separator, lineBreak, dropped };

// Unicode's White_Space property is the separators (Zs, Zl, Zp) and six controls; every other
// control would reach the file raw (an escape sequence, a NUL), so it goes.
Kind kindOf(char32_t c) {
    switch (utf8proc_category(static_cast<utf8proc_int32_t>(c))) {
    case UTF8PROC_CATEGORY_ZS:
        return Kind::separator;
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP:
        return Kind::lineBreak;
    case UTF8PROC_CATEGORY_CC:
        return (c >= 0x09 && c <= 0x0D) || c == 0x85 ? Kind::lineBreak : Kind::dropped;
    default:
        return Kind::kept;
    }
}

} // namespace

std::string cleaned(std::string_view name) {
    std::string out;
    // White space seen since the last kept character: written only once another follows, so
    // none is left at either end.
    std::string pending;
    for (std::size_t i = 0; i < name.size();) {
        const auto c = Utf8::decode(name, i);
        std::string text;
        if (c.valid)
            text = name.substr(i, c.length);
        else
            Utf8::append(c.value, text);
        i += c.length;
        switch (kindOf(c.value)) {
        case Kind::dropped:
            break;
        case Kind::separator:
            // Inside a name (a no-break space between its parts) it stays as typed.
            pending += text;
            break;
        case Kind::lineBreak:
            // A break or a tab would split the line the name heads.
            pending += ' ';
            break;
        case Kind::kept:
            if (!out.empty())
                out += pending;
            pending.clear();
            out += text;
            break;
        }
    }
    return out;
}

} // namespace tallyvox::PersonName
