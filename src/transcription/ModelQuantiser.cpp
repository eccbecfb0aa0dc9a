#include "transcription/ModelQuantiser.h"

#include "base/AtomicFile.h"
#include "base/BoundedRead.h"
#include "base/Log.h"
#include "base/TextLines.h"
#include "base/Uuid.h"
#include "transcription/ModelFiles.h"
#include "transcription/ModelHash.h"

#include <ggml.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tallyvox::ModelQuantiser {

namespace {

constexpr std::uint32_t ggmlMagic = 0x67676d6c;
// whisper.cpp stores the quantisation version in the thousands of the header's weight type.
constexpr std::int32_t versionFactor = 1000;
constexpr std::int32_t quantisationVersion = 2;
constexpr std::int32_t typeF32 = 0, typeF16 = 1;
// Limits well above any published model, so that a crafted header cannot ask for more.
constexpr std::int32_t longestName = 256;
constexpr std::int32_t mostDimensions = 4;
constexpr std::uint64_t recordLimit = 4096;
constexpr size_t bufferBytes = 1 << 20;

// Matrices whisper.cpp keeps at full precision whatever the file's weight type.
constexpr std::array<std::string_view, 4> keptAsTheyAre{"encoder.conv1.bias", "encoder.conv2.bias",
                                                        "encoder.positional_embedding",
                                                        "decoder.positional_embedding"};

ggml_type weightType(WhisperModel::Variant variant) {
    return variant == WhisperModel::Variant::q8_0 ? GGML_TYPE_Q8_0 : GGML_TYPE_Q5_1;
}
ggml_ftype fileType(WhisperModel::Variant variant) {
    return variant == WhisperModel::Variant::q8_0 ? GGML_FTYPE_MOSTLY_Q8_0 : GGML_FTYPE_MOSTLY_Q5_1;
}

using Digest = std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)>;

Digest newDigest() {
    Digest digest(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!digest || EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr) != 1)
        throw Error("Couldn't compute a SHA-256 digest.");
    return digest;
}

std::string hex(EVP_MD_CTX* digest) {
    unsigned char bytes[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(digest, bytes, &length) != 1)
        throw Error("Couldn't compute a SHA-256 digest.");
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

// The source, read in order, never past the size it had when opened.
class Source {
public:
    explicit Source(const std::filesystem::path& path)
        : path_(path)
        , digest_(newDigest()) {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd_ < 0)
            throw FileError(path.string(), errno);
        struct stat facts {};
        if (::fstat(fd_, &facts) != 0 || !S_ISREG(facts.st_mode)) {
            ::close(fd_);
            throw Error(path.string() + " is not a regular file.");
        }
        size_ = static_cast<std::uint64_t>(facts.st_size);
        buffer_.resize(bufferBytes);
    }
    ~Source() { ::close(fd_); }
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;

    std::uint64_t left() const { return size_ - offset_; }
    bool atEnd() const { return offset_ == size_; }

    void read(void* into, std::uint64_t bytes) {
        if (bytes > left())
            broken("ends early");
        auto* out = static_cast<char*>(into);
        while (bytes > 0) {
            if (start_ == end_)
                fill();
            size_t take = std::min<std::uint64_t>(bytes, end_ - start_);
            std::memcpy(out, buffer_.data() + start_, take);
            start_ += take;
            out += take;
            bytes -= take;
            offset_ += take;
        }
    }
    template <class T> T value() {
        T result{};
        read(&result, sizeof result);
        return result;
    }

    [[noreturn]] void broken(const std::string& why) const {
        throw Error(path_.filename().string() +
                    " is not a whisper.cpp model file that can be "
                    "quantised: it " +
                    why + ".");
    }

    std::string sha256() { return hex(digest_.get()); }

private:
    void fill() {
        ssize_t count;
        do
            count = ::read(fd_, buffer_.data(), buffer_.size());
        while (count < 0 && errno == EINTR);
        if (count < 0)
            throw FileError(path_.string(), errno);
        // Shrunk while being read.
        if (count == 0)
            broken("ends early");
        EVP_DigestUpdate(digest_.get(), buffer_.data(), static_cast<size_t>(count));
        start_ = 0;
        end_ = static_cast<size_t>(count);
    }

    std::filesystem::path path_;
    Digest digest_;
    int fd_ = -1;
    std::uint64_t size_ = 0, offset_ = 0;
    std::vector<char> buffer_;
    size_t start_ = 0, end_ = 0;
};

