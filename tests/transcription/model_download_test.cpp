#include "LoopbackHttpServer.h"
#include "base/EventLoop.h"
#include "base/Log.h"
#include "fakes/TempDir.h"
#include "transcription/ModelDownload.h"
#include "transcription/ModelHash.h"
#include "transcription/WhisperContext.h"
#include "transcription/WhisperManager.h"
#include "types/SpeakerModels.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>

namespace tallyvox {
namespace {

using testing::LoopbackHttpServer;
using testing::ScopedEnv;
using testing::TempDir;

const std::filesystem::path sharedVAD =
    std::filesystem::path(TALLYVOX_SHARED_DIR) / "models" / "ggml-silero-v6.2.0.bin";

std::string contents(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write(const std::filesystem::path& file, const std::string& bytes) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << bytes;
}

std::vector<std::string> names(const std::filesystem::path& folder) {
    std::vector<std::string> result;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ignored))
        result.push_back(entry.path().filename().string());
    std::sort(result.begin(), result.end());
    return result;
}

TEST(ModelHash, DigestsFilesOfAnySizeAndRefusesMissingOnes) {
    TempDir dir;
    write(dir / "abc", "abc");
    EXPECT_TRUE(ModelHash::matches(
        dir / "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
    EXPECT_FALSE(ModelHash::matches(
        dir / "abc", "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"));
    EXPECT_TRUE(ModelHash::matches(sharedVAD, VADModel::sha256));
    EXPECT_FALSE(ModelHash::matches(dir / "missing", VADModel::sha256));
    // Over several read chunks: a million 'a's twice and a bit.
    write(dir / "big", std::string(2 * 1048576 + 5, 'a'));
    auto digest = ModelHash::sha256(dir / "big");
    ASSERT_TRUE(digest);
    EXPECT_EQ(digest->size(), 64u);
    write(dir / "big2", std::string(2 * 1048576 + 5, 'a'));
    EXPECT_TRUE(ModelHash::matches(dir / "big2", *digest));
}

struct DownloadFixture : ::testing::Test {
    TempDir dir;
    LoopbackHttpServer server;
    std::string vadBody = contents(sharedVAD);
    std::filesystem::path models = dir / "Models";
    std::filesystem::path target = models / "ggml-silero-v6.2.0.bin";
    ModelDownload::Limits limits{.maxBytes = 1000000};

    std::string fetchError(const std::string& path) {
        try {
            ModelDownload::fetch(server.base() + path, target, std::string(VADModel::sha256),
                                 limits, nullptr);
        } catch (const Error& error) {
            return error.what();
        }
        return "";
    }
};

TEST_F(DownloadFixture, PutsACheckedFileInPlaceWithRisingProgress) {
    server.route("vad.bin", {200, vadBody});
    write(target, "old");
    std::vector<double> progress;
    ModelDownload::fetch(server.base() + "vad.bin", target, std::string(VADModel::sha256), limits,
                         [&](double value) { progress.push_back(value); });
    EXPECT_EQ(contents(target), vadBody);
    ASSERT_FALSE(progress.empty());
    EXPECT_DOUBLE_EQ(progress.back(), 1.0);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_EQ(names(models), std::vector<std::string>{"ggml-silero-v6.2.0.bin"});
}

TEST_F(DownloadFixture, ProgressFollowsTheFileBehindARedirectWithABody) {
    server.route("vad.bin", {200, vadBody});
    server.redirect("moved", server.base() + "vad.bin", std::string(20000, 'r'));
    std::vector<double> progress;
    int requestsAtDone = 0;
    ModelDownload::fetch(server.base() + "moved", target, std::string(VADModel::sha256), limits,
                         [&](double value) {
                             if (value >= 1 && requestsAtDone == 0)
                                 requestsAtDone = server.requests();
                             progress.push_back(value);
                         });
    EXPECT_EQ(contents(target), vadBody);
    EXPECT_EQ(requestsAtDone, 2) << "the redirect's body was taken for the file";
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_DOUBLE_EQ(progress.back(), 1.0);
}

TEST_F(DownloadFixture, BadAnswersLeaveThePreviousFileAndNoTemporaryFile) {
    server.route("missing.bin", {404, "gone"});
    server.route("broken.bin", {500, "oops"});
    server.route("cut.bin", {200, vadBody, vadBody.size() / 2});
    server.route("other.bin", {200, std::string(vadBody.size(), 'x')});
    write(target, "previous");

    EXPECT_EQ(fetchError("missing.bin"),
              "The server answered with HTTP status 404 for ggml-silero-v6.2.0.bin.");
    EXPECT_EQ(fetchError("broken.bin"),
              "The server answered with HTTP status 500 for ggml-silero-v6.2.0.bin.");
    std::string cut = fetchError("cut.bin");
    EXPECT_TRUE(cut.starts_with("The download of ggml-silero-v6.2.0.bin did not complete: "))
        << cut;
    EXPECT_EQ(fetchError("other.bin"), "The downloaded ggml-silero-v6.2.0.bin is damaged: its "
                                       "SHA-256 digest is not the expected one.");

    EXPECT_EQ(contents(target), "previous");
    EXPECT_EQ(names(models), std::vector<std::string>{"ggml-silero-v6.2.0.bin"});
}

// An endless answer, or one announcing a petabyte, filled a 300 MB filesystem within a
// second: the transfer now stops at the file's bound, and at once when the length says so.
TEST_F(DownloadFixture, AnAnswerLargerThanTheFileStopsAtItsBound) {
    const std::string chunk(65536, 'x');
    server.route("endless.bin", {.body = chunk, .endless = true});
    server.route("petabyte.bin", {.body = chunk, .announced = "1000000000000000", .endless = true});
    server.route("lying.bin", {.body = chunk, .announced = "1000", .endless = true});
    server.route("exact.bin", {.body = std::string(1000000, 'x')});
    server.route("one-over.bin", {.body = std::string(1000001, 'x')});
    write(target, "previous");
    const std::string stopped = "The download of ggml-silero-v6.2.0.bin was stopped: the server "
                                "sent more than its 1000000 bytes.";

    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(fetchError("endless.bin"), stopped);
    EXPECT_EQ(fetchError("petabyte.bin"), stopped);
    EXPECT_EQ(fetchError("one-over.bin"), stopped);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    // A length below the truth is not the bound's business: the transfer reads what was
    // announced and the digest refuses it.
    EXPECT_NE(fetchError("lying.bin"), stopped);
    EXPECT_EQ(fetchError("exact.bin"), "The downloaded ggml-silero-v6.2.0.bin is damaged: its "
                                       "SHA-256 digest is not the expected one.")
        << "the bound itself is allowed";

    EXPECT_EQ(contents(target), "previous");
    EXPECT_EQ(names(models), std::vector<std::string>{"ggml-silero-v6.2.0.bin"});
}

// Two bytes a second was still "downloading" after 100 s. Below the minimum rate for the
// given time the transfer fails (a second here; half a minute for users).
TEST_F(DownloadFixture, ADripBelowTheMinimumRateFails) {
    server.route("drip.bin", {.body = vadBody.substr(0, 100),
                              .announced = std::to_string(vadBody.size()),
                              .dripEvery = std::chrono::milliseconds(100)});
    limits.slowSeconds = 1;
    auto started = std::chrono::steady_clock::now();
    std::string error = fetchError("drip.bin");
    EXPECT_TRUE(error.starts_with("The download of ggml-silero-v6.2.0.bin did not complete: "))
        << error;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_TRUE(names(models).empty());

    ModelDownload::Limits defaults;
    EXPECT_EQ(defaults.slowBytesPerSecond, 1024);
    EXPECT_EQ(defaults.slowSeconds, 30);
}

TEST_F(DownloadFixture, WhatCrashedDownloadsLeftIsRemovedButNotARunningDownloadsFile) {
    server.route("vad.bin", {200, vadBody});
    write(models / ".ggml-silero-v6.2.0.bin.1a2b.part", std::string(1000, 'x'));
    write(models / ".ggml-small.bin.3c4d.part", "x");
    write(models / "ggml-silero-v6.2.0.bin.damaged", "set aside after it failed to load");
    write(models / ".ggml-base.bin.5e6f.part", "x");
    int running = ::open((models / ".ggml-base.bin.5e6f.part").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(running, LOCK_EX), 0);

    ModelDownload::fetch(server.base() + "vad.bin", target, std::string(VADModel::sha256), limits,
                         nullptr);
    ::close(running);
    EXPECT_EQ(names(models),
              (std::vector<std::string>{".ggml-base.bin.5e6f.part", "ggml-silero-v6.2.0.bin"}));
}

// Descriptors of this process still open on a temporary download file.
std::vector<std::string> openPartFiles() {
    std::vector<std::string> open;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ignored;
        auto target = std::filesystem::read_symlink(entry.path(), ignored).string();
        if (target.find(".part") != std::string::npos)
            open.push_back(target);
    }
    return open;
}

// The progress callback runs inside curl: what it throws came out through curl's C frames,
// leaving curl mid-transfer and the temporary file open. It now stops the transfer and comes
// out of fetch as it was thrown, after everything was closed and removed.
TEST_F(DownloadFixture, AProgressCallbackThatThrowsStopsTheTransferAndIsRethrown) {
    server.route("endless.bin",
                 {.body = std::string(65536, 'x'), .announced = "900000", .endless = true});
    write(target, "previous");
    auto fetchThrowing = [&](auto thrown) {
        ModelDownload::fetch(server.base() + "endless.bin", target, std::string(VADModel::sha256),
                             limits, [&](double) { throw thrown; });
    };

    try {
        fetchThrowing(std::runtime_error("the progress bar is gone"));
        ADD_FAILURE() << "the download went on";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "the progress bar is gone");
    }
    try {
        fetchThrowing(7);
        ADD_FAILURE() << "the download went on";
    } catch (int thrown) {
        EXPECT_EQ(thrown, 7);
    }

    EXPECT_EQ(contents(target), "previous");
    EXPECT_EQ(names(models), std::vector<std::string>{"ggml-silero-v6.2.0.bin"});
    EXPECT_EQ(openPartFiles(), std::vector<std::string>{});

    // curl itself is left fit for the next download.
    server.route("vad.bin", {200, vadBody});
    ModelDownload::fetch(server.base() + "vad.bin", target, std::string(VADModel::sha256), limits,
                         nullptr);
    EXPECT_EQ(contents(target), vadBody);
}

