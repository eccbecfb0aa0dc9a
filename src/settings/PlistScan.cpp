#include "settings/PlistScan.h"

#include "settings/PlistValue.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

namespace tallyvox::PlistScan {

namespace {

// Reads the markup the way libplist's XML parser does, only far enough to know how deeply
// <array> and <dict> nest, so that libplist (which builds and frees the tree recursively) is
// never handed a document that would exhaust the stack. Every step that parser would take
// differently, or refuse, is refused here too: a document that passes holds exactly the
// nesting counted, whatever comments, CDATA sections, processing instructions, a DOCTYPE or
// quoted attribute values hide. Linear in the size of the text.
class NestingScan {
public:
    explicit NestingScan(std::string_view xml)
        : xml_(xml) {}

    bool withinLimit() {
        for (;;) {
            skipSpace();
            // libplist stops reading once the root value is complete.
            if (at_ >= xml_.size() || rootComplete_)
                return true;
            if (xml_[at_] != '<' || !markup())
                return false;
        }
    }

private:
    static bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

    void skipSpace() {
        while (at_ < xml_.size() && isSpace(xml_[at_]))
            ++at_;
    }

    bool startsHere(std::string_view text) const { return xml_.substr(at_).starts_with(text); }

    // Moves past the next `marker`; false when there is none.
    bool skipPast(std::string_view marker) {
        size_t found = xml_.find(marker, at_);
        if (found == std::string_view::npos)
            return false;
        at_ = found + marker.size();
        return true;
    }

    // Moves to the first of `stops` outside double quotes; false at the end of the text.
    bool findOutsideQuotes(std::string_view stops) {
        while (at_ < xml_.size()) {
            if (xml_[at_] == '"') {
                size_t close = xml_.find('"', at_ + 1);
                if (close == std::string_view::npos)
                    return false;
                at_ = close + 1;
                continue;
            }
            if (stops.find(xml_[at_]) != std::string_view::npos)
                return true;
            ++at_;
        }
        return false;
    }

    // One construct that starts with '<' where an element may stand.
    bool markup() {
        if (startsHere("<?")) {
            ++at_;
            if (!findOutsideQuotesOf("?>"))
                return false;
            at_ += 2;
            return true;
        }
        if (startsHere("<!--")) {
            at_ += 4;
            return skipPast("-->");
        }
        if (startsHere("<!DOCTYPE"))
            return doctype();
        if (startsHere("<!"))
            return false;
        return element();
    }

    // Like findOutsideQuotes, for a two-character marker.
    bool findOutsideQuotesOf(std::string_view marker) {
        while (at_ < xml_.size()) {
            if (startsHere(marker))
                return true;
            if (xml_[at_] == '"') {
                size_t close = xml_.find('"', at_ + 1);
                if (close == std::string_view::npos)
                    return false;
                at_ = close;
            }
            ++at_;
        }
        return false;
    }

    bool doctype() {
        at_ += 9;
        if (!findOutsideQuotes("[>"))
            return false;
        if (xml_[at_] == '>') {
            ++at_;
            return true;
        }
        if (!findOutsideQuotesOf("]>"))
            return false;
        at_ += 2;
        return true;
    }

    bool element() {
        size_t nameStart = ++at_;
        while (at_ < xml_.size() && !isSpace(xml_[at_]) && xml_[at_] != '<' && xml_[at_] != '>')
            ++at_;
        size_t nameEnd = at_;
        if (at_ < xml_.size() && xml_[at_] != '>' && !findOutsideQuotes("<>"))
            return false;
        if (at_ >= xml_.size() || xml_[at_] != '>')
            return false;
        bool empty = xml_[at_ - 1] == '/';
        if (empty)
            nameEnd = std::min(nameEnd, at_ - 1);
        std::string_view name = xml_.substr(nameStart, nameEnd - nameStart);
        ++at_;

        if (name == "plist" || name == "/plist")
            return true;
        if (name == "array" || name == "dict") {
            // An empty root is not complete: libplist goes on adding what follows to it.
            if (depth_ == 0 && empty)
                emptyRoot_ = true;
            return empty || ++depth_ <= maxDepth;
        }
        if (name == "/array" || name == "/dict") {
            rootComplete_ = depth_ == 1 && !emptyRoot_;
            return --depth_ >= 0;
        }
        static constexpr std::string_view leaves[] = {"key",  "string", "integer", "real",
                                                      "date", "data",   "true",    "false"};
        if (std::find(std::begin(leaves), std::end(leaves), name) == std::end(leaves))
            return false;
        rootComplete_ = depth_ == 0 && !emptyRoot_;
        return empty || text(name);
    }

