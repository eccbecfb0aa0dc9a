#pragma once

#include "base/Uuid.h"
#include "session/LiveTranscript.h"

#include <QAbstractListModel>
#include <QColor>
#include <QList>
#include <QString>

#include <optional>
#include <string>
#include <vector>

namespace tallyvox::ui {

// One colour per voice, repeating every eight; lines without a speaker are grey.
QColor speakerColor(std::optional<int> speaker);

// One shown transcript line with everything the list paints for it.
struct TranscriptRow {
    Uuid id;
    int line = 0; // position among all of the session's lines
    std::optional<int> speaker;
    // Starts a speaker turn among the shown lines: the time and name go above it.
    bool header = false;
    QString caption; // time of day of the line (header rows only)
    QString name;
    QString text;
    // UTF-16 [begin, end) ranges of the search query in `text`.
    QList<QPair<int, int>> highlights;

    bool operator==(const TranscriptRow& other) const {
        return id == other.id && speaker == other.speaker && header == other.header &&
               caption == other.caption && name == other.name && text == other.text &&
               highlights == other.highlights;
    }

    // The painted height for `cachedWidth`, kept until the row is replaced.
    mutable int cachedWidth = -1;
    mutable int cachedHeight = 0;
};

// The lines of `transcript` that match `query` (already cleaned; empty shows all).
std::vector<TranscriptRow> transcriptRows(const LiveTranscript& transcript,
                                          const std::string& query);
// The time above a turn: the recording's start plus the line's start as a time of day, or
// the offset into the session when there is no transcript record.
QString lineCaption(const std::optional<TranscriptRecord>& record, double start);

// The shown lines, changed in place where it can be: appended lines are inserted and edited
// lines updated, so a growing transcript never rebuilds the whole list.
class TranscriptLineModel : public QAbstractListModel {
    Q_OBJECT
public:
    enum class Change { none, appended, edited, reset };

    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

    Change setRows(std::vector<TranscriptRow> rows);
    const TranscriptRow& row(int index) const { return rows_.at(static_cast<size_t>(index)); }
    // The row showing the line `id`, or -1.
    int rowOf(const Uuid& id) const;

private:
    std::vector<TranscriptRow> rows_;
};

} // namespace tallyvox::ui
