#include "../transcription/LoopbackHttpServer.h"
#include "ChildProcess.h"
#include "base/AtomicFile.h"
#include "fakes/TempDir.h"
#include "transcription/ModelQuantiser.h"
#include "transcripts/TranscriptManager.h"
#include "types/WhisperModel.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <sys/wait.h>

namespace tallyvox {
namespace {

using testing::TempDir;

struct CliRun {
    int code = -1;
    std::string out;
    std::string err;
};

// `prefix` goes before the binary, for limits and timeouts.
CliRun cli(const std::string& arguments, const TempDir& dir, const std::string& prefix = "") {
    std::string errFile = (dir / "stderr.txt").string();
    std::string command = prefix + std::string(TALLYVOX_CLI) + " " + arguments + " 2>" + errFile;
    CliRun run;
    FILE* pipe = ::popen(command.c_str(), "r");
    char buffer[4096];
    size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        run.out.append(buffer, count);
    int status = ::pclose(pipe);
    run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (WIFSIGNALED(status))
        run.code = 128 + WTERMSIG(status);
    std::ifstream in(errFile);
    run.err.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return run;
}

double figure(const std::string& text, const std::string& name) {
    std::smatch match;
    if (!std::regex_search(text, match, std::regex(name + " ([0-9.]+)")))
        return -1;
    return std::stod(match[1]);
}

// Two minutes of synthetic speech at 22.05 kHz, so decoding and resampling are exercised.
std::string twoMinutesOfSpeech(const TempDir& dir) {
    std::mt19937 random(3);
    const char* words[] = {"the",  "meeting", "starts", "with", "a",    "review", "of",  "last",
                           "week", "and",     "then",   "we",   "talk", "about",  "the", "budget"};
    std::string text;
    for (int i = 0; i < 450; ++i)
        text += std::string(words[random() % 16]) + " ";
    std::ofstream(dir / "text.txt") << text;
    std::string raw = (dir / "raw.wav").string(), wav = (dir / "speech.wav").string();
    std::string make = "espeak-ng -w " + raw + " -f " + (dir / "text.txt").string() + " && sox " +
                       raw + " " + wav + " pad 0 30 trim 0 120";
    EXPECT_EQ(std::system(make.c_str()), 0);
    return wav;
}

TEST(CommandLine, TranscribingTwoMinutesCommitsEveryWindowAndLosesNoAudio) {
    TempDir dir;
    std::string wav = twoMinutesOfSpeech(dir);
    std::string srt = (dir / "out.srt").string();
    CliRun run = cli("transcribe " + wav +
                         " --model " TALLYVOX_TEST_MODEL
                         " --vad /nonexistent --language en --chunk 20 --output " +
                         srt + " --format srt",
                     dir);
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_DOUBLE_EQ(figure(run.err, "audio"), 120.0);
    EXPECT_DOUBLE_EQ(figure(run.err, "received"), 120.0);
    EXPECT_DOUBLE_EQ(figure(run.err, "processed"), 120.0);
    EXPECT_GE(figure(run.err, "windows"), 6);
    EXPECT_GT(figure(run.err, "whisper"), 0);

    // Every printed line is in the subtitles, in order.
    std::ifstream in(srt);
    std::string subtitles((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t printed = 0, at = 0;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
        ASSERT_TRUE(line.starts_with("[")) << line;
        std::string text = line.substr(line.find("] ") + 2);
        at = subtitles.find(text, at);
        ASSERT_NE(at, std::string::npos) << text;
        ++printed;
    }
    EXPECT_GT(printed, 0u);
    EXPECT_NE(subtitles.find(" --> "), std::string::npos);
}

// Two espeak-ng voices taking turns, through the real engine with the narrow random-weight
// speaker network: every line carries a speaker, and the missing pinned model is explained.
TEST(CommandLine, TranscribingWithSpeakersNamesEveryLine) {
    TempDir dir;
    std::string parts;
    const char* turns[][2] = {{"en-us+m3", "Good morning, let us look at the release plan now."},
                              {"en-gb+f2", "The build is green and the reviews are nearly done."},
                              {"en-us+m3", "Then we ship on Thursday after the final checks."},
                              {"en-gb+f2", "I will write the notes and send them to everyone."}};
    for (int i = 0; i < 4; ++i) {
        auto part = (dir / ("turn" + std::to_string(i) + ".wav")).string();
        std::string say =
            std::string("espeak-ng -v ") + turns[i][0] + " -w " + part + " \"" + turns[i][1] + "\"";
        ASSERT_EQ(std::system(say.c_str()), 0);
        parts += part + " ";
    }
    std::string wav = (dir / "talk.wav").string();
    ASSERT_EQ(std::system(("sox " + parts + wav + " pad 0 25").c_str()), 0);

    CliRun run = cli("transcribe " + wav +
                         " --model " TALLYVOX_TEST_MODEL
                         " --language en --chunk 10 --speaker-model " TALLYVOX_SPEAKER_FIXTURE,
                     dir);
    ASSERT_EQ(run.code, 0) << run.err;
    std::istringstream lines(run.out);
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count)
        EXPECT_TRUE(std::regex_search(line, std::regex("^\\[[0-9:]+\\] Speaker [A-Z]")))
            << line << "\n"
            << run.err;
    EXPECT_GT(count, 0) << run.err;

    const char* data = std::getenv("XDG_DATA_HOME");
    const char* homeDir = std::getenv("HOME");
    std::filesystem::path models =
        data && *data ? std::filesystem::path(data)
                      : std::filesystem::path(homeDir ? homeDir : "/") / ".local/share";
    if (!std::filesystem::exists(models / "Tallyvox/Models/Speakers/voxceleb_resnet34_LM.onnx")) {
        CliRun missing =
            cli("transcribe " + wav + " --model " TALLYVOX_TEST_MODEL " --speakers", dir);
        EXPECT_NE(missing.code, 0);
        EXPECT_NE(missing.err.find("speaker model is not downloaded"), std::string::npos)
            << missing.err;
    }
}

TEST(CommandLine, ClearErrorsWithExitCodes) {
    TempDir dir;
    std::ofstream(dir / "notes.wav") << "not audio at all";
    CliRun missing =
        cli("transcribe " + (dir / "none.wav").string() + " --model " TALLYVOX_TEST_MODEL, dir);
    EXPECT_EQ(missing.code, 3);
    EXPECT_NE(missing.err.find("No such file"), std::string::npos);

    CliRun unknown = cli("transcribe " + (dir / "notes.wav").string() + " --model huge", dir);
    EXPECT_EQ(unknown.code, 4);
    EXPECT_NE(unknown.err.find("Unknown model \"huge\""), std::string::npos);

    CliRun unreadable =
        cli("transcribe " + (dir / "notes.wav").string() + " --model " TALLYVOX_TEST_MODEL, dir);
    EXPECT_EQ(unreadable.code, 1);
    EXPECT_NE(unreadable.err.find("Couldn't read the audio in"), std::string::npos);

    EXPECT_EQ(cli("transcribe", dir).code, 2);
    EXPECT_EQ(cli("transcribe x.wav --format doc", dir).code, 2);
    // The window length has one range everywhere: the settings' own.
    CliRun shortWindow = cli("transcribe x.wav --chunk 3", dir);
    EXPECT_EQ(shortWindow.code, 2);
    EXPECT_NE(shortWindow.err.find("--chunk: chunkSeconds is between 5 and 28."), std::string::npos)
        << shortWindow.err;
}

std::string shortSpeech(const TempDir& dir) {
    std::string wav = (dir / "short.wav").string();
    EXPECT_EQ(std::system(("espeak-ng -w " + wav + " \"The budget review is on Monday.\"").c_str()),
              0);
    return wav;
}

// A speaker model named on the command line that does not load ends the command: a
// transcript without the speakers asked for is not a success. And the hint for a missing
// pinned model never has a run with a model file fetch a Whisper model it has no use for.
TEST(CommandLine, SpeakerModelsThatCannotBeUsedEndTheCommandWithAHintThatFits) {
    TempDir dir;
    testing::ScopedEnv data("XDG_DATA_HOME", (dir / "data").string());
    const std::string wav = shortSpeech(dir);
    const auto broken = dir / "broken.onnx";
    std::ofstream(broken) << "not a network";
    CliRun failing = cli("transcribe " + wav +
                             " --model " TALLYVOX_TEST_MODEL
                             " --vad /nonexistent --language en --speaker-model " +
                             broken.string(),
                         dir);
    EXPECT_EQ(failing.code, 1) << failing.err;
    EXPECT_NE(failing.err.find("Couldn't load the speaker model " + broken.string() + ": "),
              std::string::npos)
        << failing.err;
    EXPECT_EQ(failing.out, "") << "nothing was transcribed";

    const std::string withFile =
        "transcribe " + wav + " --model " TALLYVOX_TEST_MODEL " --speakers";
    CliRun nothingHere = cli(withFile, dir);
    EXPECT_EQ(nothingHere.code, 3);
    EXPECT_NE(nothingHere.err.find("The speaker model is not downloaded; run tallyvox-cli models "
                                   "download tiny --speakers (it fetches the Whisper Tiny model "
                                   "too"),
              std::string::npos)
        << nothingHere.err;

    const WhisperModel base = WhisperModel::base;
    std::filesystem::create_directories(base.localPath().parent_path());
    std::ofstream(base.localPath()).close();
    std::filesystem::resize_file(base.localPath(),
                                 static_cast<std::uintmax_t>(base.minimumBytes()));
    CliRun baseHere = cli(withFile, dir);
    EXPECT_EQ(baseHere.code, 3);
    EXPECT_NE(baseHere.err.find("run tallyvox-cli models download base --speakers (the Whisper "
                                "Base model is already here, so only the speaker model is "
                                "fetched), or give a speaker model file with --speaker-model FILE"),
              std::string::npos)
        << baseHere.err;
    EXPECT_EQ(baseHere.err.find("download tiny"), std::string::npos) << baseHere.err;

    CliRun named = cli("transcribe " + wav + " --model base --speakers", dir);
    EXPECT_NE(named.err.find("The speaker model is not downloaded; run tallyvox-cli models "
                             "download base --speakers\n"),
              std::string::npos)
        << named.err;
}

// Values written into the preferences by hand are listed as the app reads them; a binary
// preferences file is read, and one that cannot be read is kept when a setting is changed.
TEST(CommandLine, SettingsShowWhatIsInForceAndKeepAFileTheyCannotRead) {
    TempDir dir;
    testing::ScopedEnv home("HOME", dir.path().string());
    testing::ScopedEnv config("XDG_CONFIG_HOME", (dir / "config").string());
    testing::ScopedEnv data("XDG_DATA_HOME", (dir / "data").string());
    const auto prefs = dir / "config/tallyvox/preferences.plist";
    writeFileAtomically(prefs, "<plist version=\"1.0\"><dict>"
                               "<key>chunkSeconds</key><real>nan</real>"
                               "<key>deleteAfterDays</key><real>-1e308</real>"
                               "<key>diarize</key><string>maybe</string>"
                               "</dict></plist>");
    CliRun list = cli("settings list", dir);
    EXPECT_EQ(list.code, 0) << list.err;
    EXPECT_NE(list.out.find("chunkSeconds = 5  (number, stored value NaN ignored)\n"),
              std::string::npos)
        << list.out;
    EXPECT_NE(list.out.find("deleteAfterDays = 0  (integer, stored value -1e+308 ignored)\n"),
              std::string::npos)
        << list.out;
    EXPECT_NE(list.out.find("diarize = false  (boolean, stored value \"maybe\" ignored)\n"),
              std::string::npos)
        << list.out;
    CliRun get = cli("settings get chunkSeconds", dir);
    EXPECT_EQ(get.out, "5\n");
    EXPECT_NE(get.err.find("chunkSeconds: stored value NaN ignored"), std::string::npos);

    // {"chunkSeconds": 12.5, "diarize": false} as a binary property list.
    const char binary[] = "bplist00\xd2\x01\x02\x03\x04\\chunkSecondsWdiarize#@)\x00\x00\x00\x00"
                          "\x00\x00\x08\x08\x0d\x1a\x22\x2b\x00\x00\x00\x00\x00\x00\x01\x01\x00"
                          "\x00\x00\x00\x00\x00\x00\x05\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
                          "\x00\x00\x00\x00\x00\x2c";
    writeFileAtomically(prefs, std::string(binary, sizeof binary - 1));
    EXPECT_EQ(cli("settings get chunkSeconds", dir).out, "12.5\n");
    ASSERT_EQ(cli("settings set language de", dir).code, 0);
    EXPECT_EQ(cli("settings get chunkSeconds", dir).out, "12.5\n") << "kept through a change";

    writeFileAtomically(prefs, "bplist00 of a kind not read here");
    CliRun set = cli("settings set language de", dir);
    EXPECT_EQ(set.code, 0) << set.err;
    EXPECT_NE(set.err.find("it is kept as " + prefs.string() + ".unreadable"), std::string::npos)
        << set.err;
    EXPECT_EQ(readWholeFile(prefs.string() + ".unreadable"), "bplist00 of a kind not read here");
}

// The transcript is the user's: owner-only, and a link planted at its name is replaced, not
// followed to overwrite what it points at.
TEST(CommandLine, TranscribeOutputIsPrivateAndNeverWrittenThroughALink) {
    TempDir dir;
    const std::string wav = shortSpeech(dir);
    const std::string base = "transcribe " + wav +
                             " --model " TALLYVOX_TEST_MODEL
                             " --vad /nonexistent --language en --output ";

    CliRun plain = cli(base + (dir / "out.txt").string(), dir);
    ASSERT_EQ(plain.code, 0) << plain.err;
    EXPECT_EQ(std::filesystem::status(dir / "out.txt").permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

    writeFileAtomically(dir / "victim.txt", "someone else's notes\n");
    std::filesystem::create_symlink(dir / "victim.txt", dir / "linked.txt");
    CliRun linked = cli(base + (dir / "linked.txt").string(), dir);
    ASSERT_EQ(linked.code, 0) << linked.err;
    EXPECT_EQ(readWholeFile(dir / "victim.txt"), "someone else's notes\n");
    EXPECT_FALSE(std::filesystem::is_symlink(dir / "linked.txt"));
    EXPECT_EQ(std::filesystem::status(dir / "linked.txt").permissions() &
                  std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

// A WAV whose header claims 2^31 frames over 4 KB of data and a sparse rest: reading it
// whole needed 8 GB before recognition began. Streamed, it runs in a 4 GB address space for
// as long as it is let.
TEST(CommandLine, TranscribeStreamsTheFileWhateverLengthItClaims) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizers reserve more address space than the limit";
#endif
    TempDir dir;
    const auto wav = dir / "claims.wav";
    {
        auto le32 = [](std::uint32_t v) {
            return std::string{static_cast<char>(v), static_cast<char>(v >> 8),
                               static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
        };
        auto le16 = [](std::uint16_t v) {
            return std::string{static_cast<char>(v), static_cast<char>(v >> 8)};
        };
        std::string header = "RIFF" + le32(0xFFFFFFFF) + "WAVEfmt " + le32(16) + le16(1) + le16(1) +
                             le32(16000) + le32(32000) + le16(2) + le16(16) + "data" +
                             le32(0xFFFFFFFE);
        std::ofstream(wav, std::ios::binary) << header << std::string(4096, '\x10');
    }
    std::filesystem::resize_file(wav, 44 + 0xFFFFFFFEull);

    CliRun run = cli("transcribe " + wav.string() +
                         " --model " TALLYVOX_TEST_MODEL " --vad " TALLYVOX_SHARED_DIR
                         "/models/ggml-silero-v6.2.0.bin --language en",
                     dir, "ulimit -v 4194304; MALLOC_ARENA_MAX=2 timeout 8 ");
    EXPECT_EQ(run.code, 124) << "still transcribing when stopped: " << run.err;
    EXPECT_EQ(run.err.find("bad_alloc"), std::string::npos) << run.err;
}

// Ctrl-C in the middle of a download ends it there, and its partial file goes with it rather
// than waiting for the next download to clear it away.
TEST(CommandLine, InterruptingADownloadRemovesItsPartialFile) {
    TempDir dir;
    testing::LoopbackHttpServer server;
    server.route("ggml-tiny.bin", {.body = std::string(100000, 'x'),
                                   .announced = "77691713",
                                   .dripEvery = std::chrono::milliseconds(20)});
    testing::ScopedEnv data("XDG_DATA_HOME", dir.path().string());
    testing::ScopedEnv models("TALLYVOX_MODEL_BASE_URL", server.base());
    testing::ScopedEnv vad("TALLYVOX_VAD_BASE_URL", server.base());
    const auto folder = dir / "Tallyvox" / "Models";
    auto partials = [&] {
        int count = 0;
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(folder, ignored))
            count += entry.path().extension() == ".part";
        return count;
    };

    testing::ChildProcess download({TALLYVOX_CLI, "models", "download", "tiny"}, "/dev/null",
                                   "/dev/null", dir / "err.txt");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (partials() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(partials(), 1) << "the download never started";
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    download.signal(SIGINT);
    EXPECT_EQ(download.exitStatus(20), 130) << testing::readText(dir / "err.txt");
    EXPECT_EQ(partials(), 0);
    EXPECT_NE(testing::readText(dir / "err.txt").find("Download cancelled."), std::string::npos);
}

// A quantised copy is listed as the faster variant of its model and used by name while it has
// the digest recorded when it was made; otherwise the original is, and the user is told.
TEST(Cli, AQuantisedCopyIsListedAndUsedOnlyWithItsRecordedDigest) {
    TempDir dir;
    testing::ScopedEnv data("XDG_DATA_HOME", dir.path().string());
    const WhisperModel copy(WhisperModel::tiny, WhisperModel::Variant::q5_1);
    std::filesystem::create_directories(copy.localPath().parent_path());
    std::filesystem::copy_file(TALLYVOX_TEST_MODEL, copy.localPath());

    CliRun refused = cli("models quantize tiny q5_1", dir);
    EXPECT_EQ(refused.code, 1);
    EXPECT_NE(refused.err.find("ggml-tiny.bin does not have the digest it was downloaded with"),
              std::string::npos)
        << refused.err;
    EXPECT_FALSE(std::filesystem::exists(copy.copyPath()));
    EXPECT_EQ(cli("models list", dir).out.find("tiny-q5_1"), std::string::npos);

    // As if the test model were the pinned download.
    auto made =
        ModelQuantiser::quantise(TALLYVOX_TEST_MODEL, copy.copyPath(), WhisperModel::Variant::q5_1);
    writeFileAtomically(copy.copyRecordPath(),
                        ModelQuantiser::recordText({WhisperModel::Variant::q5_1,
                                                    std::string(copy.sha256()), made.copySha256}));
    CliRun listed = cli("models list", dir);
    EXPECT_TRUE(std::regex_search(listed.out, std::regex("\ntiny-q5_1 +[0-9.]+ MB  ok, faster\n")))
        << listed.out;
    const std::string jfk = TALLYVOX_SHARED_DIR "/audio/jfk.wav";
    CliRun used = cli("transcribe " + jfk + " --model tiny-q5_1 --language en", dir);
    EXPECT_EQ(used.code, 0) << used.err;
    EXPECT_EQ(used.err.find("using the original"), std::string::npos) << used.err;

    {
        std::fstream file(copy.copyPath(), std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(-1, std::ios::end);
        file.put('\x7f');
    }
    listed = cli("models list", dir);
    EXPECT_NE(listed.out.find("not used: it does not have the digest it was made with"),
              std::string::npos)
        << listed.out;
    CliRun fellBack = cli("transcribe " + jfk + " --model tiny-q5_1 --language en", dir);
    EXPECT_EQ(fellBack.code, 0) << fellBack.err;
    EXPECT_NE(fellBack.err.find("The q5_1 copy of the Whisper Tiny model does not have the "
                                "digest it was made with; using the original."),
              std::string::npos)
        << fellBack.err;
}

// A saved transcript of a past meeting, as the app writes it.
std::string pastTranscript(const TempDir& dir, std::vector<TranscriptSegment>& lines,
                           TranscriptRecord& record) {
    record.meeting = DetectedMeeting{Platform::teams, 3, "Microsoft Teams", false};
    record.startedAt = std::chrono::sys_days{std::chrono::year{2026} / 11 / 30} +
                       std::chrono::hours{9} + std::chrono::minutes{30};
    record.consentAt = record.startedAt;
    record.endedAt = record.startedAt + std::chrono::minutes{45};
    record.filePath = dir / "Teams_Meeting_09-30.txt";
    for (int i = 0; i < 6; ++i) {
        TranscriptSegment line;
        line.start = i * 7.0;
        line.end = line.start + 5;
        line.speaker = i % 3 == 2 ? std::optional<int>() : std::optional<int>(i % 2);
        line.text = "Point " + std::to_string(i) + (i == 1 ? " — Привет" : "");
        lines.push_back(line);
    }
    auto name = [](int s) { return s ? std::string("Ravi") : std::string("Jo"); };
    writeFileAtomically(record.filePath, TranscriptManager::text(record, lines, name));
    return TranscriptManager::markdown(record, lines, name);
}

TEST(CommandLine, ExportsASavedTranscriptInEveryFormatBesideItOrWhereAsked) {
    TempDir dir;
    std::vector<TranscriptSegment> lines;
    TranscriptRecord record;
    const std::string markdown = pastTranscript(dir, lines, record);
    const std::string input = record.filePath.string();

    for (const char* format : {"md", "srt", "docx", "pdf"}) {
        CliRun run = cli("export " + input + " --format " + format, dir);
        auto target = std::filesystem::path(record.filePath).replace_extension(format);
        ASSERT_EQ(run.code, 0) << format << ": " << run.err;
        EXPECT_EQ(run.out, target.string() + "\n");
        ASSERT_TRUE(std::filesystem::exists(target)) << format;
    }
    EXPECT_EQ(readWholeFile(dir / "Teams_Meeting_09-30.md"), markdown)
        << "read back, the transcript exports as the finished meeting did";
    const auto srt = *readWholeFile(dir / "Teams_Meeting_09-30.srt");
    EXPECT_NE(srt.find("00:00:07,000 --> 00:00:14,000\nRavi: Point 1 — Привет\n"),
              std::string::npos)
        << srt;
    EXPECT_TRUE(readWholeFile(dir / "Teams_Meeting_09-30.docx")->starts_with("PK"));

    const auto elsewhere = dir / "out" / "minutes.pdf";
    CliRun pdf = cli("export " + input + " --format pdf --output " + elsewhere.string(), dir);
    EXPECT_EQ(pdf.code, 0) << pdf.err;
    EXPECT_TRUE(readWholeFile(elsewhere)->starts_with("%PDF-"));
}

TEST(CommandLine, ExportRefusesWhatIsNotATranscriptAndNeverOverwritesOne) {
    TempDir dir;
    std::vector<TranscriptSegment> lines;
    TranscriptRecord record;
    pastTranscript(dir, lines, record);
    const std::string input = record.filePath.string();
    const auto before = readWholeFile(record.filePath);

    CliRun missing = cli("export " + (dir / "none.txt").string() + " --format pdf", dir);
    EXPECT_EQ(missing.code, 3);
    EXPECT_NE(missing.err.find("No transcript at"), std::string::npos) << missing.err;

    CliRun folder = cli("export " + dir.path().string() + " --format pdf", dir);
    EXPECT_EQ(folder.code, 1);
    EXPECT_NE(folder.err.find("is not a transcript file"), std::string::npos) << folder.err;

    writeFileAtomically(dir / "notes.txt", "Shopping list\n\nmilk\n");
    CliRun notes = cli("export " + (dir / "notes.txt").string() + " --format docx", dir);
    EXPECT_EQ(notes.code, 1);
    EXPECT_NE(notes.err.find("is not a Tallyvox transcript"), std::string::npos) << notes.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "notes.docx"));

    writeFileAtomically(dir / "odd.txt", "Meeting: x\nPlatform: Skype\n");
    EXPECT_EQ(cli("export " + (dir / "odd.txt").string() + " --format md", dir).code, 1);

    CliRun self = cli("export " + input + " --format md --output " + input, dir);
    EXPECT_EQ(self.code, 1);
    EXPECT_EQ(readWholeFile(record.filePath), before);

    EXPECT_EQ(cli("export " + input + " --format rtf", dir).code, 2);
    EXPECT_EQ(cli("export " + input, dir).code, 2);
}

// An export writes a new file of its own kind; replacing one needs --force, and never
// replaces a transcript or a file of another kind.
TEST(CommandLine, ExportReplacesOnlyItsOwnKindAndOnlyWhenForced) {
    TempDir dir;
    std::vector<TranscriptSegment> lines;
    TranscriptRecord record;
    pastTranscript(dir, lines, record);
    const std::string input = record.filePath.string();
    writeFileAtomically(dir / "other.txt", "Meeting: another one\n");
    writeFileAtomically(dir / "notes.md", "my own notes\n");
    auto exporting = [&](const std::string& rest) {
        return cli("export " + input + " " + rest, dir);
    };

    for (const char* force : {"", " --force"}) {
        CliRun transcript =
            exporting("--format pdf --output " + (dir / "other.txt").string() + force);
        EXPECT_EQ(transcript.code, 1);
        EXPECT_NE(transcript.err.find("a pdf export is named *.pdf"), std::string::npos)
            << transcript.err;
        CliRun mismatched =
            exporting("--format pdf --output " + (dir / "minutes.docx").string() + force);
        EXPECT_EQ(mismatched.code, 1);
        EXPECT_FALSE(std::filesystem::exists(dir / "minutes.docx"));
    }
    EXPECT_EQ(readWholeFile(dir / "other.txt"), "Meeting: another one\n");

    CliRun notes = exporting("--format md --output " + (dir / "notes.md").string());
    EXPECT_EQ(notes.code, 1);
    EXPECT_NE(notes.err.find("notes.md already exists; add --force to replace it."),
              std::string::npos)
        << notes.err;
    EXPECT_EQ(readWholeFile(dir / "notes.md"), "my own notes\n");
    CliRun forced = exporting("--format md --output " + (dir / "notes.md").string() + " --force");
    EXPECT_EQ(forced.code, 0) << forced.err;
    EXPECT_NE(readWholeFile(dir / "notes.md"), "my own notes\n");

    // The default name beside the transcript follows the same rule.
    ASSERT_EQ(exporting("--format srt").code, 0);
    const auto beside = std::filesystem::path(record.filePath).replace_extension("srt");
    writeFileAtomically(beside, "edited subtitles\n");
    CliRun again = exporting("--format srt");
    EXPECT_EQ(again.code, 1);
    EXPECT_EQ(readWholeFile(beside), "edited subtitles\n");
    EXPECT_EQ(exporting("--format srt --force").code, 0);
    EXPECT_NE(readWholeFile(beside), "edited subtitles\n");

    std::filesystem::create_directory(dir / "outdir");
    CliRun folder = exporting("--format pdf --output " + (dir / "outdir").string() + "/");
    EXPECT_EQ(folder.code, 1);
    EXPECT_NE(folder.err.find("is a folder"), std::string::npos) << folder.err;
    EXPECT_TRUE(std::filesystem::is_empty(dir / "outdir"));
}

// A transcript edited by hand exports as it reads: its dates are not moved to ones a
// calendar has, nor lines and notes it does not know dropped.
TEST(CommandLine, ExportCopiesAHeaderEditedByHandAndKeepsWhatItDoesNotKnow) {
    TempDir dir;
    const auto input = dir / "Zoom_Meeting_09-05.txt";
    auto transcript = [](const std::string& date) {
        return "Meeting: Budget\nPlatform: Zoom\nDate: " + date +
               "\nStart: 11:50 PM\nEnd: 12:20 AM\n"
               "Consent: Confirmed by Sam on the phone\nAction items: ship it\n\n"
               "Notes typed before the first turn.\n\n[00:00:04] Sam:\nHello there.\n";
    };
    for (const char* date :
         {"31 February 2026", "6 December 9999", "6 December 202", "6 December 20266"}) {
        writeFileAtomically(input, transcript(date));
        CliRun md = cli("export " + input.string() + " --format md --force", dir);
        ASSERT_EQ(md.code, 0) << date << ": " << md.err;
        const auto text = *readWholeFile(dir / "Zoom_Meeting_09-05.md");
        EXPECT_NE(text.find("**Date:** " + std::string(date) +
                            "  \n**Start:** 11:50 PM  \n"
                            "**End:** 12:20 AM  \n"
                            "**Consent:** Confirmed by Sam on the phone  \n"
                            "**Action items:** ship it  \n\nNotes typed before the first turn.\n"),
                  std::string::npos)
            << text;
    }

    if (std::system("command -v pdftotext >/dev/null") == 0) {
        ASSERT_EQ(cli("export " + input.string() + " --format pdf", dir).code, 0);
        FILE* pipe = ::popen(
            ("pdftotext -enc UTF-8 " + (dir / "Zoom_Meeting_09-05.pdf").string() + " -").c_str(),
            "r");
        std::string text;
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            text.append(buffer, n);
        ::pclose(pipe);
        for (const char* kept : {"Date: 6 December 20266", "Action items: ship it",
                                 "Notes typed before the first turn.", "Hello there."})
            EXPECT_NE(text.find(kept), std::string::npos) << kept << " in:\n" << text;
    }

    // Subtitles keep the turns and say what they could not hold.
    CliRun srt = cli("export " + input.string() + " --format srt", dir);
    EXPECT_EQ(srt.code, 0) << srt.err;
    EXPECT_EQ(readWholeFile(dir / "Zoom_Meeting_09-05.srt"),
              "1\n00:00:04,000 --> 00:00:04,500\nSam: Hello there.\n");
    EXPECT_NE(srt.err.find("left out: the text before the first turn; the header line "
                           "\"Action items\"."),
              std::string::npos)
        << srt.err;
}

} // namespace
} // namespace tallyvox