TEST_F(DownloadFixture, AModelsFolderThatCannotBeMadeFailsBeforeDownloading) {
    server.route("vad.bin", {200, vadBody});
    write(dir / "file", "a regular file");
    // A folder below a regular file cannot exist, even for root.
    target = dir / "file" / "Models" / "ggml-silero-v6.2.0.bin";
    std::string error = fetchError("vad.bin");
    EXPECT_TRUE(error.starts_with("Couldn't create the models folder ")) << error;
    EXPECT_EQ(server.requests(), 0);
    EXPECT_EQ(contents(dir / "file"), "a regular file");
}

// The manager downloads through real HTTP on its own thread and reports on the loop.
struct ManagerFixture : DownloadFixture {
    ScopedEnv data{"XDG_DATA_HOME", dir.path().string()};
    ScopedEnv vadBase{"TALLYVOX_VAD_BASE_URL", server.base()};
    ScopedEnv modelBase{"TALLYVOX_MODEL_BASE_URL", server.base()};
    EventLoop loop;

    void runUntilIdle(WhisperManager& manager) {
        auto done = manager.downloading.observe([&](bool running) {
            if (!running)
                loop.quit();
        });
        auto watchdog = loop.postAfter(std::chrono::seconds(30), [&] { loop.quit(); });
        loop.run();
        watchdog.cancel();
    }
    void modelPresent(WhisperModel model) {
        std::filesystem::create_directories(WhisperModel::directory());
        std::ofstream(model.localPath()).put('x');
        std::filesystem::resize_file(model.localPath(),
                                     static_cast<std::uintmax_t>(model.minimumBytes()));
    }
};

