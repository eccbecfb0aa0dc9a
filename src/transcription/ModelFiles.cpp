#include "transcription/ModelFiles.h"

#include "base/Log.h"
#include "transcription/ModelHash.h"

#include <cerrno>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tallyvox::ModelFiles {

namespace {

constexpr std::string_view temporarySuffix = ".part";

bool isTemporaryName(const std::string& name) {
    return name.size() > temporarySuffix.size() + 1 && name.front() == '.' &&
           name.ends_with(temporarySuffix);
}

// A running download holds its file locked; a dead one's lock went with its process.
bool isAbandoned(const std::filesystem::path& file) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
}

} // namespace

std::error_code createFolder(const std::filesystem::path& folder) {
    if (folder.empty())
        return {};
    struct stat facts {};
    if (::stat(folder.c_str(), &facts) == 0)
        return S_ISDIR(facts.st_mode) ? std::error_code()
                                      : std::make_error_code(std::errc::not_a_directory);
    if (errno != ENOENT)
        return {errno, std::generic_category()};
    if (auto error = createFolder(folder.parent_path()))
        return error;
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return {errno, std::generic_category()};
    return {};
}

std::filesystem::path temporaryPath(const std::filesystem::path& target, std::string_view unique) {
    // Appended: `"." + std::string` trips GCC 12's bogus -Wrestrict at -O3 (GCC bug 105329).
    std::string name = ".";
    name.append(target.filename().string()).append(".").append(unique).append(temporarySuffix);
    return target.parent_path() / name;
}

void removeAbandonedDownloads(const std::filesystem::path& folder) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        std::error_code ignored;
        if (!entry.is_regular_file(ignored) || !isTemporaryName(entry.path().filename()) ||
            !isAbandoned(entry.path()))
            continue;
        if (std::filesystem::remove(entry.path(), ignored))
            Log::info("Removed {}, left by an unfinished download", entry.path().string());
    }
}

std::filesystem::path setAsidePath(const std::filesystem::path& model) {
    auto path = model;
    path += ".damaged";
    return path;
}

void setAsideIfDamaged(const std::filesystem::path& model, std::string_view sha256) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(model, error) || ModelHash::matches(model, sha256))
        return;
    setAside(model);
}

void setAside(const std::filesystem::path& model) {
    std::error_code error;
    std::filesystem::rename(model, setAsidePath(model), error);
    if (error) {
        Log::error("Couldn't set aside the damaged {}: {}", model.string(), error.message());
        return;
    }
    Log::error("Set aside the damaged {} as {}", model.filename().string(),
               setAsidePath(model).filename().string());
}

bool hasDigest(std::string_view bytes, std::string_view sha256) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        return false;
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 15];
    }
    return text == sha256;
}

} // namespace tallyvox::ModelFiles