// The copy, written to a locked temporary file beside the target (which the sweep of
// abandoned downloads clears if we die) and renamed over it only once complete.
class Copy {
public:
    explicit Copy(const std::filesystem::path& target)
        : target_(target)
        , temporary_(ModelFiles::temporaryPath(target, Uuid::random().toString()))
        , digest_(newDigest()) {
        if (auto error = ModelFiles::createFolder(target.parent_path()))
            throw FileError(target.parent_path().string(), error.value());
        fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd_ < 0)
            throw FileError(temporary_.string(), errno);
        ::flock(fd_, LOCK_EX | LOCK_NB);
        buffer_.reserve(bufferBytes);
    }
    ~Copy() {
        if (fd_ >= 0) {
            ::close(fd_);
            ::unlink(temporary_.c_str());
        }
    }
    Copy(const Copy&) = delete;
    Copy& operator=(const Copy&) = delete;

    void write(const void* bytes, size_t count) {
        EVP_DigestUpdate(digest_.get(), bytes, count);
        bytes_ += static_cast<std::int64_t>(count);
        const auto* from = static_cast<const char*>(bytes);
        if (buffer_.size() + count > bufferBytes)
            flush();
        if (count >= bufferBytes)
            put(from, count);
        else
            buffer_.insert(buffer_.end(), from, from + count);
    }
    template <class T> void value(T value) { write(&value, sizeof value); }

    // Returns the copy's digest once it is in place.
    std::string finish() {
        flush();
        if (::fsync(fd_) != 0)
            throw FileError(temporary_.string(), errno);
        if (::rename(temporary_.c_str(), target_.c_str()) != 0)
            throw FileError(target_.string(), errno);
        ::close(fd_);
        fd_ = -1;
        int folder = ::open(target_.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder >= 0) {
            ::fsync(folder);
            ::close(folder);
        }
        return hex(digest_.get());
    }
    std::int64_t bytes() const { return bytes_; }

private:
    void flush() {
        put(buffer_.data(), buffer_.size());
        buffer_.clear();
    }
    void put(const char* from, size_t count) {
        while (count > 0) {
            ssize_t written = ::write(fd_, from, count);
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0)
                throw FileError(temporary_.string(), written < 0 ? errno : ENOSPC);
            from += written;
            count -= static_cast<size_t>(written);
        }
    }

    std::filesystem::path target_, temporary_;
    Digest digest_;
    int fd_ = -1;
    std::vector<char> buffer_;
    std::int64_t bytes_ = 0;
};

void copyBytes(Source& in, Copy& out, std::uint64_t count) {
    std::vector<char> chunk(static_cast<size_t>(std::min<std::uint64_t>(count, bufferBytes)));
    while (count > 0) {
        size_t take = static_cast<size_t>(std::min<std::uint64_t>(count, chunk.size()));
        in.read(chunk.data(), take);
        out.write(chunk.data(), take);
        count -= take;
    }
}

// One matrix, a bounded number of rows at a time.
void quantiseMatrix(Source& in, Copy& out, std::int32_t sourceType, ggml_type type,
                    std::int64_t rowLength, std::int64_t rows) {
    const std::int64_t rowsPerChunk = std::max<std::int64_t>(1, (1 << 18) / rowLength);
    std::vector<ggml_fp16_t> halves;
    std::vector<float> floats;
    std::vector<char> packed;
    for (std::int64_t done = 0; done < rows; done += rowsPerChunk) {
        const std::int64_t count = std::min(rowsPerChunk, rows - done);
        const auto elements = static_cast<size_t>(count * rowLength);
        floats.resize(elements);
        if (sourceType == typeF16) {
            halves.resize(elements);
            in.read(halves.data(), elements * sizeof(ggml_fp16_t));
            ggml_fp16_to_fp32_row(halves.data(), floats.data(),
                                  static_cast<std::int64_t>(elements));
        } else {
            in.read(floats.data(), elements * sizeof(float));
        }
        packed.resize(ggml_row_size(type, rowLength) * static_cast<size_t>(count));
        size_t size =
            ggml_quantize_chunk(type, floats.data(), packed.data(), 0, count, rowLength, nullptr);
        out.write(packed.data(), size);
    }
}

