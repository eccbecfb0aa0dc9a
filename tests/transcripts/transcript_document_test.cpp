#include "base/AtomicFile.h"
#include "fakes/InOrder.h"
#include "fakes/TempDir.h"
#include "transcripts/TranscriptDocument.h"

#include <gtest/gtest.h>

#include <zip.h>

#include <cmath>
#include <cstdio>
#include <regex>
#include <sys/wait.h>

using namespace tallyvox;
using tallyvox::testing::inOrder;
using namespace std::chrono;
using tallyvox::testing::TempDir;
using Paragraph = TranscriptDocument::Paragraph;

namespace {

struct ToolRun {
    int code = -1;
    std::string out;
};

ToolRun run(const std::string& command) {
    ToolRun result;
    FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
    char buffer[65536];
    std::size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.out.append(buffer, count);
    int status = ::pclose(pipe);
    result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

bool installed(const char* tool) {
    return run(std::string("command -v ") + tool).code == 0;
}

TranscriptRecord zoomRecord() {
    TranscriptRecord r;
    r.meeting = DetectedMeeting{Platform::zoom, 7, "zoom.us", false};
    r.startedAt = sys_days{year{2026} / December / 6} + hours{14} + minutes{5};
    r.consentAt = r.startedAt;
    r.endedAt = r.startedAt + minutes{50};
    r.meetingTitle = "Design & <review>";
    return r;
}

TranscriptSegment line(double start, std::optional<int> speaker, std::string text) {
    TranscriptSegment s;
    s.start = start;
    s.end = start + 1;
    s.speaker = speaker;
    s.text = std::move(text);
    return s;
}

std::string names(int speaker) {
    return speaker == 0 ? "Sam \"the\" <boss>" : speaker == 1 ? "Ольга\nПетрова" : "राहुल";
}

const std::vector<TranscriptSegment> meeting = {
    line(4, 0, "Good morning & welcome."),
    line(6, 0, "Shall we start?"),
    line(9, std::nullopt, "Someone in the room."),
    line(3725.9, 1, "Привет всем, начнём обсуждение бюджета."),
    line(3730, 2, "नमस्ते दोस्तों भारत"),
    line(3740, 0, "会议 纪要 and a line\nthat breaks."),
};

std::string write(const TempDir& dir, const std::string& name, const std::string& bytes) {
    writeFileAtomically(dir / name, bytes);
    return (dir / name).string();
}

int pdfPages(const std::string& file) {
    std::smatch match;
    std::string info = run("pdfinfo " + file).out;
    return std::regex_search(info, match, std::regex("Pages:\\s+(\\d+)")) ? std::stoi(match[1])
                                                                          : -1;
}

} // namespace

TEST(TranscriptDocument, TitleHeaderAndTurnsInTheirFontsAndSpacings) {
    auto paragraphs = TranscriptDocument::attributed(zoomRecord(), meeting, names);
    auto p = [](std::string text, double size, bool bold, double after) {
        return Paragraph{.text = std::move(text),
                         .family = "Helvetica",
                         .size = size,
                         .bold = bold,
                         .spacingAfter = after};
    };
    const std::vector<Paragraph> expected = {
        p("Design & <review>", 20, true, 8),
        p("Platform: Zoom", 10, false, 1),
        p("Date: 6 December 2026", 10, false, 1),
        p("Start: 2:05 PM", 10, false, 1),
        p("End: 2:55 PM", 10, false, 1),
        p("Consent: Confirmed by user at 2:05 PM", 10, false, 14),
        p("[00:00:04] Sam \"the\" <boss>", 10, true, 2),
        p("Good morning & welcome. Shall we start?", 12, false, 10),
        p("[00:00:09]", 10, true, 2),
        p("Someone in the room.", 12, false, 10),
        p("[01:02:05] Ольга Петрова", 10, true, 2),
        p("Привет всем, начнём обсуждение бюджета.", 12, false, 10),
        p("[01:02:10] राहुल", 10, true, 2),
        p("नमस्ते दोस्तों भारत", 12, false, 10),
        p("[01:02:20] Sam \"the\" <boss>", 10, true, 2),
        p("会议 纪要 and a line\nthat breaks.", 12, false, 10),
    };
    EXPECT_EQ(paragraphs, expected);

    // What XML cannot hold goes; broken bytes become U+FFFD; every line break is one '\n'.
    EXPECT_EQ(TranscriptDocument::cleaned("a\x01"
                                          "b\x0B"
                                          "c\r\nd\re\u2028f\tg\uFFFF\xC3h"),
              "ab\nc\nd\ne\nf\tg\uFFFDh");
}

TEST(TranscriptDocument, WordFileIsAPackageThatPandocReadsBackParagraphByParagraph) {
    TempDir dir;
    auto tricky = meeting;
    tricky.push_back(
        line(3800, std::nullopt, "Control\x01\x1F characters, bad \xFF bytes, ]]> and 'quotes'."));
    const std::string bytes = TranscriptDocument::word(zoomRecord(), tricky, names);
    const std::string file = write(dir, "m.docx", bytes);

    // The parts a word processor looks for, [Content_Types].xml first.
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &error);
    ASSERT_TRUE(source);
    zip_t* archive = zip_open_from_source(source, ZIP_RDONLY | ZIP_CHECKCONS, &error);
    ASSERT_TRUE(archive) << zip_error_strerror(&error);
    std::vector<std::string> parts;
    for (zip_int64_t i = 0; i < zip_get_num_entries(archive, 0); ++i)
        parts.emplace_back(zip_get_name(archive, static_cast<zip_uint64_t>(i), 0));
    std::string document;
    if (zip_file_t* part = zip_fopen(archive, "word/document.xml", 0)) {
        char buffer[8192];
        for (zip_int64_t n; (n = zip_fread(part, buffer, sizeof buffer)) > 0;)
            document.append(buffer, static_cast<std::size_t>(n));
        zip_fclose(part);
    }
    zip_close(archive);
    zip_error_fini(&error);
    EXPECT_EQ(parts, (std::vector<std::string>{
                         "[Content_Types].xml", "_rels/.rels", "word/document.xml",
                         "word/styles.xml", "word/_rels/document.xml.rels", "docProps/core.xml"}));

