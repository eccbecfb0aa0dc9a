#include "ui/Palette.h"

#include "ui/TrayIcons.h"

#include <QApplication>

#include <algorithm>
#include <cmath>
#include <initializer_list>

namespace tallyvox::ui {

namespace {

constexpr double minimumContrast = 4.5;

double channel(double value) {
    return value <= 0.04045 ? value / 12.92 : std::pow((value + 0.055) / 1.055, 2.4);
}

double luminance(const QColor& c) {
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

QColor mix(const QColor& from, const QColor& to, double amount) {
    auto at = [&](float a, float b) { return a + (b - a) * static_cast<float>(amount); };
    return QColor::fromRgbF(at(from.redF(), to.redF()), at(from.greenF(), to.greenF()),
                            at(from.blueF(), to.blueF()));
}

// `colour`, moved toward `toward` in small steps until it reads on every background.
QColor readableOn(const QColor& colour, const QColor& toward,
                  std::initializer_list<QColor> backgrounds) {
    for (int step = 0; step <= 20; ++step) {
        QColor candidate = step == 0 ? colour : mix(colour, toward, step / 20.0);
        if (std::all_of(backgrounds.begin(), backgrounds.end(), [&](const QColor& background) {
                return contrastRatio(candidate, background) >= minimumContrast;
            }))
            return candidate;
    }
    return toward;
}

} // namespace

double contrastRatio(QColor foreground, QColor background) {
    background.setAlpha(255);
    if (foreground.alpha() < 255)
        foreground = mix(background, QColor(foreground.rgb()), foreground.alphaF());
    double a = luminance(foreground) + 0.05;
    double b = luminance(background) + 0.05;
    return std::max(a, b) / std::min(a, b);
}

QPalette withReadableCaptions(QPalette palette) {
    for (auto group : {QPalette::Active, QPalette::Inactive}) {
        const QColor caption = palette.color(group, QPalette::PlaceholderText);
        const QColor text = palette.color(group, QPalette::Text);
        // Blended over the window, since captions sit on windows and in fields alike.
        QColor opaque = caption;
        if (caption.alpha() < 255)
            opaque = mix(palette.color(group, QPalette::Window), QColor(caption.rgb()),
                         caption.alphaF());
        palette.setColor(group, QPalette::PlaceholderText,
                         readableOn(opaque, text,
                                    {palette.color(group, QPalette::Window),
                                     palette.color(group, QPalette::Base)}));
    }
    return palette;
}

QPalette darkPalette() {
    const QColor window(0x30, 0x30, 0x30), base(0x24, 0x24, 0x24), text(0xf2, 0xf2, 0xf2);
    QPalette p(window);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, QColor(0x2b, 0x2b, 0x2b));
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, QColor(0x3a, 0x3a, 0x3a));
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, Qt::white);
    p.setColor(QPalette::ToolTipBase, QColor(0x40, 0x40, 0x40));
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::Highlight, QColor(0x1a, 0x5f, 0xb4));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Link, QColor(0x78, 0xae, 0xed));
    p.setColor(QPalette::LinkVisited, QColor(0xc0, 0x97, 0xe8));
    p.setColor(QPalette::Light, QColor(0x4a, 0x4a, 0x4a));
    p.setColor(QPalette::Midlight, QColor(0x3f, 0x3f, 0x3f));
    p.setColor(QPalette::Mid, QColor(0x26, 0x26, 0x26));
    p.setColor(QPalette::Dark, QColor(0x1c, 0x1c, 0x1c));
    p.setColor(QPalette::Shadow, QColor(0x10, 0x10, 0x10));
    p.setColor(QPalette::PlaceholderText, QColor(0xa6, 0xa6, 0xa6));
    const QColor disabled(0x80, 0x80, 0x80);
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, disabled);
    p.setColor(QPalette::Disabled, QPalette::Highlight, QColor(0x50, 0x50, 0x50));
    return withReadableCaptions(p);
}

void usePalette(bool preferDark) {
    QPalette palette = QApplication::palette();
    if (preferDark && !paletteIsDark())
        palette = darkPalette();
    QApplication::setPalette(withReadableCaptions(palette));
}

QColor errorTextColor(const QPalette& palette) {
    const QColor window = palette.color(QPalette::Window);
    // The red of light windows; a light red on dark ones.
    const bool dark = window.lightness() < palette.color(QPalette::WindowText).lightness();
    const QColor red = dark ? QColor(0xff, 0x8a, 0x80) : QColor(0xc0, 0x1c, 0x28);
    return readableOn(red, palette.color(QPalette::WindowText), {window});
}

} // namespace tallyvox::ui
