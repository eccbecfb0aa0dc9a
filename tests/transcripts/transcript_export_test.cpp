#include "base/AtomicFile.h"
#include "fakes/InOrder.h"
#include "fakes/TempDir.h"
#include "transcripts/TranscriptDocument.h"
#include "transcripts/TranscriptExport.h"
#include "transcripts/TranscriptReader.h"

#include <gtest/gtest.h>

#include <zip.h>

#include <cstdio>
#include <regex>
#include <sys/wait.h>

using namespace tallyvox;
using tallyvox::testing::inOrder;
using tallyvox::testing::TempDir;

namespace {

std::string run(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
    char buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    ::pclose(pipe);
    return out;
}

bool installed(const char* tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null").c_str()) == 0;
}

std::string part(const std::string& docx, const char* name) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(docx.data(), docx.size(), 0, &error);
    zip_t* archive = zip_open_from_source(source, ZIP_RDONLY, &error);
    std::string out;
    if (zip_file_t* file = archive ? zip_fopen(archive, name, 0) : nullptr) {
        char buffer[8192];
        for (zip_int64_t n; (n = zip_fread(file, buffer, sizeof buffer)) > 0;)
            out.append(buffer, static_cast<std::size_t>(n));
        zip_fclose(file);
    }
    if (archive)
        zip_close(archive);
    zip_error_fini(&error);
    return out;
}

// A transcript someone edited by hand: a date no calendar has, their own words for consent,
// a header line and a paragraph of notes this app never writes.
const char* edited = "Meeting: Budget\n"
                     "Platform: Zoom\n"
                     "Date: 31 February 2026\n"
                     "Start: 9:05 AM\n"
                     "Consent: Confirmed by Sam on the phone\n"
                     "Action items: ship it\n"
                     "\n"
                     "Notes typed before the first turn.\n"
                     "Second line.\n"
                     "\n"
                     "[00:00:04] Sam:\n"
                     "Hello there.\n"
                     "\n"
                     "[00:01:00]\n"
                     "Noise.\n";

} // namespace

TEST(TranscriptExport, AFileAsReadExportsItsHeaderAsItStandsAndKeepsWhatItDoesNotKnow) {
    const auto parsed = TranscriptReader::parse(edited);
    ASSERT_TRUE(parsed);
    EXPECT_TRUE(TranscriptReader::namesKnownPlatform(*parsed));

    EXPECT_EQ(TranscriptExport::render(ExportFormat::markdown, *parsed),
              "# Budget\n\n"
              "**Platform:** Zoom  \n"
              "**Date:** 31 February 2026  \n"
              "**Start:** 9:05 AM  \n"
              "**Consent:** Confirmed by Sam on the phone  \n"
              "**Action items:** ship it  \n"
              "\nNotes typed before the first turn.\nSecond line.\n"
              "\n**[00:00:04] Sam:** Hello there.\n"
              "\n**[00:01:00]** Noise.\n");
    EXPECT_EQ(TranscriptExport::leftOut(ExportFormat::markdown, *parsed), std::nullopt);

    // Subtitles have no place for notes: the turns are there, and what is not is said.
    EXPECT_EQ(TranscriptExport::render(ExportFormat::srt, *parsed),
              "1\n00:00:04,000 --> 00:01:00,000\nSam: Hello there.\n"
              "\n2\n00:01:00,000 --> 00:01:00,500\nNoise.\n");
    EXPECT_EQ(TranscriptExport::leftOut(ExportFormat::srt, *parsed),
              "Subtitles hold only the speaker turns; left out: the text before the first turn; "
              "the header line \"Action items\".");
    auto plain = *parsed;
    plain.note.clear();
    plain.header.pop_back();
    EXPECT_EQ(TranscriptExport::leftOut(ExportFormat::srt, plain), std::nullopt);

    // Word and PDF hold the same paragraphs, in file order.
    std::vector<std::string> texts;
    for (const auto& paragraph : TranscriptDocument::attributed(*parsed))
        texts.push_back(paragraph.text);
    EXPECT_EQ(texts, (std::vector<std::string>{
                         "Budget", "Platform: Zoom", "Date: 31 February 2026", "Start: 9:05 AM",
                         "Consent: Confirmed by Sam on the phone", "Action items: ship it",
                         "Notes typed before the first turn.\nSecond line.", "[00:00:04] Sam",
                         "Hello there.", "[00:01:00]", "Noise."}));
    TempDir dir;
    if (installed("pdftotext")) {
        writeFileAtomically(dir / "t.pdf", TranscriptExport::render(ExportFormat::pdf, *parsed));
        EXPECT_TRUE(inOrder(run("pdftotext -enc UTF-8 " + (dir / "t.pdf").string() + " -"),
                            {"Date: 31 February 2026", "Consent: Confirmed by Sam on the phone",
                             "Action items: ship it", "Notes typed before the first turn.",
                             "Second line.", "Hello there."}));
    }
    if (installed("pandoc")) {
        writeFileAtomically(dir / "t.docx", TranscriptExport::render(ExportFormat::word, *parsed));
        EXPECT_TRUE(inOrder(run("pandoc --wrap=none -f docx -t plain " + (dir / "t.docx").string()),
                            {"Date: 31 February 2026", "Action items: ship it",
                             "Notes typed before the first turn.", "Hello there."}));
    }

    // Only a platform this app never transcribed marks a file as another's.
    for (const char* other : {"Meeting: x\nPlatform: Skype\n", "Meeting: x\nDate: today\n"})
        EXPECT_FALSE(TranscriptReader::namesKnownPlatform(*TranscriptReader::parse(other)))
            << other;
    EXPECT_TRUE(TranscriptReader::namesKnownPlatform(
        *TranscriptReader::parse("Meeting: x\nPlatform: Google Meet (Firefox)\n")));
}

