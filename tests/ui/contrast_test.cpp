// Every label of every window reads at 4.5:1 or better on what is painted behind it (WCAG 2),
// in the light palette and in the dark one the app uses where the desktop prefers dark.
#include "AccessibilityScene.h"

#include "ui/Palette.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QLabel>

#include <cmath>

namespace tallyvox::testing {
namespace {

// WCAG 2 relative luminance, worked out here rather than taken from the app.
double luminance(QColor c) {
    auto linear = [](double v) {
        return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
}

// The colour a pixel of `text` gets over the opaque `background`.
QColor over(QColor text, QColor background) {
    const double a = text.alphaF();
    return QColor::fromRgbF(static_cast<float>(text.redF() * a + background.redF() * (1 - a)),
                            static_cast<float>(text.greenF() * a + background.greenF() * (1 - a)),
                            static_cast<float>(text.blueF() * a + background.blueF() * (1 - a)));
}

double contrast(QColor text, QColor background) {
    const double a = luminance(over(text, background)) + 0.05;
    const double b = luminance(background) + 0.05;
    return std::max(a, b) / std::min(a, b);
}

// What is painted behind `widget`: the nearest that fills its background, or the window.
QColor backgroundOf(QWidget* widget) {
    for (QWidget* w = widget; w; w = w->parentWidget())
        if (w->autoFillBackground() || w->isWindow() || w->testAttribute(Qt::WA_StyledBackground))
            return w->palette().color(QPalette::Active, w->backgroundRole());
    return widget->palette().color(QPalette::Active, QPalette::Window);
}

class Contrast : public ::testing::Test {
protected:
    void TearDown() override { QApplication::setPalette(original); }
    QPalette original = QApplication::palette();
};

TEST_F(Contrast, EveryLabelReadsInTheLightAndDarkPalettes) {
    std::vector<std::string> problems;
    for (bool dark : {false, true}) {
        // Set as the desktop app sets it at start: widgets are made afterwards.
        QApplication::setPalette(original);
        ui::usePalette(dark);
        ASSERT_EQ(QApplication::palette().color(QPalette::Window).lightness() < 128, dark);
        AccessibilityScene scene;
        ASSERT_TRUE(scene.stage());
        const std::string palette = dark ? "dark" : "light";
        auto check = [&](QWidget* window, const std::string& view) {
            for (auto* label : window->findChildren<QLabel*>()) {
                if (!label->isVisible() || !label->isEnabled() || label->text().isEmpty())
                    continue;
                const QColor text =
                    label->palette().color(QPalette::Active, label->foregroundRole());
                const QColor behind = backgroundOf(label);
                const double ratio = contrast(text, behind);
                if (ratio < 4.5)
                    problems.push_back(palette + ", " + view + ": “" +
                                       label->text().left(40).toStdString() + "” " +
                                       text.name(QColor::HexArgb).toStdString() + " on " +
                                       behind.name().toStdString() + " is " +
                                       std::to_string(ratio).substr(0, 4) + ":1");
            }
            // Lists paint their secondary text (times, speaker notes) in the caption colour.
            for (auto* view_ : window->findChildren<QAbstractItemView*>()) {
                if (!view_->isVisible())
                    continue;
                const QPalette& p = view_->palette();
                for (auto role : {QPalette::Text, QPalette::PlaceholderText})
                    if (contrast(p.color(QPalette::Active, role),
                                 p.color(QPalette::Active, QPalette::Base)) < 4.5)
                        problems.push_back(palette + ", " + view + ": list text role " +
                                           std::to_string(role) + " is too faint");
            }
        };
        scene.eachView(check);
    }
    std::string report;
    for (const auto& problem : problems)
        report += problem + "\n";
    EXPECT_TRUE(problems.empty()) << report;
}

} // namespace
} // namespace tallyvox::testing
