// tallyvox-cli search: every saved transcript searched for a name and words, as in the app.

#include "Commands.h"

#include "base/Utf8.h"
#include "transcripts/PastSearch.h"
#include "transcripts/TranscriptSearch.h"

#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>
#include <unistd.h>

namespace tallyvox::cli {

namespace {

// Text from a transcript file goes to the terminal: control characters (an escape sequence
// someone put in a file) are shown as U+FFFD instead of being obeyed.
std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = Utf8::decode(text, i);
        const bool control =
            c.value < 0x20 || c.value == 0x7F || (c.value >= 0x80 && c.value < 0xA0);
        if (c.valid && !control)
            out.append(text.substr(i, c.length));
        else
            Utf8::append(0xFFFD, out);
        i += c.length;
    }
    return out;
}

std::string marked(const std::string& text, const std::vector<std::string>& terms, bool terminal) {
    if (!terminal)
        return printable(text);
    std::string out;
    std::size_t at = 0;
    for (const auto& range : TranscriptSearch::highlights(text, terms)) {
        out += printable(std::string_view(text).substr(at, range.begin - at));
        out += "\x1b[1;7m";
        out += printable(std::string_view(text).substr(range.begin, range.end - range.begin));
        out += "\x1b[0m";
        at = range.end;
    }
    out += printable(std::string_view(text).substr(at));
    return out;
}

int search(const std::vector<std::string>& words, const SettingsStores& stores) {
    std::string query;
    for (const auto& word : words) {
        query += word;
        query += ' ';
    }
    const auto terms = PastSearch::terms(query);
    if (terms.empty()) {
        std::cerr << PastSearch::emptyText << "\n";
        return usageError;
    }
    const auto root = SettingsManager::saveRoot(stores);
    const auto hits = PastSearch::run(root, query);
    const bool terminal = ::isatty(STDOUT_FILENO) == 1;
    for (const auto& hit : hits) {
        // The meeting's title only where the header gave one.
        std::string where = printable(hit.file.filename().string());
        for (const auto& part :
             {hit.meeting == hit.file.stem().string() ? "" : hit.meeting, hit.date, hit.time})
            if (!part.empty()) {
                where += " · ";
                where += printable(part);
            }
        std::cout << where << "\n";
        if (!hit.speaker.empty())
            std::cout << marked(hit.speaker, terms, terminal) << ": ";
        std::cout << marked(hit.text, terms, terminal) << "\n\n";
    }
    if (hits.empty())
        std::cout << "No matches in " << printable(root.string()) << "\n";
    else
        std::cout << PastSearch::summary(hits.size()) << "\n";
    return ok;
}

} // namespace

void addSearchCommand(CLI::App& app, const SettingsStores& stores, int& exitCode) {
    auto words = std::make_shared<std::vector<std::string>>();
    auto* command = app.add_subcommand(
        "search", "Find the turns of saved transcripts that hold a name and words, newest first");
    command->add_option("WORDS", *words, "A speaker's name and words, like: sam budget")
        ->required();
    command->callback([words, &stores, &exitCode] { exitCode = search(*words, stores); });
}

} // namespace tallyvox::cli
