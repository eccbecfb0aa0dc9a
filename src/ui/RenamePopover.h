#pragma once

#include "session/LiveTranscript.h"

#include <QDialog>

class QLineEdit;

namespace tallyvox::ui {

// Names one speaker on every line, past and future. An empty name removes the typed one, so
// the speaker's matched name or anonymous label shows again. A line without a speaker
// ("Unidentified") is given a new one of that name; an empty name leaves it as it was.
class RenamePopover : public QDialog {
    Q_OBJECT
public:
    RenamePopover(LiveTranscript& transcript, std::optional<int> speaker, const Uuid& line,
                  QWidget* parent);
    RenamePopover(LiveTranscript& transcript, int speaker, QWidget* parent)
        : RenamePopover(transcript, speaker, Uuid(), parent) {}

    QLineEdit* field() const { return field_; }

protected:
    void done(int result) override;

private:
    LiveTranscript& transcript_;
    std::optional<int> speaker_;
    Uuid line_;
    QLineEdit* field_;
};

} // namespace tallyvox::ui