    // Fonts, sizes (half points) and spacings (twentieths) as Word reads them.
    EXPECT_TRUE(
        inOrder(document, {"w:after=\"160\"", "w:ascii=\"Helvetica\"", "<w:b/>",
                           "w:sz w:val=\"40\"", "Design &amp; &lt;review&gt;", "w:after=\"20\"",
                           "w:sz w:val=\"20\"", "Platform: Zoom", "w:after=\"280\"",
                           "Consent:", "w:after=\"40\"", "w:sz w:val=\"20\"", "[00:00:04]",
                           "w:after=\"200\"", "w:sz w:val=\"24\"", "Good morning &amp; welcome.",
                           "a line</w:t><w:br/><w:t xml:space=\"preserve\">that",
                           "w:pgSz w:w=\"11900\" w:h=\"16840\"", "w:top=\"1080\""}));

    if (!installed("pandoc"))
        GTEST_SKIP() << "pandoc is not installed";
    ToolRun plain = run("pandoc --wrap=none -f docx -t plain " + file);
    ASSERT_EQ(plain.code, 0) << "pandoc could not read the document";
    std::vector<std::string> texts;
    for (const auto& paragraph : TranscriptDocument::attributed(zoomRecord(), tricky, names))
        texts.push_back(paragraph.text);
    EXPECT_EQ(texts.back(), "Control characters, bad \uFFFD bytes, ]]> and 'quotes'.");
    EXPECT_TRUE(inOrder(plain.out, texts));
}

TEST(TranscriptDocument, PdfIsA4WithEveryScriptReadableBetweenTheMargins) {
    if (!installed("pdftotext") || !installed("pdfinfo"))
        GTEST_SKIP() << "poppler-utils are not installed";
    TempDir dir;
    const std::string file =
        write(dir, "m.pdf", TranscriptDocument::pdf(zoomRecord(), meeting, names));
    const std::string info = run("pdfinfo " + file).out;
    EXPECT_TRUE(inOrder(
        info, {"Title:", "Design & <review>", "Pages:", "1", "Page size:", "595 x 842 pts (A4)"}))
        << info;

    const std::string text = run("pdftotext -enc UTF-8 " + file + " -").out;
    EXPECT_TRUE(
        inOrder(text, {"Design & <review>", "Platform: Zoom", "End: 2:55 PM",
                       "[00:00:04] Sam \"the\" <boss>", "Good morning & welcome.", "[00:00:09]",
                       "Ольга Петрова", "Привет всем, начнём", "राहुल", "भारत"}));
    if (run("fc-list :lang=zh").out.empty())
        std::printf("No Chinese font here: the CJK line is not checked.\n");
    else
        EXPECT_TRUE(inOrder(text, {"会议", "纪要"}));

    // Every word sits inside the 54 pt margins.
    const std::string boxes = run("pdftotext -bbox " + file + " -").out;
    const std::regex word(
        "xMin=\"([0-9.]+)\" yMin=\"([0-9.]+)\" xMax=\"([0-9.]+)\" yMax=\"([0-9.]+)\"");
    int words = 0;
    for (std::sregex_iterator it(boxes.begin(), boxes.end(), word), end; it != end; ++it, ++words) {
        EXPECT_GE(std::stod((*it)[1]), 53.5);
        EXPECT_GE(std::stod((*it)[2]), 53.5);
        EXPECT_LE(std::stod((*it)[3]), 541.5);
        EXPECT_LE(std::stod((*it)[4]), 788.5);
    }
    EXPECT_GT(words, 30);
}

