// The keyboard, in-process: Tab reaches every control of every window (the settings tabs and
// the Fix a Word popover included), and each control has a name for screen readers. The same
// windows are read over the accessibility bus in accessibility_bus_test.cpp.
#include "AccessibilityScene.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractSlider>
#include <QAccessible>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTabBar>
#include <QTextEdit>

#include <functional>
#include <set>

namespace tallyvox::testing {
namespace {

std::string describe(QWidget* widget) {
    std::string out = widget->metaObject()->className();
    if (!widget->objectName().isEmpty())
        out += " " + widget->objectName().toStdString();
    if (auto* button = qobject_cast<QAbstractButton*>(widget); button && !button->text().isEmpty())
        out += " “" + button->text().toStdString() + "”";
    return out;
}

// What a user operates, shown now. Scroll bars move with the keys of what they scroll, and a
// tab bar's arrows with the tab bar's.
bool isControl(QWidget* widget) {
    if (!widget->isVisible() || !widget->isEnabled() || qobject_cast<QScrollBar*>(widget))
        return false;
    if (qobject_cast<QAbstractButton*>(widget))
        return !qobject_cast<QTabBar*>(widget->parentWidget());
    if (auto* edit = qobject_cast<QPlainTextEdit*>(widget))
        return !edit->isReadOnly();
    if (auto* edit = qobject_cast<QTextEdit*>(widget))
        return !edit->isReadOnly();
    return qobject_cast<QComboBox*>(widget) || qobject_cast<QLineEdit*>(widget) ||
           qobject_cast<QAbstractSlider*>(widget) || qobject_cast<QAbstractItemView*>(widget) ||
           qobject_cast<QTabBar*>(widget);
}

// A button inside a field (its clear button) is no stop of its own: the field's own keys do
// what it does.
bool isTabStop(QWidget* control) {
    return !qobject_cast<QLineEdit*>(control->parentWidget());
}

// The widgets Tab visits from the window's focus, round to where it started (or to where it
// stays: a field that keeps the Tab key for itself).
std::set<QWidget*> tabbed(QWidget* window) {
    std::set<QWidget*> seen;
    for (int press = 0; press < 300; ++press) {
        QWidget* from = window->focusWidget() ? window->focusWidget() : window;
        QTest::keyClick(from, Qt::Key_Tab);
        QWidget* now = window->focusWidget();
        if (!now || !seen.insert(now).second)
            break;
    }
    return seen;
}

using Accessibility = AccessibilityScene;

TEST_F(Accessibility, TabReachesEveryControlAndEachHasAName) {
    ASSERT_TRUE(stage());
    std::vector<std::string> problems;
    eachView([&](QWidget* window, const std::string& view) {
        const auto reached = tabbed(window);
        for (auto* widget : window->findChildren<QWidget*>()) {
            if (widget->window() != window || !isControl(widget))
                continue;
            auto* accessible = QAccessible::queryAccessibleInterface(widget);
            if (!accessible || accessible->text(QAccessible::Name).trimmed().isEmpty())
                problems.push_back(view + ": " + describe(widget) + " has no accessible name");
            if (isTabStop(widget) && !reached.contains(widget))
                problems.push_back(view + ": Tab never reaches " + describe(widget));
        }
    });
    std::string report;
    for (const auto& problem : problems)
        report += problem + "\n";
    EXPECT_TRUE(problems.empty()) << report;
}

} // namespace
} // namespace tallyvox::testing