void copyTensors(Source& in, Copy& out, ggml_type type) {
    int quantised = 0;
    while (!in.atEnd()) {
        const auto dimensions = in.value<std::int32_t>();
        const auto nameLength = in.value<std::int32_t>();
        const auto tensorType = in.value<std::int32_t>();
        if (dimensions < 1 || dimensions > mostDimensions)
            in.broken("has a tensor of " + std::to_string(dimensions) + " dimensions");
        if (nameLength < 1 || nameLength > longestName)
            in.broken("has a tensor name of " + std::to_string(nameLength) + " bytes");
        if (tensorType != typeF32 && tensorType != typeF16)
            in.broken("has a tensor that is already quantised");
        const std::uint64_t elementBytes = tensorType == typeF16 ? 2 : 4;
        std::array<std::int32_t, mostDimensions> shape{1, 1, 1, 1};
        std::uint64_t elements = 1;
        for (int i = 0; i < dimensions; ++i) {
            shape[static_cast<size_t>(i)] = in.value<std::int32_t>();
            if (shape[static_cast<size_t>(i)] < 1)
                in.broken("has a tensor of an impossible shape");
            // Checked as it grows, so that it can never overflow: every element takes bytes.
            elements *= static_cast<std::uint64_t>(shape[static_cast<size_t>(i)]);
            if (elements > in.left() / elementBytes)
                in.broken("ends early");
        }
        std::string name(static_cast<size_t>(nameLength), '\0');
        in.read(name.data(), name.size());

        const bool matrix = dimensions == 2 && std::find(keptAsTheyAre.begin(), keptAsTheyAre.end(),
                                                         name) == keptAsTheyAre.end();
        // ggml quantises whole blocks of a row; a row that is not whole blocks would stop it.
        if (matrix && shape[0] % ggml_blck_size(type) != 0)
            in.broken("has a matrix " + name + " whose rows cannot be quantised");
        out.value(dimensions);
        out.value(nameLength);
        out.value(matrix ? static_cast<std::int32_t>(type) : tensorType);
        for (int i = 0; i < dimensions; ++i)
            out.value(shape[static_cast<size_t>(i)]);
        out.write(name.data(), name.size());
        if (matrix) {
            quantiseMatrix(in, out, tensorType, type, shape[0],
                           static_cast<std::int64_t>(elements) / shape[0]);
            ++quantised;
        } else {
            copyBytes(in, out, elements * elementBytes);
        }
    }
    if (quantised == 0)
        in.broken("has no weights");
}

} // namespace

Made quantise(const std::filesystem::path& source, const std::filesystem::path& target,
              WhisperModel::Variant variant, std::string_view sourceSha256) {
    if (variant == WhisperModel::Variant::original)
        throw Error("The original is not a quantised copy.");
    const ggml_type type = weightType(variant);
    Source in(source);
    Copy out(target);

    if (in.value<std::uint32_t>() != ggmlMagic)
        in.broken("does not start as one");
    out.value(ggmlMagic);
    // Vocabulary size, then the audio and text halves' context, width, heads and layers.
    std::array<std::int32_t, 10> shape{};
    in.read(shape.data(), sizeof shape);
    out.write(shape.data(), sizeof shape);
    const auto weights = in.value<std::int32_t>() % versionFactor;
    if (weights != typeF32 && weights != typeF16)
        in.broken("is already quantised");
    out.value(quantisationVersion * versionFactor + static_cast<std::int32_t>(fileType(variant)));

    // The mel filters.
    const auto mels = in.value<std::int32_t>();
    const auto bins = in.value<std::int32_t>();
    if (mels < 1 || bins < 1 ||
        static_cast<std::uint64_t>(mels) * static_cast<std::uint64_t>(bins) > in.left() / 4)
        in.broken("has mel filters of an impossible size");
    out.value(mels);
    out.value(bins);
    copyBytes(in, out, static_cast<std::uint64_t>(mels) * static_cast<std::uint64_t>(bins) * 4);

    // The vocabulary, each token its length and its bytes.
    const auto tokens = in.value<std::int32_t>();
    if (tokens < 0 || static_cast<std::uint64_t>(tokens) > in.left() / 4)
        in.broken("has a vocabulary of an impossible size");
    out.value(tokens);
    for (std::int32_t i = 0; i < tokens; ++i) {
        const auto length = in.value<std::uint32_t>();
        if (length > in.left())
            in.broken("ends early");
        out.value(length);
        copyBytes(in, out, length);
    }

    copyTensors(in, out, type);

    Made made;
    made.sourceSha256 = in.sha256();
    if (!sourceSha256.empty() && made.sourceSha256 != sourceSha256)
        throw Error(source.filename().string() +
                    " does not have the digest it was downloaded with. Download it again.");
    made.bytes = out.bytes();
    made.copySha256 = out.finish();
    return made;
}

