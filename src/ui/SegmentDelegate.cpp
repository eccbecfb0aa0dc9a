#include "ui/SegmentDelegate.h"

#include "ui/PanelRows.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QFontDatabase>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QTextLayout>
#include <QToolTip>

#include <cmath>

namespace tallyvox::ui {

namespace {

constexpr int side = 12;   // left and right margin
constexpr int turnGap = 8; // around the divider between turns
constexpr int lineGap = 2; // between lines of one turn
constexpr int nameGap = 6; // between the dot and the name
const QString renameHelp = QStringLiteral("Rename this speaker everywhere");

} // namespace

SegmentDelegate::SegmentDelegate(const TranscriptLineModel& model, QAbstractItemView* view,
                                 QObject* parent)
    : QStyledItemDelegate(parent)
    , model_(model)
    , view_(view) {
    captionFont_ = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    if (view->font().pointSizeF() > 0)
        captionFont_.setPointSizeF(view->font().pointSizeF() * 0.85);
    nameFont_ = view->font();
    nameFont_.setWeight(QFont::DemiBold);
}

int SegmentDelegate::textWidth() const {
    return std::max(40, view_->viewport()->width() - 2 * side);
}

void SegmentDelegate::layoutText(QTextLayout& layout, const TranscriptRow& row, int width) const {
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.setFont(view_->font());
    QList<QTextLayout::FormatRange> formats;
    for (auto [begin, end] : row.highlights) {
        QTextLayout::FormatRange range;
        range.start = begin;
        range.length = end - begin;
        QColor yellow(Qt::yellow);
        yellow.setAlphaF(0.35f);
        range.format.setBackground(yellow);
        range.format.setFontWeight(QFont::Bold);
        formats.append(range);
    }
    layout.setFormats(formats);
    layout.beginLayout();
    qreal y = 0;
    for (;;) {
        QTextLine line = layout.createLine();
        if (!line.isValid())
            break;
        line.setLineWidth(width);
        line.setPosition(QPointF(0, y));
        y += line.height();
    }
    layout.endLayout();
}

SegmentDelegate::Geometry SegmentDelegate::geometry(const QRect& rect,
                                                    const QModelIndex& index) const {
    const auto& row = model_.row(index.row());
    Geometry g;
    int x = rect.left() + side;
    // The view's width, not the item's: heights are measured before items get their places.
    int width = textWidth();
    int y = rect.top();
    if (row.header) {
        if (index.row() > 0) {
            y += turnGap;
            g.divider = QRect(x, y, width, 1);
            y += 1;
        }
        y += turnGap;
        QFontMetrics captionMetrics(captionFont_);
        g.caption = QRect(x, y, width, captionMetrics.height());
        y += captionMetrics.height();
        QFontMetrics nameMetrics(nameFont_);
        int nameHeight = std::max(nameMetrics.height(), dotSize);
        g.dot = QRect(x, y + (nameHeight - dotSize) / 2, dotSize, dotSize);
        g.name = QRect(x + dotSize + nameGap, y, nameMetrics.horizontalAdvance(row.name) + 2,
                       nameHeight);
        y += nameHeight + lineGap;
    } else {
        y += lineGap;
    }
    if (row.cachedWidth != width) {
        QTextLayout layout(row.text);
        layoutText(layout, row, width);
        row.cachedWidth = width;
        row.cachedHeight = static_cast<int>(std::ceil(layout.boundingRect().height()));
    }
    g.text = QRect(x, y, width, row.cachedHeight);
    y += row.cachedHeight + lineGap;
    g.height = y - rect.top();
    return g;
}

QSize SegmentDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex& index) const {
    int width = textWidth() + 2 * side;
    return {width, geometry(QRect(0, 0, width, 0), index).height};
}

QRect SegmentDelegate::nameRect(const QRect& rowRect, const QModelIndex& index) const {
    if (!index.isValid() || !model_.row(index.row()).header)
        return {};
    return geometry(rowRect, index).name;
}

void SegmentDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const {
    const auto& row = model_.row(index.row());
    auto g = geometry(option.rect, index);
    const auto& palette = option.palette;
    painter->save();
    if (option.state & QStyle::State_Selected) {
        QColor selected = palette.color(QPalette::Highlight);
        selected.setAlphaF(view_->hasFocus() ? 0.18f : 0.08f);
        QRect area = option.rect;
        if (row.header)
            area.setTop(g.caption.top() - 2);
        painter->fillRect(area, selected);
    }
    QColor secondary = readableSecondary(palette);
    if (!g.divider.isNull())
        painter->fillRect(g.divider, palette.color(QPalette::Mid));
    if (row.header) {
        painter->setFont(captionFont_);
        painter->setPen(secondary);
        painter->drawText(g.caption, Qt::AlignLeft | Qt::AlignVCenter, row.caption);
        painter->setRenderHint(QPainter::Antialiasing);
        painter->setPen(Qt::NoPen);
        painter->setBrush(speakerColor(row.speaker));
        painter->drawEllipse(g.dot);
        painter->setFont(nameFont_);
        painter->setPen(palette.color(QPalette::Text));
        painter->drawText(g.name, Qt::AlignLeft | Qt::AlignVCenter, row.name);
    }
    QTextLayout layout(row.text);
    layoutText(layout, row, g.text.width());
    painter->setPen(palette.color(QPalette::Text));
    layout.draw(painter, g.text.topLeft());
    painter->restore();
}

bool SegmentDelegate::editorEvent(QEvent* event, QAbstractItemModel* model,
                                  const QStyleOptionViewItem& option, const QModelIndex& index) {
    if (event->type() == QEvent::MouseButtonRelease) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        QRect name = nameRect(option.rect, index);
        if (mouse->button() == Qt::LeftButton && name.contains(mouse->position().toPoint())) {
            emit nameClicked(index, name);
            return true;
        }
    }
    return QStyledItemDelegate::editorEvent(event, model, option, index);
}

bool SegmentDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view,
                                const QStyleOptionViewItem& option, const QModelIndex& index) {
    if (event->type() == QEvent::ToolTip && index.isValid()) {
        if (nameRect(option.rect, index).contains(event->pos())) {
            QToolTip::showText(event->globalPos(), renameHelp, view);
            return true;
        }
        QToolTip::hideText();
        event->ignore();
        return true;
    }
    return QStyledItemDelegate::helpEvent(event, view, option, index);
}

} // namespace tallyvox::ui
