#pragma once

#include "ui/TranscriptLines.h"

#include <QStyledItemDelegate>

class QTextLayout;

namespace tallyvox::ui {

// Paints transcript lines: above the first line of a turn a divider (not above the first
// shown line), the time, and the speaker's dot and name; then the text with the search
// query highlighted. The name is a button that asks to rename the speaker.
class SegmentDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    SegmentDelegate(const TranscriptLineModel& model, QAbstractItemView* view,
                    QObject* parent = nullptr);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

    // Where the speaker's name sits in a row drawn in `rowRect`; empty for rows without one.
    QRect nameRect(const QRect& rowRect, const QModelIndex& index) const;

    static constexpr int dotSize = 8;

signals:
    // The name of a speaker's line was clicked; `at` is the name's rectangle in the view.
    void nameClicked(const QModelIndex& index, const QRect& at);

protected:
    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override;

private:
    struct Geometry {
        int top = 0; // of the caption, or of the text for rows without a header
        QRect divider, caption, dot, name, text;
        int height = 0;
    };
    Geometry geometry(const QRect& rect, const QModelIndex& index) const;
    void layoutText(QTextLayout& layout, const TranscriptRow& row, int width) const;
    int textWidth() const;

    const TranscriptLineModel& model_;
    QAbstractItemView* view_;
    QFont captionFont_, nameFont_;
};

} // namespace tallyvox::ui
