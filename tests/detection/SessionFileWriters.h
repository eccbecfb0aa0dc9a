#pragma once

// Small writers of the browsers' session formats, so the readers are tested on files made
// the way the browsers make them (and broken on purpose).

#include <lz4.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace tallyvox::testing {

class SnssWriter {
public:
    explicit SnssWriter(std::int32_t version = 3) {
        bytes_ = "SNSS";
        put(version);
    }
    SnssWriter& navigation(std::int32_t tab, std::int32_t index, const std::string& url) {
        std::string pickle;
        putTo(pickle, tab);
        putTo(pickle, index);
        putTo(pickle, static_cast<std::int32_t>(url.size()));
        pickle += url;
        pickle.append((4 - url.size() % 4) % 4, '\0');
        putTo(pickle, std::int32_t{0}); // an empty title follows in a real entry
        std::string payload;
        putTo(payload, static_cast<std::uint32_t>(pickle.size()));
        return command(6, payload + pickle);
    }
    SnssWriter& selected(std::int32_t tab, std::int32_t index) { return pair(7, tab, index); }
    SnssWriter& tabWindow(std::int32_t window, std::int32_t tab) { return pair(0, window, tab); }
    SnssWriter& tabClosed(std::int32_t tab) { return closed(16, tab); }
    SnssWriter& windowClosed(std::int32_t window) { return closed(17, window); }
    SnssWriter& prunedFromBack(std::int32_t tab, std::int32_t index) { return pair(5, tab, index); }
    SnssWriter& prunedFromFront(std::int32_t tab, std::int32_t count) {
        return pair(11, tab, count);
    }
    SnssWriter& pruned(std::int32_t tab, std::int32_t index, std::int32_t count) {
        std::string payload;
        putTo(payload, tab);
        putTo(payload, index);
        putTo(payload, count);
        return command(24, payload);
    }
    SnssWriter& command(std::uint8_t id, const std::string& payload) {
        put(static_cast<std::uint16_t>(payload.size() + 1));
        bytes_ += static_cast<char>(id);
        bytes_ += payload;
        return *this;
    }
    std::string bytes() const { return bytes_; }

private:
    template <class T> static void putTo(std::string& out, T value) {
        char raw[sizeof(T)];
        std::memcpy(raw, &value, sizeof(T));
        out.append(raw, sizeof(T));
    }
    template <class T> void put(T value) { putTo(bytes_, value); }
    SnssWriter& pair(std::uint8_t id, std::int32_t a, std::int32_t b) {
        std::string payload;
        putTo(payload, a);
        putTo(payload, b);
        return command(id, payload);
    }
    SnssWriter& closed(std::uint8_t id, std::int32_t who) {
        std::string payload;
        putTo(payload, who);
        putTo(payload, std::int32_t{0});
        putTo(payload, std::int64_t{13350000000000000});
        return command(id, payload);
    }

    std::string bytes_;
};

inline std::string mozLz4(const std::string& text) {
    std::string out("mozLz40\0", 8);
    auto size = static_cast<std::uint32_t>(text.size());
    out.append(reinterpret_cast<const char*>(&size), 4);
    std::vector<char> block(
        static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(text.size()))));
    int n = LZ4_compress_default(text.data(), block.data(), static_cast<int>(text.size()),
                                 static_cast<int>(block.size()));
    out.append(block.data(), static_cast<std::size_t>(n));
    return out;
}

} // namespace tallyvox::testing
