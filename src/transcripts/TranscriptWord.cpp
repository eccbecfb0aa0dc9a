// The .docx export: the few parts of an Office Open XML package a word processor needs,
// written by hand and zipped in memory, so the bytes go through the one atomic writer.

#include "transcripts/TranscriptDocument.h"

#include "base/Error.h"

#include <zip.h>

#include <cmath>
#include <memory>

namespace tallyvox::TranscriptDocument {

namespace {

constexpr std::string_view xmlDeclaration =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";

// Text for element content and attribute values alike.
std::string escaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// Points as Word counts them: twentieths for spacing, halves for font sizes.
std::string twips(double points) {
    return std::to_string(std::lround(points * 20));
}
std::string halfPoints(double points) {
    return std::to_string(std::lround(points * 2));
}

// Right-to-left text is marked as such in both places Word reads it: the paragraph's
// direction (which side it starts from) and the runs' (how their weak characters order).
std::string runProperties(const Paragraph& paragraph, bool rtl) {
    const std::string font = escaped(paragraph.family);
    std::string out = "<w:rPr><w:rFonts w:ascii=\"" + font + "\" w:hAnsi=\"" + font +
                      "\" w:eastAsia=\"" + font + "\" w:cs=\"" + font + "\"/>";
    if (paragraph.bold)
        out += "<w:b/><w:bCs/>";
    out += "<w:color w:val=\"000000\"/><w:sz w:val=\"" + halfPoints(paragraph.size) +
           "\"/><w:szCs w:val=\"" + halfPoints(paragraph.size) + "\"/>";
    if (rtl)
        out += "<w:rtl/>";
    out += "</w:rPr>";
    return out;
}

// One run; line breaks and tabs inside the text become Word's own break and tab.
std::string paragraphXml(const Paragraph& paragraph) {
    const bool rtl = rightToLeft(paragraph.text);
    const std::string properties = runProperties(paragraph, rtl);
    std::string out = std::string("<w:p><w:pPr>") + (rtl ? "<w:bidi/>" : "") +
                      "<w:spacing w:before=\"0\" w:after=\"" + twips(paragraph.spacingAfter) +
                      "\" w:line=\"240\" w:lineRule=\"auto\"/>" + properties + "</w:pPr>";
    out += "<w:r>" + properties;
    std::string_view text = paragraph.text;
    std::size_t from = 0;
    while (from <= text.size()) {
        std::size_t at = text.find_first_of("\n\t", from);
        std::string_view piece =
            text.substr(from, at == std::string_view::npos ? std::string_view::npos : at - from);
        if (!piece.empty())
            out += "<w:t xml:space=\"preserve\">" + escaped(piece) + "</w:t>";
        if (at == std::string_view::npos)
            break;
        out += text[at] == '\n' ? "<w:br/>" : "<w:tab/>";
        from = at + 1;
    }
    out += "</w:r></w:p>\n";
    return out;
}

std::string documentXml(const std::vector<Paragraph>& paragraphs) {
    std::string out(xmlDeclaration);
    out += "<w:document xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\" "
           "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
           "<w:body>\n";
    for (const auto& paragraph : paragraphs)
        out += paragraphXml(paragraph);
    // A4 with the PDF's margins.
    out += "<w:sectPr><w:pgSz w:w=\"" + twips(pageWidth) + "\" w:h=\"" + twips(pageHeight) +
           "\"/><w:pgMar w:top=\"" + twips(margin) + "\" w:right=\"" + twips(margin) +
           "\" w:bottom=\"" + twips(margin) + "\" w:left=\"" + twips(margin) +
           "\" w:header=\"0\" w:footer=\"0\" w:gutter=\"0\"/></w:sectPr>";
    out += "</w:body></w:document>\n";
    return out;
}

std::string stylesXml() {
    std::string out(xmlDeclaration);
    out += "<w:styles xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\">"
           "<w:docDefaults><w:rPrDefault><w:rPr><w:rFonts w:ascii=\"Helvetica\" "
           "w:hAnsi=\"Helvetica\" w:eastAsia=\"Helvetica\" w:cs=\"Helvetica\"/>"
           "<w:sz w:val=\"24\"/><w:szCs w:val=\"24\"/><w:lang w:val=\"en-GB\"/></w:rPr>"
           "</w:rPrDefault><w:pPrDefault><w:pPr><w:spacing w:before=\"0\" w:after=\"0\" "
           "w:line=\"240\" w:lineRule=\"auto\"/></w:pPr></w:pPrDefault></w:docDefaults>"
           "<w:style w:type=\"paragraph\" w:default=\"1\" w:styleId=\"Normal\">"
           "<w:name w:val=\"Normal\"/><w:qFormat/></w:style>"
           "</w:styles>\n";
    return out;
}

constexpr std::string_view contentTypesXml =
    "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
    "<Default Extension=\"rels\" "
    "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
    "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
    "<Override PartName=\"/word/document.xml\" "
    "ContentType=\"application/"
    "vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml\"/>"
    "<Override PartName=\"/word/styles.xml\" "
    "ContentType=\"application/vnd.openxmlformats-officedocument.wordprocessingml.styles+xml\"/>"
    "<Override PartName=\"/docProps/core.xml\" "
    "ContentType=\"application/vnd.openxmlformats-package.core-properties+xml\"/>"
    "</Types>\n";

constexpr std::string_view packageRelsXml =
    "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
    "<Relationship Id=\"rId1\" "
    "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument\" "
    "Target=\"word/document.xml\"/>"
    "<Relationship Id=\"rId2\" "
    "Type=\"http://schemas.openxmlformats.org/package/2006/relationships/metadata/"
    "core-properties\" Target=\"docProps/core.xml\"/>"
    "</Relationships>\n";

constexpr std::string_view documentRelsXml =
    "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
    "<Relationship Id=\"rId1\" "
    "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/styles\" "
    "Target=\"styles.xml\"/>"
    "</Relationships>\n";

std::string coreXml(std::string_view title) {
    std::string out(xmlDeclaration);
    out += "<cp:coreProperties "
           "xmlns:cp=\"http://schemas.openxmlformats.org/package/2006/metadata/core-properties\" "
           "xmlns:dc=\"http://purl.org/dc/elements/1.1/\">"
           "<dc:title>" +
           escaped(title) + "</dc:title><dc:creator>Tallyvox</dc:creator></cp:coreProperties>\n";
    return out;
}

[[noreturn]] void fail(std::string_view step, zip_error_t* error) {
    std::string description = "The Word document could not be built (";
    description += step;
    description += ": ";
    description += zip_error_strerror(error);
    description += ").";
    throw Error(description);
}

struct SourceUnref {
    void operator()(zip_source_t* source) const { zip_source_free(source); }
};

} // namespace

std::string word(const std::vector<Paragraph>& paragraphs) {
    const std::string title = paragraphs.empty() ? std::string() : paragraphs.front().text;
    // Kept alive until the archive is closed: libzip reads them only then.
    const std::vector<std::pair<const char*, std::string>> parts = {
        {"[Content_Types].xml", std::string(xmlDeclaration) + std::string(contentTypesXml)},
        {"_rels/.rels", std::string(xmlDeclaration) + std::string(packageRelsXml)},
        {"word/document.xml", documentXml(paragraphs)},
        {"word/styles.xml", stylesXml()},
        {"word/_rels/document.xml.rels",
         std::string(xmlDeclaration) + std::string(documentRelsXml)},
        {"docProps/core.xml", coreXml(title)},
    };

    zip_error_t error;
    zip_error_init(&error);
    struct Fini {
        zip_error_t* error;
        ~Fini() { zip_error_fini(error); }
    } fini{&error};
    std::unique_ptr<zip_source_t, SourceUnref> buffer(
        zip_source_buffer_create(nullptr, 0, 0, &error));
    if (!buffer)
        fail("memory buffer", &error);
    // The archive takes a reference of its own and drops it on close; ours keeps the bytes.
    zip_source_keep(buffer.get());
    zip_t* archive = zip_open_from_source(buffer.get(), ZIP_TRUNCATE, &error);
    if (!archive) {
        zip_source_free(buffer.get()); // the reference the archive did not take
        fail("archive", &error);
    }
    for (const auto& [name, content] : parts) {
        zip_source_t* source = zip_source_buffer(archive, content.data(), content.size(), 0);
        if (!source || zip_file_add(archive, name, source, ZIP_FL_ENC_UTF_8) < 0) {
            if (source)
                zip_source_free(source);
            zip_error_set(&error, zip_error_code_zip(zip_get_error(archive)), 0);
            zip_discard(archive);
            fail(name, &error);
        }
    }
    if (zip_close(archive) < 0) {
        zip_error_set(&error, zip_error_code_zip(zip_get_error(archive)), 0);
        zip_discard(archive);
        fail("closing", &error);
    }

    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_source_stat(buffer.get(), &stat) < 0 || zip_source_open(buffer.get()) < 0)
        fail("reading back", zip_source_error(buffer.get()));
    std::string bytes(static_cast<std::size_t>(stat.size), '\0');
    zip_int64_t read = zip_source_read(buffer.get(), bytes.data(), stat.size);
    zip_source_close(buffer.get());
    if (read < 0 || static_cast<zip_uint64_t>(read) != stat.size)
        fail("reading back", zip_source_error(buffer.get()));
    return bytes;
}

} // namespace tallyvox::TranscriptDocument
