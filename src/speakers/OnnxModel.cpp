#include "speakers/OnnxModel.h"

#include "base/Error.h"

#include <bit>
#include <cstring>
#include <optional>

namespace tallyvox::onnx {
namespace {

// No tensor of a model this app loads comes near this; a larger count means damaged bytes.
constexpr std::int64_t maxElements = std::int64_t{1} << 30;

enum WireType : std::uint32_t { varint = 0, fixed64 = 1, lengthDelimited = 2, fixed32 = 5 };

[[noreturn]] void refuse(const std::string& why) {
    throw Error("The speaker model file is damaged (" + why + ").");
}

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes)
        : bytes_(bytes) {}

    bool done() const { return pos_ == bytes_.size(); }

    std::uint64_t readVarint() {
        std::uint64_t value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (done())
                refuse("a number runs past the end");
            std::uint8_t byte = bytes_[pos_++];
            value |= std::uint64_t{byte & 0x7fu} << shift;
            if (!(byte & 0x80u))
                return value;
        }
        refuse("a number is too long");
    }

    std::span<const std::uint8_t> take(std::uint64_t length) {
        if (length > bytes_.size() - pos_)
            refuse("a field runs past the end");
        auto slice = bytes_.subspan(pos_, static_cast<std::size_t>(length));
        pos_ += static_cast<std::size_t>(length);
        return slice;
    }

    // Field number and wire type of the next field.
    std::pair<std::uint64_t, std::uint32_t> readTag() {
        std::uint64_t tag = readVarint();
        return {tag >> 3, static_cast<std::uint32_t>(tag & 7u)};
    }

    std::span<const std::uint8_t> readBytes() { return take(readVarint()); }

    std::uint32_t readFixed32() {
        auto slice = take(4);
        return std::uint32_t{slice[0]} | std::uint32_t{slice[1]} << 8 |
               std::uint32_t{slice[2]} << 16 | std::uint32_t{slice[3]} << 24;
    }

    void skip(std::uint32_t wireType) {
        switch (wireType) {
        case varint:
            readVarint();
            break;
        case fixed64:
            take(8);
            break;
        case lengthDelimited:
            readBytes();
            break;
        case fixed32:
            take(4);
            break;
        default:
            refuse("unknown field type " + std::to_string(wireType));
        }
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t pos_ = 0;
};

