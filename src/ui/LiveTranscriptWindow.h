#pragma once

#include "ui/ManagerWatch.h"
#include "ui/UiContext.h"

#include <QPointer>
#include <QWidget>

#include <memory>
#include <optional>
#include <string>

class QLabel;
class QLineEdit;
class QListView;
class QMenu;
class QPropertyAnimation;
class QPushButton;
class QStackedWidget;
class QTimer;

namespace tallyvox::ui {

class FixWordPopover;
class RenamePopover;
class SegmentDelegate;
class SpeakersSheet;
class TranscriptLineModel;

// The lines of the running (or last) session as they arrive, with search, speaker names and
// word fixes. Every edit goes through the manager, which also rewrites the transcript file.
class LiveTranscriptWindow : public QWidget {
    Q_OBJECT
public:
    explicit LiveTranscriptWindow(UiContext& context, QWidget* parent = nullptr);
    ~LiveTranscriptWindow() override;

    // What the window's subtitle says: the session's state, or "N of M lines" while searching.
    QString subtitle() const;
    // Whether new lines scroll into view: off once the user scrolls away from the last line.
    bool followsLatest() const { return followLatest_; }
    // Whether the list is gliding to the newest line.
    bool isScrollingToLatest() const;
    QListView* list() const { return list_; }
    const TranscriptLineModel& model() const { return *model_; }
    SegmentDelegate& delegate() const { return *delegate_; }

    // The line's menu: "Fix a Word…" and "Assign Line To".
    std::unique_ptr<QMenu> lineMenu(int row);
    // The popovers of a shown row, as its name button and its menu open them.
    RenamePopover* openRename(int row);
    FixWordPopover* openFixWord(int row);
    SpeakersSheet* openSpeakers();
    RenamePopover* renamePopover() const;
    FixWordPopover* fixWordPopover() const;
    SpeakersSheet* speakersSheet() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void refresh();
    void refreshToolbar();
    void scrolled();
    void scrollToLatest();
    void showAt(QWidget* popover, int row);
    std::string query() const;

    UiContext& context_;
    std::unique_ptr<ManagerWatch> watch_;
    TranscriptLineModel* model_;
    SegmentDelegate* delegate_;

    QWidget* sessionBar_;
    QLabel* recordingDot_;
    QLabel* elapsed_;
    QPushButton* pause_;
    QPushButton* speakersButton_;
    QLineEdit* search_;
    QStackedWidget* pages_;
    QListView* list_;
    QWidget* emptyPage_;
    QWidget* noResultsPage_;
    QLabel* noResultsTitle_;
    QLabel* status_;
    QTimer* ticker_;
    QPropertyAnimation* follow_;

    QPointer<RenamePopover> rename_;
    QPointer<FixWordPopover> fixWord_;
    QPointer<SpeakersSheet> speakers_;

    bool followLatest_ = true;
    // Changes to the list made here must not read as the user scrolling.
    bool updating_ = false;
    std::size_t lineCount_ = 0;
    std::string lastQuery_;
};

} // namespace tallyvox::ui
