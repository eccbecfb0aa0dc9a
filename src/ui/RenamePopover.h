#pragma once

#include "session/AppLifecycleManager.h"

#include <QDialog>

class QLineEdit;

namespace tallyvox::ui {

// Names one speaker on every line, past and future. An empty name removes the typed one, so
// the speaker's matched name or anonymous label shows again.
class RenamePopover : public QDialog {
    Q_OBJECT
public:
    RenamePopover(AppLifecycleManager& manager, int speaker, QWidget* parent);

    QLineEdit* field() const { return field_; }

protected:
    void done(int result) override;

private:
    AppLifecycleManager& manager_;
    int speaker_;
    QLineEdit* field_;
};

} // namespace tallyvox::ui
