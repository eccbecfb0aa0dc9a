#pragma once

#include "base/Observable.h"
#include "base/Uuid.h"
#include "session/SessionFiles.h"
#include "settings/SettingsManager.h"
#include "transcripts/ExportFormat.h"
#include "transcripts/TranscriptRecord.h"
#include "types/TranscriptSegment.h"

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tallyvox {

// The transcript of the running or last session as the user sees and edits it: its lines,
// the names given to its speakers, the meeting's roster, and the record on disk, rewritten
// after every change. Main thread only.
class LiveTranscript {
public:
    struct Hooks {
        // Shows a written file in the file manager; answers why it could not.
        std::function<std::optional<std::string>(const std::filesystem::path&)> revealFile;
        // A failure the user is to be told of.
        std::function<void(const std::string&)> failed;
    };

    LiveTranscript(const SettingsStores& stores, SessionFiles& files, Hooks hooks);
    LiveTranscript(const LiveTranscript&) = delete;
    LiveTranscript& operator=(const LiveTranscript&) = delete;

    // What views watch.
    Observable<std::vector<TranscriptSegment>> segments;
    Observable<std::map<int, std::string>> speakerNames;
    Observable<std::map<int, std::string>> matchedNames;
    Observable<std::vector<std::string>> roster;
    Observable<std::optional<TranscriptRecord>> record;

    // Later engine lines of a merged speaker arrive as the one it was merged into.
    const std::map<int, int>& aliases() const { return aliases_; }

    // Starts over with a new record and no lines, and puts it on disk.
    void open(TranscriptRecord fresh, std::vector<std::string> names);
    // Lines from the engine. The microphone's lines are the room's when the meeting plays
    // through the computer's own speakers, which the microphone hears too.
    void receive(std::vector<TranscriptSegment> batch, bool outputIsBuiltInSpeakers);

    // Rewrites the transcript file from memory; false when it could not be written.
    bool save();
    std::string speakerName(std::optional<int> speaker) const;
    std::vector<int> knownSpeakers() const;
    void updateMatches();

    // Names and corrections. Each one that changes anything recomputes the roster matches
    // and rewrites the transcript file.
    std::vector<std::string> rosterOthers() const;
    void setRoster(const std::vector<std::string>& names);
    void rename(int speaker, const std::string& name);
    // Later engine lines of `from` arrive as `into`.
    void merge(int from, int into);
    // Moves one line; no speaker asks for a new hand-added one.
    void reassign(const Uuid& line, std::optional<int> speaker);
    // Replacements made; nothing is learned or written when the word does not occur.
    int fixWord(const std::string& wrong, const std::string& right);
    // Writes the transcript beside itself in `format` and shows it in the file manager.
    // Failures go to `failed` ("Export failed: …"); answers the file when it was written.
    std::optional<std::filesystem::path> exportTranscript(ExportFormat format);

private:
    const SettingsStores& stores_;
    SessionFiles& files_;
    Hooks hooks_;
    std::map<int, int> aliases_;
};

} // namespace tallyvox
