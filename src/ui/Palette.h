#pragma once

#include <QColor>
#include <QPalette>

namespace tallyvox::ui {

// The app's colours. Qt 6.4 takes no dark preference from the desktop by itself, so the entry
// point says which the desktop prefers. Either way, secondary text (captions drawn in the
// palette's PlaceholderText) and error text read at 4.5:1 or better on windows and fields.

// WCAG 2 contrast ratio of `foreground` (blended over `background` by its alpha) on the
// opaque `background`: 1 to 21.
double contrastRatio(QColor foreground, QColor background);

// `palette` with captions blended toward the main text until they are readable.
QPalette withReadableCaptions(QPalette palette);
// A dark palette for the Fusion style, whose own is light.
QPalette darkPalette();
// Sets the app's palette: the desktop's own (a dark one kept where the desktop gives one), or
// ours where dark is preferred and the desktop's palette is light. Widgets made afterwards
// take it.
void usePalette(bool preferDark);

// Text that reports an error, readable on `palette`'s windows.
QColor errorTextColor(const QPalette& palette);

} // namespace tallyvox::ui
