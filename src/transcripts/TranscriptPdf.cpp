// The PDF export: the styled text laid out by Pango and drawn by Cairo onto A4 pages held in
// memory. Pango asks fontconfig for each family and falls back per character, so a
// transcript in any script the system has fonts for comes out readable.

#include "transcripts/TranscriptDocument.h"

#include "base/Error.h"

#include <cairo-pdf.h>
#include <pango/pangocairo.h>

#include <functional>
#include <memory>
#include <new>

namespace tallyvox::TranscriptDocument {

namespace {

constexpr double textWidth = pageWidth - 2 * margin;   // 487
constexpr double textHeight = pageHeight - 2 * margin; // 734

template <typename T, void (*Free)(T*)> struct Freer {
    void operator()(T* p) const { Free(p); }
};
void unrefObject(void* object) {
    g_object_unref(object);
}
using Cairo = std::unique_ptr<cairo_t, Freer<cairo_t, cairo_destroy>>;
using Surface = std::unique_ptr<cairo_surface_t, Freer<cairo_surface_t, cairo_surface_destroy>>;
using FontDescription =
    std::unique_ptr<PangoFontDescription, Freer<PangoFontDescription, pango_font_description_free>>;
using Iter = std::unique_ptr<PangoLayoutIter, Freer<PangoLayoutIter, pango_layout_iter_free>>;
using Object = std::unique_ptr<void, Freer<void, unrefObject>>;

cairo_status_t appendBytes(void* closure, const unsigned char* data, unsigned int length) {
    try {
        static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
        return CAIRO_STATUS_SUCCESS;
    } catch (const std::bad_alloc&) {
        return CAIRO_STATUS_WRITE_ERROR;
    }
}

[[noreturn]] void fail(cairo_status_t status) {
    std::string description = "The PDF could not be drawn (";
    description += cairo_status_to_string(status);
    description += ").";
    throw Error(description);
}

// One line of a paragraph where the flow puts it: its page, and its top within the text area.
struct Placed {
    int page = 0;
    double top = 0;
};

// Lays every paragraph out line by line, moving to a new page when the next line would
// cross the bottom margin (so a page break can fall inside a paragraph, never inside a line),
// and hands each line with its place to `draw`. Returns the number of pages.
int flow(PangoContext* context, const std::vector<Paragraph>& paragraphs,
         const std::function<void(PangoLayoutLine*, const PangoRectangle&, double, Placed)>& draw) {
    int page = 0;
    double y = 0;
    for (const auto& paragraph : paragraphs) {
        Object layoutObject(pango_layout_new(context));
        auto* layout = static_cast<PangoLayout*>(layoutObject.get());
        FontDescription font(pango_font_description_new());
        pango_font_description_set_family(font.get(), paragraph.family.c_str());
        pango_font_description_set_weight(font.get(),
                                          paragraph.bold ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
        // Absolute: one Pango unit per PDF point, whatever resolution the context has.
        pango_font_description_set_absolute_size(font.get(), paragraph.size * PANGO_SCALE);
        pango_layout_set_font_description(layout, font.get());
        pango_layout_set_width(layout, static_cast<int>(textWidth * PANGO_SCALE));
        pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
        pango_layout_set_text(layout, paragraph.text.data(),
                              static_cast<int>(paragraph.text.size()));

        Iter iter(pango_layout_get_iter(layout));
        do {
            PangoRectangle logical;
            pango_layout_iter_get_line_extents(iter.get(), nullptr, &logical);
            const double height = static_cast<double>(logical.height) / PANGO_SCALE;
            const double baseline =
                static_cast<double>(pango_layout_iter_get_baseline(iter.get()) - logical.y) /
                PANGO_SCALE;
            if (y > 0 && y + height > textHeight) {
                ++page;
                y = 0;
            }
            if (draw)
                draw(pango_layout_iter_get_line_readonly(iter.get()), logical, baseline,
                     Placed{.page = page, .top = y});
            y += height;
        } while (pango_layout_iter_next_line(iter.get()));
        y += paragraph.spacingAfter;
    }
    return page + 1;
}

// A Pango context that measures as the PDF surface draws: unhinted, unrounded.
Object pdfContext(cairo_t* cairo) {
    Object context(pango_cairo_create_context(cairo));
    auto* pango = static_cast<PangoContext*>(context.get());
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
    pango_cairo_context_set_font_options(pango, options);
    cairo_font_options_destroy(options);
    pango_context_set_round_glyph_positions(pango, FALSE);
    return context;
}

} // namespace

std::string pdf(const std::vector<Paragraph>& paragraphs) {
    std::string bytes;
    Surface surface(
        cairo_pdf_surface_create_for_stream(appendBytes, &bytes, pageWidth, pageHeight));
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS)
        fail(cairo_surface_status(surface.get()));
    if (!paragraphs.empty())
        cairo_pdf_surface_set_metadata(surface.get(), CAIRO_PDF_METADATA_TITLE,
                                       paragraphs.front().text.c_str());
    cairo_pdf_surface_set_metadata(surface.get(), CAIRO_PDF_METADATA_CREATOR, "Tallyvox");
    Cairo cairo(cairo_create(surface.get()));
    if (cairo_status(cairo.get()) != CAIRO_STATUS_SUCCESS)
        fail(cairo_status(cairo.get()));
    Object context = pdfContext(cairo.get());
    cairo_set_source_rgb(cairo.get(), 0, 0, 0);

    int page = 0;
    const int pages = flow(
        static_cast<PangoContext*>(context.get()), paragraphs,
        [&](PangoLayoutLine* line, const PangoRectangle& logical, double baseline, Placed placed) {
            for (; page < placed.page; ++page)
                cairo_show_page(cairo.get());
            cairo_move_to(cairo.get(), margin + static_cast<double>(logical.x) / PANGO_SCALE,
                          margin + placed.top + baseline);
            pango_cairo_show_layout_line(cairo.get(), line);
        });
    // Even a document without paragraphs is one (blank) page.
    for (; page < pages; ++page)
        cairo_show_page(cairo.get());
    cairo.reset();
    cairo_surface_finish(surface.get());
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS)
        fail(cairo_surface_status(surface.get()));
    return bytes;
}

int pageCount(const std::vector<Paragraph>& paragraphs) {
    // Measured on a PDF surface that writes nowhere, so the figures are those pdf() uses.
    std::string discarded;
    Surface surface(
        cairo_pdf_surface_create_for_stream(appendBytes, &discarded, pageWidth, pageHeight));
    Cairo cairo(cairo_create(surface.get()));
    Object context = pdfContext(cairo.get());
    return flow(static_cast<PangoContext*>(context.get()), paragraphs, {});
}

} // namespace tallyvox::TranscriptDocument