TEST_F(ManagerFixture, FetchesOnlyTheMissingVADWithTheWholeShare) {
    server.route("ggml-silero-v6.2.0.bin", {200, vadBody});
    modelPresent(WhisperModel::tiny);
    EXPECT_EQ(WhisperManager::missingLabel(WhisperModel::tiny, false), "2 MB");
    Log::Capture log;
    WhisperManager manager(loop);
    manager.download(WhisperModel::tiny, false);
    EXPECT_TRUE(manager.downloading.get());
    runUntilIdle(manager);

    EXPECT_DOUBLE_EQ(manager.progress.get(), 1.0);
    EXPECT_EQ(manager.downloadError.get(), std::nullopt);
    EXPECT_EQ(log.texts(), (std::vector<std::string>{"Downloading 1 model files", "Models ready"}));
    EXPECT_EQ(contents(VADModel::localPath()), vadBody);
    EXPECT_EQ(WhisperManager::missingLabel(WhisperModel::tiny, true), "27 MB")
        << "the speaker network is still missing";
}

TEST_F(ManagerFixture, AFailedFetchEndsTheDownloadWithItsReason) {
    server.route("ggml-silero-v6.2.0.bin", {500, "down"});
    modelPresent(WhisperModel::base);
    Log::Capture log;
    WhisperManager manager(loop);
    manager.download(WhisperModel::base, false);
    runUntilIdle(manager);

    std::string expected = "Model download failed: The server answered with HTTP status 500 for "
                           "ggml-silero-v6.2.0.bin.";
    EXPECT_EQ(manager.downloadError.get(), expected);
    EXPECT_FALSE(manager.downloading.get());
    EXPECT_TRUE(log.contains(expected));
    EXPECT_FALSE(VADModel::isDownloaded());
    EXPECT_EQ(names(WhisperModel::directory()), std::vector<std::string>{"ggml-base.bin"});
}

