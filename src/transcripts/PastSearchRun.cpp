#include "transcripts/PastSearch.h"

#include "base/Utf8.h"
#include "transcripts/PastSearchScan.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace tallyvox::PastSearch {

namespace fs = std::filesystem;

namespace {

// The whole file in one read, or nothing: a file that is not a regular file when opened, that
// is over the size limit (also one that grew past it since it was listed) or that fails to
// read is skipped.
bool readFile(const fs::path& file, std::string& out) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat info {};
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
              static_cast<std::uintmax_t>(info.st_size) <= maxFileBytes;
    std::size_t total = 0;
    if (ok) {
        out.resize(static_cast<std::size_t>(info.st_size) + 1);
        while (ok) {
            if (total == out.size()) {
                if (out.size() > maxFileBytes) {
                    ok = false;
                    break;
                }
                out.resize(std::min<std::size_t>(out.size() * 2, maxFileBytes + 1));
            }
            const auto got = ::read(fd, out.data() + total, out.size() - total);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                ok = false;
            else if (got == 0)
                break;
            else
                total += static_cast<std::size_t>(got);
        }
    }
    ::close(fd);
    if (!ok || total > maxFileBytes)
        return false;
    out.resize(total);
    return true;
}

std::vector<PastHit> searchFile(const fs::path& file, const Scan::Terms& terms,
                                const std::stop_token& stop, Scan::Buffers& buffers) {
    if (!readFile(file, buffers.bytes))
        return {};
    return Scan::search(buffers.bytes, file, terms, maxHits, stop, buffers);
}

} // namespace

std::vector<PastHit> run(const fs::path& root, std::string_view query, std::stop_token stop,
                         int threads) {
    const auto words = terms(Utf8::repaired(query));
    if (words.empty() || stop.stop_requested())
        return {};
    const auto searched = Scan::prepared(words);
    const auto files = transcriptFiles(root);
    const std::size_t n = files.size();

    // Files are handed out newest first; the result is the hits of the newest files in
    // order, so once the files finished without a gap before them hold enough hits, no
    // further file is started.
    struct Slot {
        std::vector<PastHit> hits;
        bool done = false;
    };
    std::vector<Slot> slots(n);
    std::mutex mutex;
    std::size_t next = 0, finished = 0, finishedHits = 0;
    bool enough = false;
    auto work = [&] {
        Scan::Buffers buffers;
        while (true) {
            std::size_t index;
            {
                std::lock_guard lock(mutex);
                if (enough || next >= n || stop.stop_requested())
                    return;
                index = next++;
            }
            auto hits = searchFile(files[index], searched, stop, buffers);
            std::lock_guard lock(mutex);
            slots[index].hits = std::move(hits);
            slots[index].done = true;
            while (finished < n && slots[finished].done)
                finishedHits += slots[finished++].hits.size();
            if (finishedHits >= static_cast<std::size_t>(maxHits))
                enough = true;
        }
    };
    std::vector<std::jthread> helpers;
    const int extra = std::min<int>(std::max(threads, 1), static_cast<int>(n)) - 1;
    for (int i = 0; i < extra; ++i)
        helpers.emplace_back(work);
    work();
    helpers.clear();

    std::vector<PastHit> out;
    for (std::size_t i = 0; i < finished && out.size() < static_cast<std::size_t>(maxHits); ++i)
        for (auto& hit : slots[i].hits) {
            if (out.size() == static_cast<std::size_t>(maxHits))
                break;
            out.push_back(std::move(hit));
        }
    return out;
}

} // namespace tallyvox::PastSearch
