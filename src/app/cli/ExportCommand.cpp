// tallyvox-cli export: any saved transcript as Word, PDF, Markdown or subtitles, the way the
// app exports the meeting that just finished.

#include "Commands.h"

#include "base/AtomicFile.h"
#include "base/Error.h"
#include "transcripts/ExportFormat.h"
#include "transcripts/TranscriptExport.h"
#include "transcripts/TranscriptReader.h"

#include <CLI/CLI.hpp>

#include <cctype>
#include <iostream>
#include <optional>

namespace tallyvox::cli {
namespace {

namespace fs = std::filesystem;

// Far beyond a day-long meeting (a few MB); anything bigger is not a transcript.
constexpr std::uintmax_t largestTranscript = 256ull * 1024 * 1024;

struct ExportOptions {
    fs::path input;
    std::string format;
    std::optional<fs::path> output;
    bool force = false;
};

std::string lowered(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Why the export may not be written at `target`; nothing when it may. An export never
// replaces a transcript or a file of another kind, and replaces its own kind only when asked.
std::optional<std::string> refusal(const fs::path& target, ExportFormat format, bool force) {
    std::error_code ec;
    auto status = fs::symlink_status(target, ec);
    if (fs::is_directory(fs::status(target, ec)))
        return target.string() + " is a folder; --output names the file to write.";
    const std::string extension = "." + std::string(rawValue(format));
    if (lowered(target.extension().string()) != extension)
        return "Not writing " + target.string() + ": a " + std::string(rawValue(format)) +
               " export is named *" + extension + ".";
    if (fs::exists(status) && !force)
        return target.string() + " already exists; add --force to replace it.";
    if (fs::exists(status) && !fs::is_regular_file(status) && !fs::is_symlink(status))
        return "Not writing " + target.string() + ": it is not a regular file.";
    return std::nullopt;
}

int exportTranscript(const ExportOptions& options) {
    const fs::path& input = options.input;
    const ExportFormat format = *exportFormatFromRaw(options.format);
    std::error_code ec;
    auto status = fs::status(input, ec);
    if (!fs::exists(status)) {
        std::cerr << "No transcript at " << input.string() << "\n";
        return missingFile;
    }
    if (!fs::is_regular_file(status)) {
        std::cerr << input.string() << " is not a transcript file.\n";
        return failed;
    }
    if (auto size = fs::file_size(input, ec); !ec && size > largestTranscript) {
        std::cerr << input.string() << " is too large to be a transcript.\n";
        return failed;
    }
    auto text = readWholeFile(input);
    if (!text) {
        std::cerr << "Couldn't read " << input.string() << ".\n";
        return failed;
    }
    auto parsed = TranscriptReader::parse(*text);
    if (!parsed) {
        std::cerr << input.string()
                  << " is not a Tallyvox transcript: it does not start with the \"Meeting:\" "
                     "line of one.\n";
        return failed;
    }
    // The header is copied into the export as it reads, so dates and lines edited by hand
    // need not be understood; only a platform this app never transcribed marks another file.
    if (!TranscriptReader::namesKnownPlatform(*parsed)) {
        std::cerr << input.string()
                  << " has a transcript header without a platform that Tallyvox knows (Zoom, "
                     "Microsoft Teams or Google Meet).\n";
        return failed;
    }

    const fs::path target = options.output ? *options.output : exportPath(input, format);
    if (fs::equivalent(input, target, ec)) {
        std::cerr << "Not writing " << target.string() << ": that is the transcript itself.\n";
        return failed;
    }
    if (auto reason = refusal(target, format, options.force)) {
        std::cerr << *reason << "\n";
        return failed;
    }
    try {
        TranscriptManager::write(TranscriptExport::render(format, *parsed), target);
    } catch (const Error& error) {
        std::cerr << "Export failed: " << error.what() << "\n";
        return failed;
    }
    if (auto left = TranscriptExport::leftOut(format, *parsed))
        std::cerr << *left << "\n";
    std::cout << target.string() << "\n";
    return ok;
}

} // namespace

void addExportCommand(CLI::App& app, int& exitCode) {
    auto options = std::make_shared<ExportOptions>();
    auto* command = app.add_subcommand(
        "export", "Export a saved transcript as Word, PDF, Markdown or subtitles");
    command->add_option("TRANSCRIPT", options->input, "A transcript text file (.txt)")->required();
    command->add_option("--format", options->format, "docx, pdf, md or srt")
        ->required()
        ->check(CLI::IsMember({"docx", "pdf", "md", "srt"}));
    command->add_option("--output", options->output,
                        "Where to write (default: beside the transcript, same name)");
    command->add_flag("--force", options->force, "Replace an export already at that name");
    command->callback([options, &exitCode] { exitCode = exportTranscript(*options); });
}

} // namespace tallyvox::cli