std::string text(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

void expect(std::uint32_t wireType, std::uint32_t wanted) {
    if (wireType != wanted)
        refuse("a field has the wrong type");
}

// Readers of one field whose wire type must be the one its meaning needs.
std::span<const std::uint8_t> bytesField(Reader& reader, std::uint32_t wireType) {
    expect(wireType, lengthDelimited);
    return reader.readBytes();
}
std::string stringField(Reader& reader, std::uint32_t wireType) {
    return text(bytesField(reader, wireType));
}
std::int64_t intField(Reader& reader, std::uint32_t wireType) {
    expect(wireType, varint);
    return static_cast<std::int64_t>(reader.readVarint());
}

// Repeated integers come packed or one per field; both forms are valid protobuf.
void readInts(Reader& reader, std::uint32_t wireType, std::vector<std::int64_t>& into) {
    if (wireType == varint) {
        into.push_back(static_cast<std::int64_t>(reader.readVarint()));
        return;
    }
    expect(wireType, lengthDelimited);
    Reader packed(reader.readBytes());
    while (!packed.done())
        into.push_back(static_cast<std::int64_t>(packed.readVarint()));
}

float asFloat(std::uint32_t bits) {
    return std::bit_cast<float>(bits);
}

Tensor readTensor(Reader reader, std::string& name) {
    constexpr std::int64_t floatType = 1;
    Tensor tensor;
    std::int64_t dataType = 0;
    std::span<const std::uint8_t> raw;
    std::vector<float> floatData;
    while (!reader.done()) {
        auto [field, wireType] = reader.readTag();
        switch (field) {
        case 1:
            readInts(reader, wireType, tensor.dims);
            break;
        case 2:
            dataType = intField(reader, wireType);
            break;
        case 4:
            if (wireType == fixed32) {
                floatData.push_back(asFloat(reader.readFixed32()));
            } else {
                expect(wireType, lengthDelimited);
                Reader packed(reader.readBytes());
                while (!packed.done())
                    floatData.push_back(asFloat(packed.readFixed32()));
            }
            break;
        case 8:
            name = stringField(reader, wireType);
            break;
        case 9:
            raw = bytesField(reader, wireType);
            break;
        case 14:
            refuse("tensor " + name + " is stored outside the file");
        default:
            reader.skip(wireType);
        }
    }
    if (dataType != floatType)
        return tensor;
    std::int64_t count = 1;
    for (auto dim : tensor.dims) {
        if (dim < 0 || (dim > 0 && count > maxElements / dim))
            refuse("tensor " + name + " has an impossible shape");
        count *= dim;
    }
    if (!raw.empty()) {
        if (raw.size() != static_cast<std::size_t>(count) * sizeof(float))
            refuse("tensor " + name + " does not hold its shape's values");
        tensor.values.resize(static_cast<std::size_t>(count));
        for (std::size_t i = 0; i < tensor.values.size(); ++i) {
            const auto* p = raw.data() + i * 4;
            tensor.values[i] = asFloat(std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 |
                                       std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24);
        }
    } else {
        if (floatData.size() != static_cast<std::size_t>(count))
            refuse("tensor " + name + " does not hold its shape's values");
        tensor.values = std::move(floatData);
    }
    return tensor;
}

void readAttribute(Reader reader, Node& node) {
    std::string name;
    std::vector<std::int64_t> ints;
    std::optional<float> value;
    while (!reader.done()) {
        auto [field, wireType] = reader.readTag();
        switch (field) {
        case 1:
            name = stringField(reader, wireType);
            break;
        case 2:
            expect(wireType, fixed32);
            value = asFloat(reader.readFixed32());
            break;
        case 3:
            ints.push_back(intField(reader, wireType));
            break;
        case 8:
            readInts(reader, wireType, ints);
            break;
        default:
            reader.skip(wireType);
        }
    }
    if (value)
        node.floats[name] = *value;
    if (!ints.empty())
        node.ints[name] = std::move(ints);
}

Node readNode(Reader reader) {
    Node node;
    while (!reader.done()) {
        auto [field, wireType] = reader.readTag();
        switch (field) {
        case 1:
            node.inputs.push_back(stringField(reader, wireType));
            break;
        case 2:
            node.outputs.push_back(stringField(reader, wireType));
            break;
        case 4:
            node.op = stringField(reader, wireType);
            break;
        case 5:
            readAttribute(Reader(bytesField(reader, wireType)), node);
            break;
        default:
            reader.skip(wireType);
        }
    }
    return node;
}

} // namespace

Graph parse(std::span<const std::uint8_t> bytes) {
    Graph graph;
    bool sawGraph = false;
    Reader model(bytes);
    while (!model.done()) {
        auto [field, wireType] = model.readTag();
        if (field != 7) {
            model.skip(wireType);
            continue;
        }
        expect(wireType, lengthDelimited);
        sawGraph = true;
        Reader reader(model.readBytes());
        while (!reader.done()) {
            auto [graphField, graphWire] = reader.readTag();
            if (graphField == 1) {
                expect(graphWire, lengthDelimited);
                graph.nodes.push_back(readNode(Reader(reader.readBytes())));
            } else if (graphField == 5) {
                expect(graphWire, lengthDelimited);
                std::string name;
                Tensor tensor = readTensor(Reader(reader.readBytes()), name);
                graph.initializers[name] = std::move(tensor);
            } else {
                reader.skip(graphWire);
            }
        }
    }
    if (!sawGraph)
        refuse("no graph");
    return graph;
}

} // namespace tallyvox::onnx