// A word processor lays out a paragraph by its own direction, not by the characters in it.
TEST(TranscriptExport, WordMarksRightToLeftParagraphsAndRunsAsThePdfLaysThemOut) {
    const auto parsed = TranscriptReader::parse("Meeting: Weekly\nPlatform: Zoom\n\n"
                                                "[00:00:04] أحمد:\n"
                                                "مرحبا بالجميع، لنبدأ الاجتماع 2026.\n"
                                                "\n[00:00:09] Dana:\n"
                                                "שלום! Hello.\n"
                                                "\n[00:00:12] Sam:\n"
                                                "OK, يلا.\n");
    ASSERT_TRUE(parsed);
    EXPECT_FALSE(TranscriptDocument::rightToLeft("[00:00:12] Sam"));
    EXPECT_TRUE(TranscriptDocument::rightToLeft("[00:00:04] أحمد"));
    EXPECT_TRUE(TranscriptDocument::rightToLeft("2026 — שלום! Hello."));
    EXPECT_FALSE(TranscriptDocument::rightToLeft("12:00, 🚀"));

    const std::string document =
        part(TranscriptExport::render(ExportFormat::word, *parsed), "word/document.xml");
    std::vector<std::string> paragraphs;
    const std::regex each("<w:p>.*?</w:p>");
    for (std::sregex_iterator it(document.begin(), document.end(), each), end; it != end; ++it)
        paragraphs.push_back(it->str());
    ASSERT_EQ(paragraphs.size(), 8u) << document;
    const std::vector<bool> rtl = {false, false, true, true, false, true, false, false};
    for (std::size_t i = 0; i < paragraphs.size(); ++i) {
        const auto& p = paragraphs[i];
        EXPECT_EQ(p.find("<w:pPr><w:bidi/><w:spacing") != std::string::npos, rtl[i]) << p;
        // Both the paragraph mark's run and the text's, where the schema puts it.
        const std::regex marked("<w:szCs w:val=\"[0-9]+\"/><w:rtl/></w:rPr>");
        const auto runs = static_cast<std::size_t>(
            std::distance(std::sregex_iterator(p.begin(), p.end(), marked), {}));
        EXPECT_EQ(p.find("<w:rtl/>") == std::string::npos, !rtl[i]) << p;
        EXPECT_EQ(runs, rtl[i] ? 2u : 0u) << p;
    }

    if (!installed("pandoc"))
        GTEST_SKIP() << "pandoc is not installed";
    TempDir dir;
    writeFileAtomically(dir / "t.docx", TranscriptExport::render(ExportFormat::word, *parsed));
    const std::string html = run("pandoc --wrap=none -f docx -t html " + (dir / "t.docx").string());
    EXPECT_TRUE(
        inOrder(html, {"<p><strong>Weekly</strong></p>", "<span dir=\"rtl\">[00:00:04] أحمد</span>",
                       "<span dir=\"rtl\">مرحبا بالجميع", "<strong>[00:00:09] Dana</strong>",
                       "<span dir=\"rtl\">שלום! Hello.</span>", "<p>OK, يلا.</p>"}));
}
