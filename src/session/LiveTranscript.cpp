#include "session/LiveTranscript.h"

#include "session/SpeakerNames.h"
#include "transcription/CleanupFilters.h"
#include "transcripts/TranscriptManager.h"

#include "speakers/NameMatcher.h"
#include "speakers/PersonName.h"
#include "speakers/SpeakerLabel.h"
#include "transcripts/TranscriptExport.h"
#include "transcripts/WordFix.h"

#include <algorithm>

namespace tallyvox {

LiveTranscript::LiveTranscript(const SettingsStores& stores, SessionFiles& files, Hooks hooks)
    : stores_(stores)
    , files_(files)
    , hooks_(std::move(hooks)) {}

void LiveTranscript::open(TranscriptRecord fresh, std::vector<std::string> names) {
    segments.set({});
    speakerNames.set({});
    matchedNames.set({});
    aliases_.clear();
    roster.set(std::move(names));
    record.set(std::move(fresh));
    save();
}

void LiveTranscript::receive(std::vector<TranscriptSegment> batch, bool outputIsBuiltInSpeakers) {
    if (!record.get())
        return;

    std::vector<TranscriptSegment> lines = segments.get();
    double lastStart = lines.empty() ? 0 : lines.back().start;
    double firstStart = batch.empty() ? 0 : batch.front().start;

    for (auto& line : batch) {
        if (!line.speaker)
            continue;
        if (*line.speaker == TranscriptSegment::you && outputIsBuiltInSpeakers)
            line.speaker = TranscriptSegment::room;
        if (auto alias = aliases_.find(*line.speaker); alias != aliases_.end())
            line.speaker = alias->second;
    }

    lines.insert(lines.end(), std::make_move_iterator(batch.begin()),
                 std::make_move_iterator(batch.end()));
    lines = CleanupFilters::withoutLeakage(CleanupFilters::withoutEchoes(lines));
    if (lastStart > firstStart)
        std::stable_sort(lines.begin(), lines.end(),
                         [](const auto& a, const auto& b) { return a.start < b.start; });
    segments.set(std::move(lines));
    updateMatches();
    save();
}

bool LiveTranscript::save() {
    const auto& current = record.get();
    return current && files_.save(*current, segments.get(),
                                  [this](int speaker) { return speakerName(speaker); });
}

std::string LiveTranscript::speakerName(std::optional<int> speaker) const {
    std::string me = speaker == TranscriptSegment::you ? SettingsManager::myName(stores_) : "";
    return SpeakerNames::display(speaker, speakerNames.get(), matchedNames.get(), me);
}

std::vector<int> LiveTranscript::knownSpeakers() const {
    return SpeakerNames::known(segments.get());
}

void LiveTranscript::updateMatches() {
    std::map<int, double> seconds;
    for (const auto& line : segments.get())
        if (line.speaker)
            seconds[*line.speaker] += line.end - line.start;
    matchedNames.set(NameMatcher::match(roster.get(), SettingsManager::myName(stores_), seconds));
}

std::vector<std::string> LiveTranscript::rosterOthers() const {
    return NameMatcher::others(roster.get(), SettingsManager::myName(stores_));
}

void LiveTranscript::setRoster(const std::vector<std::string>& names) {
    std::vector<std::string> kept;
    for (const auto& name : names)
        if (auto clean = PersonName::cleaned(name); !clean.empty())
            kept.push_back(std::move(clean));
    roster.set(std::move(kept));
    updateMatches();
    save();
}

void LiveTranscript::rename(int speaker, const std::string& name) {
    auto names = speakerNames.get();
    if (auto clean = PersonName::cleaned(name); clean.empty())
        names.erase(speaker);
    else
        names[speaker] = std::move(clean);
    speakerNames.set(std::move(names));
    updateMatches();
    save();
}

void LiveTranscript::merge(int from, int into) {
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

void LiveTranscript::reassign(const Uuid& line, std::optional<int> speaker) {
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

int LiveTranscript::fixWord(const std::string& wrong, const std::string& right) {
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
    if (auto kept = record.get()) {
        kept->wordFixes += total;
        record.set(std::move(*kept));
    }
    save();
    return total;
}

std::optional<std::filesystem::path> LiveTranscript::exportTranscript(ExportFormat format) {
    const auto& current = record.get();
    if (!current)
        return std::nullopt;
    auto target = exportPath(current->filePath, format);
    try {
        auto bytes = TranscriptExport::render(format, *current, segments.get(),
                                              [this](int s) { return speakerName(s); });
        TranscriptManager::write(bytes, target);
    } catch (const std::exception& error) {
        std::string message = "Export failed: ";
        if (hooks_.failed)
            hooks_.failed(message.append(error.what()));
        return std::nullopt;
    }
    // Written all the same; the user is told where to look for it.
    if (hooks_.revealFile)
        if (auto why = hooks_.revealFile(target); why && hooks_.failed)
            hooks_.failed("Couldn't show " + target.filename().string() + " in Files: " + *why);
    return target;
}

} // namespace tallyvox