TEST(TranscriptDocument, PdfFlowsALongTranscriptOverFullPagesAndAnEmptyOneFillsOne) {
    if (!installed("pdftotext") || !installed("pdfinfo"))
        GTEST_SKIP() << "poppler-utils are not installed";
    TempDir dir;
    std::vector<TranscriptSegment> lines;
    for (int i = 0; i < 2000; ++i)
        lines.push_back(line(i * 5.0, i % 2, "Line " + std::to_string(i) + " of the meeting."));
    const auto paragraphs = TranscriptDocument::attributed(
        zoomRecord(), lines, [](int s) { return s ? std::string("Kim") : std::string("Lou"); });
    const std::string file = write(dir, "long.pdf", TranscriptDocument::pdf(paragraphs));
    const int pages = pdfPages(file);
    EXPECT_EQ(pages, TranscriptDocument::pageCount(paragraphs));

    // Where the turn headings stand on a page, from what a PDF reader sees.
    auto headingTops = [&](int page) {
        const std::string boxes = run("pdftotext -f " + std::to_string(page) + " -l " +
                                      std::to_string(page) + " -bbox " + file + " -")
                                      .out;
        std::vector<double> tops;
        const std::regex heading("yMin=\"([0-9.]+)\"[^>]*>\\[");
        for (std::sregex_iterator it(boxes.begin(), boxes.end(), heading), end; it != end; ++it)
            tops.push_back(std::stod((*it)[1]));
        return tops;
    };
    const auto first = headingTops(1), second = headingTops(2);
    ASSERT_GE(second.size(), 3u);
    // One turn (heading, text and their spacings) is as tall as its lines. A page holds what
    // fits in the 734 pt between the margins: it loses less than a line at its foot and gains
    // the spacing after its last paragraph, which need not fit.
    const double pitch = second[1] - second[0];
    EXPECT_GT(pitch, 10 + 2 + 12 + 10 - 0.01) << "each line is at least as tall as its font";
    EXPECT_LT(pitch, 1.5 * (10 + 12) + 2 + 10);
    EXPECT_NEAR(static_cast<double>(second.size()), 734 / pitch, 1) << "pitch " << pitch;
    EXPECT_LT(first.size(), second.size()) << "the title and header take room on page 1";
    const double rest = static_cast<double>(2000 - first.size()) * pitch;
    EXPECT_GT(pages, 1);
    EXPECT_GE(pages, 1 + std::floor(rest / (734 + 10))) << "pitch " << pitch;
    EXPECT_LE(pages, 1 + std::ceil(rest / (734 - 12 * 1.5))) << "pitch " << pitch;

    // Nothing lost at the page breaks, nothing twice: the last page holds the last turn.
    const std::string text = run("pdftotext -enc UTF-8 " + file + " -").out;
    std::vector<std::string> all;
    for (int i = 0; i < 2000; ++i)
        all.push_back("Line " + std::to_string(i) + " of");
    EXPECT_TRUE(inOrder(text, all));
    const std::string last = run("pdftotext -f " + std::to_string(pages) + " -l " +
                                 std::to_string(pages) + " " + file + " -")
                                 .out;
    EXPECT_NE(last.find("Line 1999 of the meeting."), std::string::npos);

    // No lines: one page with the title and header.
    const std::string empty =
        write(dir, "empty.pdf", TranscriptDocument::pdf(zoomRecord(), {}, names));
    EXPECT_EQ(pdfPages(empty), 1);
    EXPECT_TRUE(inOrder(run("pdftotext " + empty + " -").out,
                        {"Design & <review>", "Consent: Confirmed by user at 2:05 PM"}));
    EXPECT_EQ(pdfPages(write(dir, "none.pdf", TranscriptDocument::pdf({}))), 1);
}

// Without a font for them, emoji are drawn as boxes with their code in them. The colour emoji
// font's glyphs are pictures, which the PDF holds as images.
TEST(TranscriptDocument, PdfDrawsEmojiFromAnEmojiFont) {
    if (!installed("pdfimages") || !installed("pdftotext"))
        GTEST_SKIP() << "poppler-utils are not installed";
    ASSERT_FALSE(run("fc-list ':charset=1f680' family").out.empty())
        << "no font here draws emoji; the package depends on fonts-noto-color-emoji, and "
           "scripts/bootstrap installs it";
    TempDir dir;
    const std::string file =
        write(dir, "emoji.pdf",
              TranscriptDocument::pdf({{.text = "Launch \U0001F680 today \U0001F389"}}));
    const std::string images = run("pdfimages -list " + file).out;
    const std::regex colour("\\n\\s*1\\s+\\d+\\s+image\\s+\\d+\\s+\\d+\\s+rgb");
    EXPECT_EQ(std::distance(std::sregex_iterator(images.begin(), images.end(), colour), {}), 2)
        << images;
    EXPECT_TRUE(inOrder(run("pdftotext " + file + " -").out, {"Launch", "today"}));
}
