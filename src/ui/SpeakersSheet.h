#pragma once

#include "ui/ManagerWatch.h"

#include <QDialog>

#include <memory>

class QLineEdit;
class QVBoxLayout;

namespace tallyvox::ui {

// Names, merging and the meeting's invitees for the running or last session. Merges apply
// at once; the invitee list applies on "Done".
class SpeakersSheet : public QDialog {
    Q_OBJECT
public:
    static const QString matchNote;

    SpeakersSheet(LiveTranscript& transcript, QWidget* parent);

    QLineEdit* peopleField() const { return people_; }
    // "Alex, Sam, ,Kim" -> {"Alex", "Sam", "Kim"}: pieces that are empty or blank drop out.
    static std::vector<std::string> splitPeople(const QString& text);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void rebuild();
    void apply();

    LiveTranscript& transcript_;
    QWidget* rows_;
    QVBoxLayout* rowsLayout_;
    QLineEdit* people_;
    std::unique_ptr<ManagerWatch> watch_;
};

} // namespace tallyvox::ui
