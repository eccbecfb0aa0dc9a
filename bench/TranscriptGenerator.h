#pragma once

// Saved transcripts for the past-search benchmark: one-hour meetings as the app writes them,
// in the app's folders (year / month / day), each modified a minute before the next.

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace tallyvox::bench {

inline const std::vector<std::string>& generatorWords() {
    static const std::vector<std::string> words = {
        "the",      "we",       "a",        "to",       "and",       "of",        "it",
        "is",       "that",     "in",       "for",      "on",        "this",      "so",
        "think",    "should",   "next",     "week",     "team",      "release",   "plan",
        "customer", "design",   "review",   "numbers",  "update",    "meeting",   "question",
        "agree",    "really",   "probably", "maybe",    "change",    "feature",   "support",
        "deadline", "launch",   "report",   "schedule", "priority",  "follow",    "up",
        "notes",    "decision", "risk",     "hiring",   "office",    "travel",    "contract",
        "approve",  "draft",    "slides",   "sales",    "marketing", "engineers", "testing",
        "café",     "Straße",   "naïve",    "résumé",   "budget",    "okay",      "right",
        "yes",      "no",       "good",     "point",    "later",     "today",     "tomorrow"};
    return words;
}

inline const std::vector<std::string>& generatorSpeakers() {
    static const std::vector<std::string> speakers = {"Sam",   "Asha",  "Jörg",
                                                      "Priya", "Kenji", "Lena"};
    return speakers;
}

// One hour of talk, about 60 kB: a turn every 15 to 45 s of 40 to 120 words (about 9,600
// words). Priya speaks in every meeting and "quarterly" is said in every meeting, but never by
// her, so "priya quarterly" reads every turn of every file and finds nothing.
inline std::string generatedTranscript(unsigned seed, const std::string& title) {
    std::mt19937 random(seed);
    const auto& words = generatorWords();
    const auto& speakers = generatorSpeakers();
    std::string text = "Meeting: " + title +
                       "\nPlatform: Zoom\nDate: 6 December 2026\nStart: 9:00 AM\nEnd: 10:00 "
                       "AM\nConsent: Confirmed by user at 9:00 AM\n";
    int second = 0;
    int turn = 0;
    while (second < 3600) {
        const auto& speaker = speakers[turn % 3 == 0 ? 3 : random() % speakers.size()];
        char time[32];
        std::snprintf(time, sizeof time, "%02d:%02d:%02d", second / 3600, second / 60 % 60,
                      second % 60);
        text += "\n[";
        text += time;
        text += "] ";
        text += speaker;
        text += ":\n";
        const int count = 40 + static_cast<int>(random() % 81);
        for (int i = 0; i < count; ++i) {
            if (i > 0)
                text += ' ';
            if (speaker != "Priya" && random() % 400 == 0)
                text += "quarterly";
            else
                text += words[random() % words.size()];
        }
        text += ".\n";
        second += 15 + static_cast<int>(random() % 31);
        ++turn;
    }
    return text;
}

// `count` transcripts under `root`, newest first by index. Returns the bytes written.
inline std::uintmax_t generateTranscripts(const std::filesystem::path& root, int count) {
    namespace fs = std::filesystem;
    static const char* months[] = {"January",   "February", "March",    "April",
                                   "May",       "June",     "July",     "August",
                                   "September", "October",  "November", "December"};
    std::uintmax_t bytes = 0;
    const auto now = fs::file_time_type::clock::now();
    for (int i = 0; i < count; ++i) {
        const int day = i / 8, slot = i % 8;
        const int month = day / 28 % 12, dayOfMonth = day % 28 + 1, year = 2026 - day / 336;
        char folder[64], name[64];
        std::snprintf(folder, sizeof folder, "%d/%s/%02d-%02d-%02d", year, months[month],
                      dayOfMonth, month + 1, year % 100);
        std::snprintf(name, sizeof name, "Zoom_Meeting_%02d-00.txt", 9 + slot);
        const fs::path dir = root / folder;
        fs::create_directories(dir);
        const std::string text =
            generatedTranscript(static_cast<unsigned>(i + 1), "Weekly sync " + std::to_string(i));
        std::ofstream(dir / name, std::ios::binary) << text;
        fs::last_write_time(dir / name, now - std::chrono::minutes(i));
        bytes += text.size();
    }
    return bytes;
}

} // namespace tallyvox::bench
