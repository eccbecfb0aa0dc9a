#pragma once

#include <QObject>
#include <QString>

#include <functional>

class QLocalServer;

namespace tallyvox::desktop {

// One Tallyvox per user session: the first launch listens on a socket in the user's runtime
// folder (or, without one, a private folder of ours in the temporary folder); a later launch
// asks it to show its panel and ends. Both ends answer only this user's processes.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(QString socketPath = defaultSocketPath());
    ~SingleInstance() override;

    // Empty when no private folder can be had: the app then runs without the hand-over.
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
