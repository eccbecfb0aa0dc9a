// Past-transcript search over 250, 500 and 1,000 one-hour transcripts (about 60 kB each),
// side by side with `grep -ril` over the same folders, with a warm page cache.

#include "TranscriptGenerator.h"

#include "transcripts/PastSearch.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>

namespace {

namespace fs = std::filesystem;

// One folder of 1,000 transcripts, and folders of the newest 250 and 500 as hard links to the
// same files, made once for the whole run and removed at exit.
class Corpus {
public:
    static Corpus& get() {
        static Corpus corpus;
        return corpus;
    }
    fs::path folder(int count) const { return root_ / std::to_string(count); }
    std::uintmax_t bytes(int count) const { return bytes_.at(count); }
    ~Corpus() {
        std::error_code ignored;
        if (!std::getenv("PAST_SEARCH_BENCH_KEEP"))
            fs::remove_all(root_, ignored);
    }

private:
    Corpus() {
        std::string pattern = fs::temp_directory_path() / "past-search-bench-XXXXXX";
        if (const char* dir = std::getenv("PAST_SEARCH_BENCH_DIR"))
            pattern = std::string(dir) + "/past-search-bench-XXXXXX";
        root_ = ::mkdtemp(pattern.data());
        const fs::path all = folder(1000);
        tallyvox::bench::generateTranscripts(all, 1000);
        const auto files = tallyvox::PastSearch::transcriptFiles(all);
        for (int count : {250, 500, 1000}) {
            std::uintmax_t total = 0;
            for (int i = 0; i < count; ++i) {
                const auto& file = files[static_cast<std::size_t>(i)];
                if (count != 1000) {
                    const auto copy = folder(count) / fs::relative(file, all);
                    fs::create_directories(copy.parent_path());
                    fs::create_hard_link(file, copy);
                }
                total += fs::file_size(file);
            }
            bytes_[count] = total;
        }
        // Warm the page cache.
        std::string command = "cat -- $(find " + all.string() + " -type f) > /dev/null";
        if (std::system(command.c_str()) != 0)
            throw std::runtime_error("could not read the generated transcripts");
    }
    fs::path root_;
    std::map<int, std::uintmax_t> bytes_;
};

void setCounters(benchmark::State& state, int count) {
    state.counters["files"] = count;
    state.counters["MB"] = static_cast<double>(Corpus::get().bytes(count)) / 1e6;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(Corpus::get().bytes(count)));
    state.SetComplexityN(count);
}

// Query: a word no file holds, so every file is read and rejected by the first scan; the
// same work `grep -ril` does for it.
void BM_PastSearchAbsentWord(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    const auto folder = Corpus::get().folder(count);
    for (auto _ : state) {
        auto hits = tallyvox::PastSearch::run(folder, "zebra");
        if (!hits.empty())
            state.SkipWithError("found an absent word");
        benchmark::DoNotOptimize(hits);
    }
    setCounters(state, count);
}

// The worst query: both words are in every file, never in one turn, so every file is split
// into turns and every turn tested.
void BM_PastSearchWordsInEveryFileNeverTogether(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    const auto folder = Corpus::get().folder(count);
    for (auto _ : state) {
        auto hits = tallyvox::PastSearch::run(folder, "priya quarterly");
        if (!hits.empty())
            state.SkipWithError("Priya never says quarterly");
        benchmark::DoNotOptimize(hits);
    }
    setCounters(state, count);
}

// A usual query: a name and a word found together often; the newest files fill 200 hits.
void BM_PastSearchCommonNameAndWord(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    const auto folder = Corpus::get().folder(count);
    for (auto _ : state) {
        auto hits = tallyvox::PastSearch::run(folder, "sam budget");
        if (hits.size() != 200)
            state.SkipWithError("expected the first 200 matches");
        benchmark::DoNotOptimize(hits);
    }
    setCounters(state, count);
}

double childrenCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The process's CPU time does not hold a child's: grep's own (and its shell's) is the
// counter child_cpu_ms, per run.
void BM_GrepRilAbsentWord(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    const std::string command =
        "grep -ril zebra " + Corpus::get().folder(count).string() + " > /dev/null";
    const double before = childrenCpuSeconds();
    for (auto _ : state) {
        // grep answers 1 when nothing matched.
        if (WEXITSTATUS(std::system(command.c_str())) != 1)
            state.SkipWithError("grep failed");
    }
    state.counters["child_cpu_ms"] =
        (childrenCpuSeconds() - before) * 1000 / static_cast<double>(state.iterations());
    setCounters(state, count);
}

#define PAST_SEARCH_SIZES                                                                          \
    Arg(250)                                                                                       \
        ->Arg(500)                                                                                 \
        ->Arg(1000)                                                                                \
        ->Complexity(benchmark::oN)                                                                \
        ->UseRealTime()                                                                            \
        ->Unit(benchmark::kMillisecond)

BENCHMARK(BM_PastSearchAbsentWord)->PAST_SEARCH_SIZES;
BENCHMARK(BM_GrepRilAbsentWord)->PAST_SEARCH_SIZES;
BENCHMARK(BM_PastSearchWordsInEveryFileNeverTogether)->PAST_SEARCH_SIZES;
BENCHMARK(BM_PastSearchCommonNameAndWord)->PAST_SEARCH_SIZES;

} // namespace

BENCHMARK_MAIN();