TEST_F(ManagerFixture, GoingAwayMidDownloadStopsTheTransfer) {
    // The server hangs up after half; the manager is gone long before anyone reports.
    server.route("ggml-silero-v6.2.0.bin", {200, vadBody, vadBody.size() / 2});
    modelPresent(WhisperModel::tiny);
    {
        WhisperManager manager(loop);
        manager.download(WhisperModel::tiny, false);
    }
    loop.postAfter(std::chrono::milliseconds(200), [&] { loop.quit(); });
    loop.run();
    EXPECT_FALSE(VADModel::isDownloaded());
}

// Scripted fetches: write the file (at the model's minimum size) and report halfway and done.
struct ScriptedFetches {
    std::vector<DownloadItem> items;
    std::function<void(std::optional<std::string>)> held;
    bool hold = false;
    WhisperManager::Fetcher fetcher() {
        return [this](const DownloadItem& item, std::function<void(double)> progress,
                      std::function<void(std::optional<std::string>)> done) {
            items.push_back(item);
            if (hold) {
                held = done;
                return;
            }
            std::filesystem::create_directories(item.local.parent_path());
            std::ofstream(item.local).put('x');
            std::filesystem::resize_file(item.local, 900000000);
            progress(0.5);
            progress(1.0);
            done(std::nullopt);
        };
    }
};

TEST_F(ManagerFixture, TheModelCountsForMostOfTheProgressAndTheOthersShareTheRest) {
    ScriptedFetches fetches;
    WhisperManager manager(loop, fetches.fetcher());
    EXPECT_EQ(WhisperManager::missingLabel(WhisperModel::small, true), "466 MB + 27 MB + 2 MB");
    std::vector<double> seen;
    auto watch = manager.progress.observe([&](double value) { seen.push_back(value); });
    manager.download(WhisperModel::small, true);

    ASSERT_EQ(fetches.items.size(), 3u);
    EXPECT_EQ(fetches.items[0].remote, server.base() + "ggml-small.bin");
    EXPECT_EQ(fetches.items[0].sha256,
              "1be3a9b2063867b937e64e2ec7483364a79917e157fa98c5d94b5c1fffea987b");
    EXPECT_EQ(fetches.items[1].local, SpeakerModels::localPath());
    EXPECT_EQ(fetches.items[1].sha256, SpeakerModels::sha256);
    EXPECT_EQ(fetches.items[2].local, VADModel::localPath());
    ASSERT_EQ(seen.size(), 6u);
    EXPECT_NEAR(seen[0], 0.475, 1e-9);
    EXPECT_NEAR(seen[1], 0.95, 1e-9);
    EXPECT_NEAR(seen[2], 0.9625, 1e-9);
    EXPECT_NEAR(seen[3], 0.975, 1e-9);
    EXPECT_NEAR(seen[4], 0.9875, 1e-9);
    EXPECT_NEAR(seen[5], 1.0, 1e-9);
    EXPECT_FALSE(manager.downloading.get());
}

// Each file is bounded just above its pinned size: never below it, so a good download is
// never stopped, and not far above.
TEST_F(ManagerFixture, EveryFileIsBoundedJustAboveItsPinnedSize) {
    ScriptedFetches fetches;
    WhisperManager manager(loop, fetches.fetcher());
    manager.download(WhisperModel::turbo, true);
    ASSERT_EQ(fetches.items.size(), 3u);
    const auto turbo = WhisperModel(WhisperModel::turbo).minimumBytes();
    EXPECT_GT(fetches.items[0].maxBytes, turbo + turbo / 10);
    EXPECT_LE(fetches.items[0].maxBytes, turbo * 5 / 4);
    EXPECT_EQ(fetches.items[1].maxBytes, SpeakerModels::bytes);
    EXPECT_GE(fetches.items[2].maxBytes, static_cast<std::int64_t>(vadBody.size()));
    EXPECT_LE(fetches.items[2].maxBytes, VADModel::minimumBytes * 5 / 4);
}

