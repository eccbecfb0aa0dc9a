#pragma once

#include <QObject>
#include <QString>

#include <functional>

class QLocalServer;

namespace tallyvox::desktop {

// One Tallyvox per user session: the first launch listens on a socket in the user's runtime
// folder; a later launch asks it to show its panel and ends.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(QString socketPath = defaultSocketPath());
    ~SingleInstance() override;

    static QString defaultSocketPath();
    // True when another instance answered and was asked to show its panel.
    bool askRunningToShow();
    // Becomes the running instance; `onShow` runs for each later launch. False when the
    // socket cannot be made (the app still runs, only without the hand-over).
    bool listen(std::function<void()> onShow);

private:
    QString path_;
    QLocalServer* server_ = nullptr;
};

} // namespace tallyvox::desktop