    // The content of a leaf element and its closing tag. Comments and CDATA sections are part
    // of the text; no other markup may appear in it.
    bool text(std::string_view name) {
        for (;;) {
            size_t open = xml_.find('<', at_);
            if (open == std::string_view::npos)
                return false;
            at_ = open;
            if (startsHere("<!--")) {
                at_ += 4;
                if (!skipPast("-->"))
                    return false;
            } else if (startsHere("<![CDATA[")) {
                at_ += 9;
                if (!skipPast("]]>"))
                    return false;
            } else if (startsHere("</")) {
                at_ += 2;
                if (!startsHere(name))
                    return false;
                at_ += name.size();
                skipSpace();
                if (at_ >= xml_.size() || xml_[at_] != '>')
                    return false;
                ++at_;
                return true;
            } else {
                return false;
            }
        }
    }

    std::string_view xml_;
    size_t at_ = 0;
    int depth_ = 0;
    bool emptyRoot_ = false;
    bool rootComplete_ = false;
};

// Walks a binary property list the way libplist's reader will, without building anything,
// so that it is never handed one it would take apart recursively past maxDepth, or one whose
// entries, shared by reference, unfold into far more than the file holds. Anything this walk
// cannot follow is refused, so what passes is exactly what was measured.
class BinaryScan {
public:
    explicit BinaryScan(std::string_view bytes)
        : data_(bytes) {}

    bool withinLimits() {
        constexpr std::size_t header = 8, trailer = 32;
        if (data_.size() < header + trailer || !data_.starts_with("bplist00"))
            return false;
        const std::size_t end = data_.size() - trailer;
        offsetSize_ = static_cast<unsigned char>(data_[end + 6]);
        refSize_ = static_cast<unsigned char>(data_[end + 7]);
        const std::uint64_t count = number(end + 8, 8);
        const std::uint64_t root = number(end + 16, 8);
        const std::uint64_t table = number(end + 24, 8);
        if (offsetSize_ == 0 || refSize_ == 0 || count == 0 || count > maxObjects ||
            root >= count || table < header || table >= end || count > (end - table) / offsetSize_)
            return false;
        table_ = static_cast<std::size_t>(table);
        count_ = static_cast<std::size_t>(count);
        return walk(static_cast<std::size_t>(root));
    }

private:
    // Far more than any settings file holds; keeps the walk's own memory small.
    static constexpr std::uint64_t maxObjects = std::uint64_t{1} << 20;
    // What one value costs once built, besides its text.
    static constexpr std::uint64_t nodeCost = 16;

    struct Object {
        std::uint64_t ownCost = 0;
        std::size_t refsAt = 0;
        std::size_t refs = 0; // references to follow (a dictionary's keys and values)
        std::size_t keys = 0; // of those, the first that must be texts
        unsigned type = 0;
        std::size_t bytesAt = 0; // a leaf's own bytes
        std::uint64_t bytes = 0;
        bool container = false;
    };
    struct Frame {
        std::size_t index;
        Object object;
        std::size_t next = 0;
        std::uint64_t cost = 0;
        int depth = 0;
    };

    // A big-endian unsigned number of `size` bytes at `at`; of a longer one, its last eight.
    std::uint64_t number(std::size_t at, std::size_t size) const {
        if (size > 8) {
            at += size - 8;
            size = 8;
        }
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < size; ++i)
            value = (value << 8) | static_cast<unsigned char>(data_[at + i]);
        return value;
    }

    // Where an object begins; nothing when its offset is outside the objects.
    std::optional<std::size_t> start(std::size_t index) const {
        const std::uint64_t offset = number(table_ + index * offsetSize_, offsetSize_);
        if (offset < 8 || offset >= table_)
            return std::nullopt;
        return static_cast<std::size_t>(offset);
    }

    // libplist's dictionaries assume their keys are texts without a zero character (it
    // asserts both when they are read).
    bool isKey(std::size_t index) const {
        auto found = object(index);
        if (!found || (found->type != 0x50 && found->type != 0x60))
            return false;
        if (found->type == 0x60)
            for (std::uint64_t i = 0; i + 1 < found->bytes; i += 2)
                if (data_[found->bytesAt + i] == 0 && data_[found->bytesAt + i + 1] == 0)
                    return false;
        return true;
    }