std::string recordText(const Record& record) {
    std::string text = "variant ";
    text.append(WhisperModel::variantName(record.variant)).append("\n");
    text.append("source ").append(record.sourceSha256).append("\n");
    text.append("copy ").append(record.copySha256).append("\n");
    return text;
}

std::optional<Record> parseRecord(std::string_view text) {
    Record record;
    bool hasVariant = false;
    while (!text.empty()) {
        auto newline = text.find('\n');
        auto line = text.substr(0, newline);
        text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
        auto space = line.find(' ');
        if (space == std::string_view::npos)
            continue;
        auto key = line.substr(0, space);
        auto value = TextLines::trimmed(line.substr(space + 1));
        if (key == "variant") {
            auto variant = WhisperModel::variantFromName(value);
            if (!variant)
                return std::nullopt;
            record.variant = *variant;
            hasVariant = true;
        } else if (key == "source") {
            record.sourceSha256 = std::string(value);
        } else if (key == "copy") {
            record.copySha256 = std::string(value);
        }
    }
    if (!hasVariant || record.sourceSha256.size() != 64 || record.copySha256.size() != 64)
        return std::nullopt;
    return record;
}

Made makeCopy(WhisperModel model) {
    if (!model.isVariant() || model.original().variants().empty())
        throw Error("There is no quantised copy of the Whisper " + std::string(model.title()) +
                    " model to make.");
    const WhisperModel original = model.original();
    if (!original.isDownloaded())
        throw Error("The Whisper " + std::string(original.title()) +
                    " model is not downloaded; run tallyvox-cli models download " +
                    std::string(original.rawValue()));
    // A copy in place before its record is refused by the older record's digest, so stopping
    // in between never lets an unrecorded copy load.
    Made made =
        quantise(original.localPath(), model.copyPath(), model.variant(), original.sha256());
    writeFileAtomically(model.copyRecordPath(),
                        recordText({model.variant(), made.sourceSha256, made.copySha256}));
    return made;
}

std::optional<std::string> copyProblem(WhisperModel model) {
    if (!model.isVariant())
        return std::nullopt;
    std::error_code error;
    if (!std::filesystem::is_regular_file(model.copyPath(), error))
        return "is missing";
    auto text = tryReadFileBounded(model.copyRecordPath(), recordLimit);
    auto record = text ? parseRecord(*text) : std::nullopt;
    if (!record || record->variant != model.variant())
        return "has no record of how it was made";
    if (record->sourceSha256 != model.original().sha256())
        return "was made from another file than the downloaded model";
    if (!ModelHash::matches(model.copyPath(), record->copySha256))
        return "does not have the digest it was made with";
    return std::nullopt;
}

std::filesystem::path fileToLoad(WhisperModel model) {
    if (!model.isVariant())
        return model.localPath();
    if (auto problem = copyProblem(model)) {
        Log::error("The {} copy of the Whisper {} model {}; loading the original",
                   WhisperModel::variantName(model.variant()), model.original().title(), *problem);
        return model.localPath();
    }
    return model.copyPath();
}

} // namespace tallyvox::ModelQuantiser
