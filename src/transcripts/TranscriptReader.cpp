#include "transcripts/TranscriptReader.h"

#include "base/Utf8.h"
#include "transcripts/TranscriptTurns.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <ctime>

namespace tallyvox::TranscriptReader {

namespace {

using TranscriptTurns::number;

constexpr std::array<std::string_view, 12> monthNames = {
    "January", "February", "March",     "April",   "May",      "June",
    "July",    "August",   "September", "October", "November", "December"};

struct Day {
    int year = 0;
    int month = 0; // 0-11
    int day = 0;
};

// "6 December 2026"
std::optional<Day> parseDay(std::string_view text) {
    std::size_t a = text.find(' ');
    std::size_t b = text.rfind(' ');
    if (a == std::string_view::npos || a == b)
        return std::nullopt;
    auto day = number(text.substr(0, a));
    auto year = number(text.substr(b + 1));
    std::string_view month = text.substr(a + 1, b - a - 1);
    // The clock's range ends in 2262 (nanoseconds since 1970); a date far outside this app's
    // lifetime is an edited file, not a meeting, and would overflow it.
    for (int m = 0; m < 12; ++m)
        if (monthNames[static_cast<std::size_t>(m)] == month && day && year && *day >= 1 &&
            *day <= 31 && *year >= 1970 && *year <= 2200)
            return Day{static_cast<int>(*year), m, static_cast<int>(*day)};
    return std::nullopt;
}

// "2:05 PM" as minutes after midnight.
std::optional<int> parseClock(std::string_view text) {
    std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || text.size() != colon + 6 || text[colon + 3] != ' ')
        return std::nullopt;
    auto hour = number(text.substr(0, colon));
    auto minute = number(text.substr(colon + 1, 2));
    std::string_view half = text.substr(colon + 4);
    if (!hour || !minute || *hour < 1 || *hour > 12 || *minute > 59 ||
        (half != "AM" && half != "PM"))
        return std::nullopt;
    return static_cast<int>((*hour % 12 + (half == "PM" ? 12 : 0)) * 60 + *minute);
}

// A local wall-clock moment; days and minutes beyond their range carry over.
SystemTime localTime(const Day& day, int dayOffset, int minutes) {
    std::tm tm{};
    tm.tm_year = day.year - 1900;
    tm.tm_mon = day.month;
    tm.tm_mday = day.day + dayOffset;
    tm.tm_hour = minutes / 60;
    tm.tm_min = minutes % 60;
    tm.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&tm));
}

std::optional<Platform> parsePlatform(std::string_view value, DetectedMeeting& meeting) {
    for (Platform platform : {Platform::zoom, Platform::teams, Platform::meet}) {
        TranscriptRecord probe;
        probe.meeting.platform = platform;
        const std::string name = probe.platformName();
        if (!value.starts_with(name))
            continue;
        std::string_view rest = value.substr(name.size());
        meeting.platform = platform;
        if (rest.empty())
            return platform;
        if (rest.starts_with(" (") && rest.ends_with(")")) {
            meeting.isWeb = true;
            meeting.appName = std::string(rest.substr(2, rest.size() - 3));
            return platform;
        }
    }
    return std::nullopt;
}

constexpr std::string_view automaticPrefix =
    "Automatic transcription (standing consent given by user on ";
constexpr std::string_view confirmedPrefix = "Confirmed by user at ";

} // namespace

std::optional<Parsed> parse(std::string_view raw) {
    const std::string text = Utf8::repaired(raw);
    std::string_view view = TranscriptTurns::withoutByteOrderMark(text);
    // Every line the app writes ends with a line feed; the last one closes the file.
    if (view.ends_with('\n'))
        view.remove_suffix(1);
    std::vector<std::string_view> lines;
    TranscriptTurns::Lines reader(view);
    for (std::string_view line; reader.next(line);)
        lines.push_back(line);

    Parsed parsed;
    std::size_t i = 0;
    for (; i < lines.size() && !lines[i].empty(); ++i) {
        std::string_view line = lines[i];
        std::size_t colon = line.find(": ");
        // "Meeting: " of an empty title may have lost its trailing space to an editor.
        if (colon == std::string_view::npos && line.ends_with(':') &&
            line.find(':') == line.size() - 1)
            colon = line.size() - 1;
        if (colon == std::string_view::npos || colon == 0)
            return std::nullopt;
        parsed.header.emplace_back(std::string(line.substr(0, colon)),
                                   std::string(line.substr(std::min(colon + 2, line.size()))));
    }
    if (parsed.header.empty() || parsed.header.front().first != "Meeting")
        return std::nullopt;
    ++i; // the blank line after the header

    // A turn runs until a blank line followed by the next heading, so its text may hold
    // line breaks and even blank lines of its own.
    auto nextTurnAt = [&](std::size_t from) {
        for (std::size_t k = from; k + 1 < lines.size(); ++k)
            if (lines[k].empty() && TranscriptTurns::heading(lines[k + 1]))
                return k;
        return lines.size();
    };
    auto joined = [&](std::size_t from, std::size_t to) {
        std::string out;
        for (std::size_t k = from; k < to; ++k) {
            if (k > from)
                out += '\n';
            out.append(lines[k]);
        }
        return out;
    };
    if (i < lines.size() && !TranscriptTurns::heading(lines[i])) {
        std::size_t end = nextTurnAt(i);
        parsed.note = joined(i, end);
        i = end == lines.size() ? end : end + 1;
    }
    while (i < lines.size()) {
        const auto head = TranscriptTurns::heading(lines[i]);
        std::size_t end = nextTurnAt(i + 1);
        parsed.turns.push_back(
            {.start = head->start,
             .speaker = head->speaker ? std::optional<std::string>(*head->speaker) : std::nullopt,
             .text = joined(i + 1, end)});
        i = end + 1;
    }
    return parsed;
}

