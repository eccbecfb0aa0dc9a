#pragma once

#include "base/Observable.h"
#include "settings/SettingsManager.h"
#include "settings/UserDefaults.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPointer>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// Pieces shared by the settings tabs: grouped sections, captions, notices, switches that are
// named for assistive technologies, and a watch on the preferences.
namespace tallyvox::ui::SettingsForm {

inline QString text(std::string_view value) {
    return QString::fromUtf8(value.data(), static_cast<qsizetype>(value.size()));
}

// Gives a control the name tests and the accessibility bus find it by.
template <class W> W* named(W* widget, const char* objectName, const QString& accessibleName) {
    widget->setObjectName(QString::fromLatin1(objectName));
    widget->setAccessibleName(accessibleName);
    return widget;
}

// A titled group whose rows are label and control, or one control across the width.
QGroupBox* section(const QString& title, QWidget* parent, const char* objectName);
QFormLayout* rows(QGroupBox* section);

// A picker as wide as its row gives it, however long its choices' texts are.
QComboBox* picker(const char* objectName, const QString& accessibleName);
QCheckBox* toggle(const QString& label, const char* objectName, QWidget* parent = nullptr);
// A caption in the secondary colour below a section.
QLabel* footer(const QString& text, QWidget* parent = nullptr);
// An error in red, hidden while it has nothing to say.
QLabel* redNotice(const char* objectName, QWidget* parent = nullptr);
// A row label that names `buddy` to screen readers too.
QLabel* rowLabel(const QString& text, QWidget* buddy);

// Stores a setting through the same check as the command line, so no control can write
// what the app would misread. Answers why a value was refused (and logs it); the stored
// value then stays. Nothing removes the stored value.
std::optional<std::string> store(const SettingsStores& stores, std::string_view key,
                                 const std::optional<PlistValue>& value);

// Changes a control without it reporting a change of the user's.
void setChecked(QCheckBox* box, bool checked);
void showNotice(QLabel* notice, const QString& text);

// Shows a path on one line, shortened in the middle, with the whole path as its tooltip.
class ElidedLabel : public QLabel {
    Q_OBJECT
public:
    explicit ElidedLabel(QWidget* parent = nullptr);
    void setFullText(const QString& full);
    const QString& fullText() const { return full_; }
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void elide();
    QString full_;
};

// Calls `changed` on the main thread once after the preferences changed, however many keys
// changed together and on whatever thread the change was made. Stops with `owner`.
class DefaultsWatch {
public:
    DefaultsWatch(QObject* owner, UserDefaults& defaults, std::function<void()> changed);

private:
    std::shared_ptr<std::atomic<bool>> pending_ = std::make_shared<std::atomic<bool>>(false);
    Subscription subscription_;
};

} // namespace tallyvox::ui::SettingsForm
