#include "ui/TranscriptLines.h"

#include "transcription/TurnJoining.h"
#include "transcripts/TranscriptFormat.h"
#include "transcripts/TranscriptSearch.h"

#include <QDateTime>
#include <QLocale>

#include <algorithm>
#include <array>
#include <map>

namespace tallyvox::ui {

QColor speakerColor(std::optional<int> speaker) {
    // Blue, orange, green, purple, pink, teal, brown, indigo.
    static const std::array<QColor, 8> colors{
        QColor(0, 122, 255), QColor(255, 149, 0),  QColor(52, 199, 89),  QColor(175, 82, 222),
        QColor(255, 45, 85), QColor(48, 176, 199), QColor(162, 132, 94), QColor(88, 86, 214),
    };
    if (!speaker)
        return QColor(142, 142, 147);
    int n = *speaker % 8;
    return colors[static_cast<size_t>(n < 0 ? n + 8 : n)];
}

QString lineCaption(const std::optional<TranscriptRecord>& record, double start) {
    if (!record)
        return QString::fromStdString(TranscriptFormat::timestamp(start));
    auto at = addSeconds(record->startedAt, start);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch());
    auto time = QDateTime::fromMSecsSinceEpoch(ms.count()).toLocalTime().time();
    // The locale's short style, with seconds: lines a few seconds apart must read apart.
    QLocale locale;
    QString format = locale.timeFormat(QLocale::ShortFormat);
    if (!format.contains(QLatin1Char('s')))
        format.replace(QStringLiteral("mm"), QStringLiteral("mm:ss"));
    return locale.toString(time, format);
}

namespace {

QList<QPair<int, int>> utf16Ranges(const std::string& text, const std::string& query) {
    QList<QPair<int, int>> out;
    if (query.empty())
        return out;
    for (auto range : TranscriptSearch::highlights(text, {query})) {
        auto begin = QString::fromUtf8(text.data(), static_cast<qsizetype>(range.begin)).size();
        auto length = QString::fromUtf8(text.data() + range.begin,
                                        static_cast<qsizetype>(range.end - range.begin))
                          .size();
        out.append({static_cast<int>(begin), static_cast<int>(begin + length)});
    }
    return out;
}

bool sameHeight(const TranscriptRow& a, const TranscriptRow& b) {
    return a.header == b.header && a.text == b.text && a.highlights == b.highlights;
}

} // namespace

std::vector<TranscriptRow> transcriptRows(const LiveTranscript& transcript,
                                          const std::string& query) {
    const auto& lines = transcript.segments.get();
    const auto& record = transcript.record.get();
    std::vector<TranscriptRow> rows;
    rows.reserve(lines.size());
    // Names and whether they match, once per speaker rather than once per line.
    std::map<std::optional<int>, std::pair<QString, bool>> names;
    const TranscriptSegment* previous = nullptr;
    int position = -1;
    for (const auto& line : lines) {
        ++position;
        auto known = names.find(line.speaker);
        if (known == names.end()) {
            auto name = transcript.speakerName(line.speaker);
            known =
                names
                    .emplace(line.speaker,
                             std::pair{QString::fromStdString(name),
                                       !query.empty() && TranscriptSearch::hits(name, query) > 0})
                    .first;
        }
        const auto& [name, nameMatches] = known->second;
        if (!query.empty() && !nameMatches && TranscriptSearch::hits(line.text, query) == 0)
            continue;
        TranscriptRow row;
        row.id = line.id;
        row.line = position;
        row.speaker = line.speaker;
        row.header = startsTurn(line, previous);
        if (row.header)
            row.caption = lineCaption(record, line.start);
        row.name = name;
        row.text = QString::fromStdString(line.text);
        row.highlights = utf16Ranges(line.text, query);
        rows.push_back(std::move(row));
        previous = &line;
    }
    return rows;
}

int TranscriptLineModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

QVariant TranscriptLineModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const auto& r = row(index.row());
    switch (role) {
    case Qt::DisplayRole:
        return r.text;
    case Qt::AccessibleTextRole:
        return r.header ? r.name + QStringLiteral(", ") + r.caption + QStringLiteral(": ") + r.text
                        : r.text;
    default:
        return {};
    }
}

TranscriptLineModel::Change TranscriptLineModel::setRows(std::vector<TranscriptRow> rows) {
    const auto old = rows_.size();
    if (rows.size() >= old && std::equal(rows_.begin(), rows_.end(), rows.begin())) {
        if (rows.size() == old)
            return Change::none;
        for (size_t i = 0; i < old; ++i) {
            rows[i].cachedWidth = rows_[i].cachedWidth;
            rows[i].cachedHeight = rows_[i].cachedHeight;
        }
        beginInsertRows({}, static_cast<int>(old), static_cast<int>(rows.size()) - 1);
        rows_ = std::move(rows);
        endInsertRows();
        return Change::appended;
    }
    if (rows.size() == old) {
        size_t first = 0;
        while (rows_[first] == rows[first])
            ++first;
        size_t last = old - 1;
        while (rows_[last] == rows[last])
            --last;
        // Rows that wrap the same keep their measured heights (a new name changes no height).
        for (size_t i = 0; i < old; ++i)
            if (sameHeight(rows_[i], rows[i])) {
                rows[i].cachedWidth = rows_[i].cachedWidth;
                rows[i].cachedHeight = rows_[i].cachedHeight;
            }
        rows_ = std::move(rows);
        emit dataChanged(index(static_cast<int>(first)), index(static_cast<int>(last)));
        return Change::edited;
    }
    // Lines shown before and after (a new search) keep their measured heights.
    for (size_t i = 0, j = 0; i < rows.size() && j < rows_.size();) {
        if (rows_[j].line < rows[i].line) {
            ++j;
        } else if (rows[i].line < rows_[j].line) {
            ++i;
        } else {
            if (sameHeight(rows_[j], rows[i])) {
                rows[i].cachedWidth = rows_[j].cachedWidth;
                rows[i].cachedHeight = rows_[j].cachedHeight;
            }
            ++i;
            ++j;
        }
    }
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
    return Change::reset;
}

int TranscriptLineModel::rowOf(const Uuid& id) const {
    for (size_t i = rows_.size(); i-- > 0;)
        if (rows_[i].id == id)
            return static_cast<int>(i);
    return -1;
}

} // namespace tallyvox::ui
