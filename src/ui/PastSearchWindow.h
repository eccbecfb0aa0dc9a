#pragma once

#include "transcripts/PastSearch.h"
#include "ui/QtExecutor.h"
#include "ui/UiContext.h"

#include <QAbstractButton>
#include <QWidget>

#include <memory>
#include <string>
#include <vector>

class QLabel;
class QLineEdit;
class QStackedWidget;
class QTimer;
class QVBoxLayout;

namespace tallyvox::ui {

// A speaker's name or a turn's text as rich text, every term in bold on a light yellow.
QString highlightedHtml(const std::string& text, const std::vector<std::string>& terms);

// One hit in the list: the whole row is the button that opens its transcript.
class PastHitButton : public QAbstractButton {
    Q_OBJECT
public:
    PastHitButton(const PastHit& hit, const std::vector<std::string>& terms,
                  QWidget* parent = nullptr);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
};

// "Past Transcripts": search every saved transcript for a name and words; a hit opens its
// file. Each change of the query searches again, a quarter second after typing stops.
class PastSearchWindow : public QWidget {
    Q_OBJECT
public:
    explicit PastSearchWindow(UiContext& context, QWidget* parent = nullptr);
    ~PastSearchWindow() override;

    // What the window shows.
    enum class State { start, searching, noHits, hits };
    State state() const { return state_; }
    const std::vector<PastHit>& hits() const { return hits_; }
    QLineEdit* searchField() const { return field_; }

    static constexpr int debounceMs = 250;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void queryChanged();
    void searchNow();
    void showHits(std::vector<PastHit> hits, const std::string& query);
    void fillList();
    void rebuild();

    UiContext& context_;
    QtExecutor main_;
    PastSearch::Searcher searcher_{main_};
    QLineEdit* field_ = nullptr;
    QLabel* summary_ = nullptr;
    QStackedWidget* pages_ = nullptr;
    QWidget* startPage_ = nullptr;
    QWidget* searchingPage_ = nullptr;
    QWidget* noHitsPage_ = nullptr;
    QLabel* noHitsTitle_ = nullptr;
    QWidget* listPage_ = nullptr;
    QVBoxLayout* list_ = nullptr;
    QTimer* debounce_ = nullptr;
    std::vector<PastHit> hits_;
    std::string searched_;
    State state_ = State::start;
};

} // namespace tallyvox::ui
