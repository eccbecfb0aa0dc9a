#include "session/AppLifecycleManager.h"

#include "speakers/NameMatcher.h"
#include "speakers/PersonName.h"
#include "speakers/SpeakerLabel.h"
#include "transcripts/TranscriptExport.h"
#include "transcripts/WordFix.h"

#include <algorithm>

namespace tallyvox {

void AppLifecycleManager::updateMatches() {
    std::map<int, double> seconds;
    for (const auto& line : segments.get())
        if (line.speaker)
            seconds[*line.speaker] += line.end - line.start;
    matchedNames.set(NameMatcher::match(roster.get(), SettingsManager::myName(stores_), seconds));
}

std::vector<std::string> AppLifecycleManager::rosterOthers() const {
    return NameMatcher::others(roster.get(), SettingsManager::myName(stores_));
}

void AppLifecycleManager::setRoster(const std::vector<std::string>& names) {
    std::vector<std::string> kept;
    for (const auto& name : names)
        if (auto clean = PersonName::cleaned(name); !clean.empty())
            kept.push_back(std::move(clean));
    roster.set(std::move(kept));
    updateMatches();
    save();
}

void AppLifecycleManager::rename(int speaker, const std::string& name) {
    auto names = speakerNames.get();
    if (auto clean = PersonName::cleaned(name); clean.empty())
        names.erase(speaker);
    else
        names[speaker] = std::move(clean);
    speakerNames.set(std::move(names));
    updateMatches();
    save();
}

void AppLifecycleManager::merge(int from, int into) {
    if (from == into)
        return;
    auto lines = segments.get();
    for (auto& line : lines)
        if (line.speaker == from)
            line.speaker = into;
    segments.set(std::move(lines));

    // Re-pointing keeps every alias one step from its final speaker, so an arriving line
    // never needs to follow a chain.
    for (auto& [alias, target] : aliases_)
        if (target == from)
            target = into;
    aliases_[from] = into;
    // Merging back into a speaker that was merged away would leave it aliased to itself.
    if (auto self = aliases_.find(into); self != aliases_.end() && self->second == into)
        aliases_.erase(self);

    auto names = speakerNames.get();
    if (auto typed = names.find(from); typed != names.end()) {
        names.try_emplace(into, typed->second);
        names.erase(from);
    }
    speakerNames.set(std::move(names));
    updateMatches();
    save();
}

void AppLifecycleManager::reassign(const Uuid& line, std::optional<int> speaker) {
    auto lines = segments.get();
    auto found = std::find_if(lines.begin(), lines.end(),
                              [&](const auto& segment) { return segment.id == line; });
    if (found == lines.end())
        return;
    if (!speaker) {
        int next = SpeakerLabel::firstManual;
        for (int known : knownSpeakers())
            if (known >= SpeakerLabel::firstManual && known < TranscriptSegment::you)
                next = std::max(next, known + 1);
        speaker = next;
    }
    found->speaker = speaker;
    segments.set(std::move(lines));
    updateMatches();
    save();
}

int AppLifecycleManager::fixWord(const std::string& wrong, const std::string& right) {
    auto word = WordFix::cleaned(wrong);
    auto fix = WordFix::cleaned(right);
    auto lines = segments.get();
    int total = 0;
    for (auto& line : lines) {
        auto applied = WordFix::apply(word, fix, line.text);
        line.text = std::move(applied.text);
        total += applied.count;
    }
    if (total == 0)
        return 0;
    segments.set(std::move(lines));
    SettingsManager::noteFix(fix, stores_);
    if (auto record = transcript.get()) {
        record->wordFixes += total;
        transcript.set(std::move(*record));
    }
    save();
    return total;
}

std::optional<std::filesystem::path> AppLifecycleManager::exportTranscript(ExportFormat format) {
    const auto& record = transcript.get();
    if (!record)
        return std::nullopt;
    auto target = exportPath(record->filePath, format);
    try {
        auto bytes = TranscriptExport::render(format, *record, segments.get(),
                                              [this](int s) { return speakerName(s); });
        TranscriptManager::write(bytes, target);
    } catch (const std::exception& error) {
        std::string message = "Export failed: ";
        lastError.set(message.append(error.what()));
        return std::nullopt;
    }
    // Written all the same; the user is told where to look for it.
    if (services_.revealFile)
        if (auto why = services_.revealFile(target))
            lastError.set("Couldn't show " + target.filename().string() + " in Files: " + *why);
    return target;
}

} // namespace tallyvox