    std::optional<Object> object(std::size_t index) const {
        auto begins = start(index);
        if (!begins)
            return std::nullopt;
        std::size_t at = *begins;
        const auto marker = static_cast<unsigned char>(data_[at++]);
        const unsigned type = marker & 0xF0u;
        std::uint64_t size = marker & 0x0Fu;
        const bool counted = type == 0x40 || type == 0x50 || type == 0x60 || type == 0xA0 ||
                             type == 0xC0 || type == 0xD0;
        if (counted && size == 0x0F) {
            if (at >= table_ || (static_cast<unsigned char>(data_[at]) & 0xF0u) != 0x10)
                return std::nullopt;
            const std::size_t width = std::size_t{1} << (data_[at] & 0x0F);
            ++at;
            if (width > table_ - at)
                return std::nullopt;
            size = number(at, width);
            at += width;
        }
        Object found;
        found.type = type;
        if (type == 0xA0 || type == 0xC0 || type == 0xD0) {
            const std::uint64_t perEntry = type == 0xD0 ? 2 : 1;
            if (size > (table_ - at) / refSize_ / perEntry)
                return std::nullopt;
            found.container = true;
            found.refsAt = at;
            found.refs = static_cast<std::size_t>(size * perEntry);
            found.keys = type == 0xD0 ? static_cast<std::size_t>(size) : 0;
            found.ownCost = nodeCost;
        } else {
            // Whatever the value's bytes, they lie before the offset table.
            std::uint64_t bytes = 0;
            if (counted)
                bytes = size > table_ ? table_ + 1 : type == 0x60 ? size * 2 : size;
            else if (type == 0x10 || type == 0x20 || type == 0x30)
                bytes = std::uint64_t{1} << size;
            else if (type == 0x80)
                bytes = size + 1;
            if (bytes > table_ - at)
                return std::nullopt;
            found.bytesAt = at;
            found.bytes = bytes;
            found.ownCost = nodeCost + (counted ? bytes : 0);
        }
        return found;
    }

    bool walk(std::size_t root) {
        constexpr std::uint8_t unseen = 0, open = 1, done = 2;
        // Per object: its state, then once finished its cost and depth, so shared entries are
        // measured once and a reference back to an open one is a cycle.
        std::vector<std::uint8_t> state(count_, unseen);
        std::vector<std::uint32_t> costs(count_, 0);
        std::vector<std::uint16_t> depths(count_, 0);
        std::vector<Frame> stack;
        auto enter = [&](std::size_t index) {
            auto found = object(index);
            if (!found)
                return false;
            state[index] = open;
            stack.push_back({index, *found, 0, found->ownCost, found->container ? 1 : 0});
            return static_cast<int>(stack.size()) <= maxDepth + 1;
        };
        if (!enter(root))
            return false;
        while (!stack.empty()) {
            Frame& frame = stack.back();
            if (frame.next < frame.object.refs) {
                const std::uint64_t child =
                    number(frame.object.refsAt + frame.next * refSize_, refSize_);
                const bool key = frame.next < frame.object.keys;
                ++frame.next;
                if (child >= count_ || state[child] == open ||
                    (key && !isKey(static_cast<std::size_t>(child))))
                    return false;
                if (state[child] == unseen) {
                    if (!enter(static_cast<std::size_t>(child)))
                        return false;
                    continue;
                }
                frame.cost += costs[child];
                // Checked as it grows, so a text shared a million times is not read as often.
                if (frame.cost > maxPlistBytes)
                    return false;
                frame.depth = std::max(frame.depth, depths[child] + 1);
            } else {
                if (frame.cost > maxPlistBytes || frame.depth > maxDepth)
                    return false;
                const std::size_t index = frame.index;
                state[index] = done;
                costs[index] = static_cast<std::uint32_t>(frame.cost);
                depths[index] = static_cast<std::uint16_t>(frame.depth);
                stack.pop_back();
                if (!stack.empty()) {
                    stack.back().cost += frame.cost;
                    stack.back().depth = std::max(stack.back().depth, depths[index] + 1);
                }
            }
        }
        return true;
    }

    std::string_view data_;
    std::size_t table_ = 0;
    std::size_t count_ = 0;
    std::size_t offsetSize_ = 0;
    std::size_t refSize_ = 0;
};

} // namespace

bool xmlWithinLimits(std::string_view xml) {
    return NestingScan(xml).withinLimit();
}

bool binaryWithinLimits(std::string_view bytes) {
    return BinaryScan(bytes).withinLimits();
}

} // namespace tallyvox::PlistScan
