#include "transcription/ModelDownload.h"

#include "base/CallbackBarrier.h"
#include "base/Log.h"
#include "base/Uuid.h"
#include "transcription/ModelFiles.h"
#include "transcription/ModelHash.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string_view>
#include <system_error>

namespace tallyvox::ModelDownload {

namespace {

struct Transfer {
    FILE* file = nullptr;
    std::int64_t maxBytes = 0;
    std::int64_t written = 0;
    bool tooLarge = false;
    bool writeFailed = false;
    int writeErrno = 0;
    const std::function<void(double)>* progress = nullptr;
    const std::atomic<bool>* cancelled = nullptr;
    double lastReported = -1;
    // The response now arriving is a redirect: its body is not the file.
    bool redirecting = false;
    // What a callback threw; curl was told to stop, and it is rethrown once curl returns.
    std::exception_ptr escaped;
};

// Every response of a redirect chain starts with a status line; progress counts only the
// last one, so a redirect with a body is neither shown as done nor starts the bar high.
size_t header(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    // Any answer but the size given stops the transfer.
    return callbackBarrier(transfer->escaped, size_t{0}, [&] {
        std::string_view line(data, size * count);
        if (line.starts_with("HTTP/")) {
            auto space = line.find(' ');
            int status = space == std::string_view::npos ? 0 : std::atoi(line.data() + space + 1);
            transfer->redirecting = status >= 300 && status < 400;
            transfer->lastReported = -1;
        }
        return size * count;
    });
}

size_t writeBody(Transfer* transfer, char* data, size_t bytes) {
    // Checked before writing: what would pass the bound never reaches the disk.
    if (transfer->written + static_cast<std::int64_t>(bytes) > transfer->maxBytes) {
        transfer->tooLarge = true;
        return 0;
    }
    transfer->written += static_cast<std::int64_t>(bytes);
    if (std::fwrite(data, 1, bytes, transfer->file) != bytes) {
        transfer->writeFailed = true;
        transfer->writeErrno = errno;
        return 0;
    }
    return bytes;
}

size_t write(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    return callbackBarrier(transfer->escaped, size_t{0},
                           [&] { return writeBody(transfer, data, size * count); });
}

int reportProgress(Transfer* transfer, curl_off_t total, curl_off_t now) {
    if (transfer->cancelled && transfer->cancelled->load())
        return 1;
    if (total > 0 && !transfer->redirecting && transfer->progress && *transfer->progress) {
        double fraction = static_cast<double>(now) / static_cast<double>(total);
        // A thousand steps are plenty for a progress bar and keep the main thread quiet.
        if (fraction - transfer->lastReported >= 0.001 ||
            (fraction >= 1 && transfer->lastReported < 1)) {
            transfer->lastReported = fraction;
            (*transfer->progress)(std::min(fraction, 1.0));
        }
    }
    return 0;
}

// The caller's progress runs here, inside curl: whatever it throws must stop at this frame.
int report(void* user, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t) {
    auto* transfer = static_cast<Transfer*>(user);
    return callbackBarrier(transfer->escaped, 1,
                           [&] { return reportProgress(transfer, total, now); });
}

// Removes the temporary file unless it was put in place. Holds it locked until then, so that
// another download's clean-up knows it is not abandoned.
struct TemporaryFile {
    std::filesystem::path path;
    int lock = -1;
    bool kept = false;
    ~TemporaryFile() {
        if (!kept) {
            std::error_code ignored;
            std::filesystem::remove(path, ignored);
        }
        if (lock >= 0)
            ::close(lock);
    }
};

FILE* createLocked(TemporaryFile& temporary) {
    int fd = ::open(temporary.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return nullptr;
    temporary.lock = ::dup(fd);
    if (temporary.lock < 0 || ::flock(temporary.lock, LOCK_EX) != 0) {
        ::close(fd);
        return nullptr;
    }
    FILE* file = ::fdopen(fd, "wb");
    if (!file)
        ::close(fd);
    return file;
}

// The file's bytes, then its name in the folder, reach the disk before we call it done: a
// crash must not leave a full-size file of zeros that counts as downloaded.
bool syncFolder(const std::filesystem::path& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

void initialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string systemText(const std::error_code& error) {
    return error.message();
}

} // namespace

void fetch(const std::string& remote, const std::filesystem::path& local, const std::string& sha256,
           const Limits& limits, const std::function<void(double)>& progress,
           const std::atomic<bool>* cancelled) {
    initialiseCurlOnce();
    std::string name = local.filename().string();
    std::filesystem::path folder = local.parent_path();

    // The folder comes first: there is no point downloading what cannot be kept.
    std::error_code error = ModelFiles::createFolder(folder);
    if (error || !std::filesystem::is_directory(folder))
        throw Error("Couldn't create the models folder " + folder.string() + ": " +
                    systemText(error ? error : std::make_error_code(std::errc::not_a_directory)));

    ModelFiles::removeAbandonedDownloads(folder);
    TemporaryFile temporary{ModelFiles::temporaryPath(local, Uuid::random().toString())};
    Transfer transfer;
    transfer.file = createLocked(temporary);
    if (!transfer.file)
        throw Error("Couldn't write to the models folder " + folder.string() + ": " +
                    std::strerror(errno));
    transfer.progress = &progress;
    transfer.cancelled = cancelled;
    transfer.maxBytes = limits.maxBytes;

    std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), &curl_easy_cleanup);
    if (!curl) {
        std::fclose(transfer.file);
        throw Error("Couldn't start the download of " + name + ".");
    }
    char detail[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl.get(), CURLOPT_URL, remote.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, "http,https");
    // A redirect never leaves HTTPS; plain HTTP is only ever asked for by tests on loopback.
    curl_easy_setopt(curl.get(), CURLOPT_REDIR_PROTOCOLS_STR,
                     remote.starts_with("https:") ? "https" : "http,https");
    curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_CONNECTTIMEOUT, 30L);
    // A stalled or dripping transfer fails instead of running for ever.
    curl_easy_setopt(curl.get(), CURLOPT_LOW_SPEED_LIMIT, limits.slowBytesPerSecond);
    curl_easy_setopt(curl.get(), CURLOPT_LOW_SPEED_TIME, limits.slowSeconds);
    // An announced length beyond the bound fails before the body; the write callback holds
    // the bound for answers that announce nothing or lie.
    curl_easy_setopt(curl.get(), CURLOPT_MAXFILESIZE_LARGE,
                     static_cast<curl_off_t>(limits.maxBytes));
    curl_easy_setopt(curl.get(), CURLOPT_ERRORBUFFER, detail);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, &write);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl.get(), CURLOPT_HEADERFUNCTION, &header);
    curl_easy_setopt(curl.get(), CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(curl.get(), CURLOPT_XFERINFOFUNCTION, &report);
    curl_easy_setopt(curl.get(), CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(curl.get(), CURLOPT_NOPROGRESS, 0L);

    CURLcode result = curl_easy_perform(curl.get());
    long status = 0;
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
    int closeErrno = 0;
    if (std::fflush(transfer.file) != 0 || ::fsync(::fileno(transfer.file)) != 0)
        closeErrno = errno;
    if (std::fclose(transfer.file) != 0 && closeErrno == 0)
        closeErrno = errno;
    bool closed = closeErrno == 0;

    // The callback's own failure, not curl's report of the abort it caused; the temporary
    // file goes as for any other failure.
    if (transfer.escaped)
        std::rethrow_exception(transfer.escaped);

    if (transfer.writeFailed)
        throw Error("Couldn't write " + name +
                    " to the models folder: " + std::strerror(transfer.writeErrno));
    if (result == CURLE_ABORTED_BY_CALLBACK && cancelled && cancelled->load())
        throw Error("The download of " + name + " was cancelled.");
    if (transfer.tooLarge || result == CURLE_FILESIZE_EXCEEDED)
        throw Error("The download of " + name + " was stopped: the server sent more than its " +
                    std::to_string(limits.maxBytes) + " bytes.");
    if (result != CURLE_OK) {
        std::string reason = *detail ? detail : curl_easy_strerror(result);
        throw Error("The download of " + name + " did not complete: " + reason);
    }
    if (status != 200)
        throw Error("The server answered with HTTP status " + std::to_string(status) + " for " +
                    name + ".");
    if (!closed)
        throw Error("Couldn't write " + name +
                    " to the models folder: " + std::strerror(closeErrno));
    if (!ModelHash::matches(temporary.path, sha256))
        throw Error("The downloaded " + name +
                    " is damaged: its SHA-256 digest is not the expected one.");

    std::filesystem::rename(temporary.path, local, error);
    if (error)
        throw Error("Couldn't move " + name + " into the models folder: " + systemText(error));
    temporary.kept = true;
    // The file itself is safe; at worst a crash now loses its name, and it is fetched again.
    if (!syncFolder(folder))
        Log::error("Couldn't flush the models folder after {}: {}", name, std::strerror(errno));
    std::filesystem::remove(ModelFiles::setAsidePath(local), error);
    if (progress)
        progress(1.0);
}

} // namespace tallyvox::ModelDownload
