#pragma once

#include "session/AppLifecycleManager.h"

#include <QDialog>

class QLineEdit;

namespace tallyvox::ui {

// Names one speaker on every line, past and future. An empty name removes the typed one, so
// the speaker's matched name or anonymous label shows again. A line without a speaker
// ("Unidentified") is given a new one of that name; an empty name leaves it as it was.
class RenamePopover : public QDialog {
    Q_OBJECT
public:
    RenamePopover(AppLifecycleManager& manager, std::optional<int> speaker, const Uuid& line,
                  QWidget* parent);
    RenamePopover(AppLifecycleManager& manager, int speaker, QWidget* parent)
        : RenamePopover(manager, speaker, Uuid(), parent) {}

    QLineEdit* field() const { return field_; }

protected:
    void done(int result) override;

private:
    AppLifecycleManager& manager_;
    std::optional<int> speaker_;
    Uuid line_;
    QLineEdit* field_;
};

} // namespace tallyvox::ui
