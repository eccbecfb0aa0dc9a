#pragma once

#include "base/Executor.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace tallyvox {

class SerialQueue;

// One speaker turn of a saved transcript in which every searched word occurs.
struct PastHit {
    std::string id; // the file's path, "#", and how many hits that file gave before this one
    std::filesystem::path file;
    std::string meeting; // the "Meeting: " header, or the file name without extension
    std::string date;    // the "Date: " header, or empty
    std::string time;    // as written, e.g. 00:12:40
    std::string speaker; // as written, or empty
    std::string text;    // the turn's lines joined with single spaces
    bool operator==(const PastHit&) const = default;
};

// Searching every saved transcript for a speaker and words at once. Nothing is indexed: each
// search reads the transcript files again, so what it finds is always what is on disk.
namespace PastSearch {

inline constexpr int maxHits = 200;
inline constexpr std::uintmax_t maxFileBytes = 5'000'000;

inline constexpr const char* emptyTitle = "Search Past Transcripts";
inline constexpr const char* emptyText =
    "Type a name and words, like “sam budget”. Only this computer is searched.";
inline constexpr const char* prompt = "Name or words";

// The query split at white space, empty pieces dropped, in order.
std::vector<std::string> terms(std::string_view query);
// "" for 0, "3 matches", "1 match", "First 200 matches".
std::string summary(std::size_t hitCount);

// The turns of one transcript text in which every term occurs (in the speaker's name or the
// turn's text, without regard to case), in file order, at most `limit`. Stops early, with
// what it has, when `stop` is requested.
std::vector<PastHit> search(std::string_view text, const std::filesystem::path& file,
                            const std::vector<std::string>& terms, int limit = maxHits,
                            std::stop_token stop = {});

// The transcript text files under `root` that a search reads, newest first. Diagnostics
// reports, exports and other people's files are left out, and so are files over
// maxFileBytes and links that lead out of `root`.
std::vector<std::filesystem::path> transcriptFiles(const std::filesystem::path& root);

// The hits of every transcript under `root`, newest transcript first, at most maxHits.
// Synchronous; files are read on `threads` threads. Returns what it has once `stop` is
// requested.
std::vector<PastHit> run(const std::filesystem::path& root, std::string_view query,
                         std::stop_token stop = {}, int threads = 2);

// Runs searches off the calling thread, one at a time: starting a search cancels the one
// before, whose results are then never delivered. Results arrive through `deliverOn`, which
// must run its tasks on the thread that calls start() and cancel().
class Searcher {
public:
    using Done = std::function<void(std::vector<PastHit>)>;
    explicit Searcher(Executor& deliverOn);
    ~Searcher(); // cancels; waits for a running search to notice
    Searcher(const Searcher&) = delete;
    Searcher& operator=(const Searcher&) = delete;

    void start(std::filesystem::path root, std::string query, Done done);
    void cancel();
    bool isRunning() const;

private:
    struct State;
    std::shared_ptr<State> state_;
    std::unique_ptr<SerialQueue> queue_;
};

} // namespace PastSearch
} // namespace tallyvox