bool namesKnownPlatform(const Parsed& parsed) {
    DetectedMeeting meeting;
    for (const auto& [label, value] : parsed.header)
        if (label == "Platform")
            return parsePlatform(value, meeting).has_value();
    return false;
}

std::string Restored::name(int speaker) const {
    auto found = names.find(speaker);
    return found == names.end() ? std::string() : found->second;
}

std::optional<Restored> restore(const Parsed& parsed, const std::filesystem::path& file) {
    // Labels this app does not write are left out; the first of each label counts.
    std::map<std::string, std::string, std::less<>> values;
    for (const auto& [label, value] : parsed.header)
        values.try_emplace(label, value);
    auto field = [&](std::string_view label) -> std::optional<std::string> {
        auto found = values.find(label);
        return found == values.end() ? std::nullopt : std::optional(found->second);
    };
    auto title = field("Meeting"), platform = field("Platform"), date = field("Date"),
         start = field("Start"), end = field("End"), consent = field("Consent"),
         edited = field("Edited");
    if (!title || !platform || !date || !start || !consent)
        return std::nullopt;

    Restored restored;
    TranscriptRecord& record = restored.record;
    record.filePath = file;
    if (!parsePlatform(*platform, record.meeting))
        return std::nullopt;
    if (*title != std::string(rawValue(record.meeting.platform)) + " Meeting")
        record.meetingTitle = *title;

    auto day = parseDay(*date);
    auto startClock = parseClock(*start);
    if (!day || !startClock)
        return std::nullopt;
    record.startedAt = localTime(*day, 0, *startClock);
    if (end) {
        auto endClock = parseClock(*end);
        if (!endClock)
            return std::nullopt;
        // A meeting that ran past midnight ends on the next day.
        record.endedAt = localTime(*day, *endClock < *startClock ? 1 : 0, *endClock);
    }
    if (consent->starts_with(automaticPrefix) && consent->ends_with(")")) {
        auto consentDay = parseDay(std::string_view(*consent).substr(
            automaticPrefix.size(), consent->size() - automaticPrefix.size() - 1));
        if (!consentDay)
            return std::nullopt;
        record.automaticConsent = true;
        record.consentAt = localTime(*consentDay, 0, 0);
    } else if (consent->starts_with(confirmedPrefix)) {
        auto consentClock = parseClock(std::string_view(*consent).substr(confirmedPrefix.size()));
        if (!consentClock)
            return std::nullopt;
        // Consent comes just before the start, so a later clock time was the day before.
        record.consentAt = localTime(*day, *consentClock > *startClock ? -1 : 0, *consentClock);
    } else {
        return std::nullopt;
    }
    if (edited) {
        std::size_t space = edited->find(' ');
        auto fixes = number(std::string_view(*edited).substr(0, space));
        if (!fixes || *fixes > 1'000'000'000)
            return std::nullopt;
        record.wordFixes = static_cast<int>(*fixes);
    }

    // One number per name; two neighbouring turns under one name were two voices the user
    // named alike, and stay apart as they are in the file.
    std::map<std::string, int> numbers;
    std::optional<int> previous;
    for (std::size_t k = 0; k < parsed.turns.size(); ++k) {
        const Turn& turn = parsed.turns[k];
        TranscriptSegment segment;
        segment.start = turn.start;
        segment.end = k + 1 < parsed.turns.size() && parsed.turns[k + 1].start > turn.start
                          ? parsed.turns[k + 1].start
                          : turn.start;
        segment.text = turn.text;
        if (turn.speaker) {
            auto found = numbers.find(*turn.speaker);
            int speaker =
                found == numbers.end() ? static_cast<int>(restored.names.size()) : found->second;
            if (previous == speaker)
                speaker = static_cast<int>(restored.names.size());
            if (!restored.names.contains(speaker)) {
                restored.names[speaker] = *turn.speaker;
                numbers.try_emplace(*turn.speaker, speaker);
            }
            segment.speaker = speaker;
        }
        previous = segment.speaker;
        restored.segments.push_back(std::move(segment));
    }
    return restored;
}

} // namespace tallyvox::TranscriptReader
