#pragma once

#include "ui/ManagerWatch.h"
#include "ui/UiContext.h"

#include <QWidget>

#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

class QLabel;
class QPushButton;
class QTimer;
class QVBoxLayout;

namespace tallyvox::ui {

class CompletedView;
class ConsentView;
class MeetingRow;
class ModelStatusView;
class Notice;
class RowButton;
class SetupView;
class TranscribingView;

// The panel under the tray icon, top to bottom: what is happening now (a running session, a
// transcript being finished, the last saved transcript), the detected meeting with its consent
// and model download (or the first-run setup), other detected meetings, problems, and the
// app's commands. Everything is read from the manager; only the setup and consent switches
// are the panel's own.
class MenuBarPanel : public QWidget {
    Q_OBJECT
public:
    explicit MenuBarPanel(UiContext& context, QWidget* parent = nullptr);
    ~MenuBarPanel() override;

    // Reads the manager now instead of on the next turn of the event loop.
    void refresh();
    // Whether the session clock is being moved on every second.
    bool isTicking() const;

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void updateTicking();

    UiContext& context_;
    QVBoxLayout* layout_;

    TranscribingView* transcribing_;
    QWidget* finishing_;
    CompletedView* completed_;
    QWidget* activityDivider_;

    QWidget* automaticMeeting_;
    MeetingRow* automaticRow_;
    QPushButton* transcribeAnyway_;
    ConsentView* consent_;
    ModelStatusView* modelStatus_;
    QWidget* noMeeting_;
    QLabel* noMeetingText_;
    SetupView* setup_;

    QWidget* alsoDetected_;
    Notice* lastError_;
    QWidget* browserNotices_;

    RowButton* showLive_;
    RowButton* search_;
    RowButton* settings_;
    RowButton* quit_;

    QTimer* clock_;
    std::shared_ptr<std::set<std::filesystem::path>> savedFiles_;
    Subscription savedWatch_;
    // What was on screen at the last refresh, to know when a view appears.
    bool setupShown_ = false;
    bool consentShown_ = false;
    // The lists as last built: rebuilt only when they change, so a burst of transcript lines
    // does not remake their rows (and lose a selection in them) every time.
    std::optional<std::vector<std::string>> alsoShown_;
    std::optional<std::set<std::string>> deniedShown_;
    std::unique_ptr<ManagerWatch> watch_;
};

} // namespace tallyvox::ui