TEST_F(ManagerFixture, OneDownloadAtATimeAndNothingToDoWhenAllIsThere) {
    ScriptedFetches fetches;
    fetches.hold = true;
    WhisperManager manager(loop, fetches.fetcher());
    manager.download(WhisperModel::medium, false);
    manager.download(WhisperModel::tiny, false);
    EXPECT_EQ(fetches.items.size(), 1u);
    fetches.hold = false;
    fetches.held(std::optional<std::string>("no network"));
    EXPECT_EQ(manager.downloadError.get(), "Model download failed: no network");

    // Everything present: no state change and nothing said.
    modelPresent(WhisperModel::tiny);
    std::filesystem::copy_file(sharedVAD, VADModel::localPath());
    std::filesystem::create_directories(SpeakerModels::directory());
    std::ofstream(SpeakerModels::localPath()).close();
    std::filesystem::resize_file(SpeakerModels::localPath(), SpeakerModels::bytes);
    Log::Capture log;
    int changes = 0;
    auto a = manager.downloading.observe([&](bool) { ++changes; });
    auto b = manager.downloadError.observe([&](const auto&) { ++changes; });
    manager.download(WhisperModel::tiny, true);
    EXPECT_EQ(changes, 0);
    EXPECT_TRUE(log.texts().empty());
    EXPECT_EQ(manager.downloadError.get(), "Model download failed: no network");
}

TEST_F(ManagerFixture, AModelThatCannotBeLoadedIsSetAsideSoThatItIsDownloadedAgain) {
    modelPresent(WhisperModel::tiny); // full size, but not a model: a crash before it was written
    std::filesystem::copy_file(sharedVAD, VADModel::localPath());
    EXPECT_THROW(whisperLoader()(WhisperModel::tiny), WhisperContext::LoadError);
    EXPECT_EQ(WhisperManager::missingLabel(WhisperModel::tiny, false), "75 MB");

    ScriptedFetches fetches;
    WhisperManager manager(loop, fetches.fetcher());
    manager.download(WhisperModel::tiny, false);
    ASSERT_EQ(fetches.items.size(), 1u);
    EXPECT_EQ(fetches.items[0].local, WhisperModel(WhisperModel::tiny).localPath());
}

TEST_F(ManagerFixture, AModelStillTooSmallAfterFetchingIsRemoved) {
    std::filesystem::create_directories(WhisperModel::directory());
    std::filesystem::copy_file(sharedVAD, VADModel::localPath());
    WhisperManager manager(loop, [](const DownloadItem& item, auto, auto done) {
        std::ofstream(item.local) << "tiny";
        done(std::nullopt);
    });
    manager.download(WhisperModel::tiny, false);
    EXPECT_EQ(manager.downloadError.get(),
              "Model download failed: The downloaded ggml-tiny.bin is incomplete.");
    EXPECT_FALSE(std::filesystem::exists(WhisperModel(WhisperModel::tiny).localPath()));
}

// The files are the user's alone, and so are the folders that list them: the speaker models
// sit one level deeper and their folders are made by the same download.
TEST_F(DownloadFixture, FoldersItMakesAreTheUsersAlone) {
    server.route("vad.bin", {200, vadBody});
    const auto speakers = dir / "share/Tallyvox/Models/Speakers";
    const mode_t previous = ::umask(022);
    ModelDownload::fetch(server.base() + "vad.bin", speakers / "model.bin",
                         std::string(VADModel::sha256), limits, nullptr);
    ::umask(previous);
    for (const auto& folder :
         {dir / "share", dir / "share/Tallyvox", speakers.parent_path(), speakers}) {
        struct stat facts {};
        ASSERT_EQ(::stat(folder.c_str(), &facts), 0) << folder;
        EXPECT_EQ(facts.st_mode & 07777, 0700u) << folder;
    }
    EXPECT_EQ(contents(speakers / "model.bin"), vadBody);
}

} // namespace
} // namespace tallyvox
