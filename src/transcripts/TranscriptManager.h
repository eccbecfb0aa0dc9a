#pragma once

#include "base/Clock.h"
#include "transcripts/CloudFolders.h"
#include "transcripts/TranscriptReader.h"
#include "transcripts/TranscriptRecord.h"
#include "types/DetectedMeeting.h"
#include "types/TranscriptSegment.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tallyvox::TranscriptManager {

// Consecutive lines of one speaker, shown under one time and name.
struct Block {
    double start = 0;
    std::optional<int> speaker;
    std::string text;

    bool operator==(const Block&) const = default;
};

using SpeakerName = std::function<std::string(int)>;
using ExistsTest = std::function<bool(const std::filesystem::path&)>;
// Moves one file to the Trash; throws when it cannot.
using TrashOperation = std::function<void(const std::filesystem::path&)>;
using UbiquitousTest = std::function<bool(const std::filesystem::path&)>;

// What an empty session's file says instead of lines.
inline constexpr std::string_view noSoundMessage =
    "No speech was transcribed: no sound reached Tallyvox. Check that the meeting played "
    "sound on this computer and that Tallyvox may record it in the desktop's sound settings.";
inline constexpr std::string_view noWordsMessage =
    "No speech was transcribed. Sound was received, but Whisper found no words in it.";

// ~/Documents/Tallyvox, or the xdg-user-dirs documents folder; read afresh each call.
std::filesystem::path defaultRoot();

// True when anything (a dangling link included) has that name.
bool pathExists(const std::filesystem::path& path);

// root/2026/December/06-12-26/Teams_Meeting_14-05.txt, with _2, _3... while the name is taken.
// Creates nothing.
std::filesystem::path filePath(const std::filesystem::path& root, Platform platform,
                               SystemTime start, const ExistsTest& exists = pathExists);

std::vector<std::pair<std::string, std::string>> header(const TranscriptRecord& record);
std::vector<Block> blocks(const std::vector<TranscriptSegment>& segments);

// The transcript text file; `name` is asked only for lines that have a speaker. Without lines,
// what the file at record.filePath already says in place of turns (an empty session's "No
// speech was transcribed…") is kept, so saving a renamed speaker or a roster does not erase it.
std::string text(const TranscriptRecord& record, const std::vector<TranscriptSegment>& segments,
                 const SpeakerName& name);
std::string markdown(const TranscriptRecord& record, const std::vector<TranscriptSegment>& segments,
                     const SpeakerName& name);
std::string srt(const std::vector<TranscriptSegment>& segments, const SpeakerName& name);

// The transcript as a reader of its file finds it: the header, and one turn per block under
// the speaker's name. Exports are written from this, so a finished meeting and its file read
// back export alike.
TranscriptReader::Parsed contents(const TranscriptRecord& record,
                                  const std::vector<TranscriptSegment>& segments,
                                  const SpeakerName& name);
// Title from the "Meeting" line, every other header line as read, what stands before the
// first turn, then the turns.
std::string markdown(const TranscriptReader::Parsed& transcript);
// One cue per turn, lasting until the next turn starts (at least half a second).
std::string srt(const std::vector<TranscriptReader::Turn>& turns);

// The file of a session that produced no lines: the header, a blank line and why.
std::string emptySessionText(const TranscriptRecord& record, bool soundReceived);
std::string emptySessionText(const TranscriptRecord& record, std::string_view explanation);
// Why a session whose model never loaded has no lines; `reason` is the load error.
std::string modelNotLoadedMessage(std::string_view reason);

// Atomic, owner-only write (see writeFileAtomically); throws FileError.
void write(std::string_view bytes, const std::filesystem::path& target);

// Whether a file name is one this app writes (transcript, diagnostics or export).
bool isAppFile(std::string_view fileName);

// Moves this app's files older than the given number of days under `root` to the Trash and
// removes the folders that leaves empty; fewer than one day moves nothing. Trash folders
// inside `root` are not walked. Returns how many files were moved.
int trashOld(const std::filesystem::path& root, int olderThanDays, SystemTime now,
             const TrashOperation& trash);

// Whether a file name is the temporary copy of one of our atomic writes (".<name>.XXXXXX").
bool isWriteLeftover(std::string_view fileName);
// Removes such copies older than a day under `root`: what a killed write left behind.
int removeWriteLeftovers(const std::filesystem::path& root, SystemTime now);

// Whether what is written in `folder` is synchronised off this computer.
bool isCloudSynced(
    const std::filesystem::path& folder,
    const UbiquitousTest& ubiquitous = [](const std::filesystem::path& p) {
        return CloudFolders::isSyncedFolder(p);
    });

} // namespace tallyvox::TranscriptManager
