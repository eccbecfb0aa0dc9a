#include "transcription/ModelHash.h"

#include <openssl/evp.h>

#include <cstdio>
#include <memory>
#include <vector>

namespace tallyvox::ModelHash {

std::optional<std::string> sha256(const std::filesystem::path& file) {
    std::unique_ptr<FILE, int (*)(FILE*)> stream(std::fopen(file.c_str(), "rb"), &std::fclose);
    if (!stream)
        return std::nullopt;
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
        return std::nullopt;
    std::vector<unsigned char> chunk(1048576);
    while (true) {
        size_t count = std::fread(chunk.data(), 1, chunk.size(), stream.get());
        if (count == 0)
            break;
        EVP_DigestUpdate(context.get(), chunk.data(), count);
    }
    // A read error must not pass for the end of the file.
    if (std::ferror(stream.get()))
        return std::nullopt;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1)
        return std::nullopt;
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 15];
    }
    return text;
}

bool matches(const std::filesystem::path& file, std::string_view expected) {
    auto digest = sha256(file);
    return digest && *digest == expected;
}

} // namespace tallyvox::ModelHash
