#include "ui/SettingsForm.h"

#include "base/Error.h"
#include "base/Log.h"
#include "session/PreferenceCommands.h"
#include "ui/Palette.h"
#include "ui/PanelRows.h"

#include <QApplication>
#include <QFont>
#include <QPalette>
#include <QSignalBlocker>

namespace tallyvox::ui::SettingsForm {

QGroupBox* section(const QString& title, QWidget* parent, const char* objectName) {
    auto* box = new QGroupBox(title, parent);
    box->setObjectName(QString::fromLatin1(objectName));
    auto* layout = new QFormLayout(box);
    layout->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    layout->setRowWrapPolicy(QFormLayout::DontWrapRows);
    return box;
}

QFormLayout* rows(QGroupBox* section) {
    return static_cast<QFormLayout*>(section->layout());
}

QComboBox* picker(const char* objectName, const QString& accessibleName) {
    auto* box = named(new QComboBox, objectName, accessibleName);
    box->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    box->setMinimumContentsLength(12);
    return box;
}

QCheckBox* toggle(const QString& label, const char* objectName, QWidget* parent) {
    return named(new QCheckBox(label, parent), objectName, label);
}

QLabel* footer(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 0.9);
    label->setFont(font);
    makeSecondary(label);
    return label;
}

QLabel* redNotice(const char* objectName, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(objectName));
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, errorTextColor(palette));
    label->setPalette(palette);
    label->hide();
    return label;
}

QLabel* rowLabel(const QString& text, QWidget* buddy) {
    auto* label = new QLabel(text);
    label->setBuddy(buddy);
    return label;
}

void setChecked(QCheckBox* box, bool checked) {
    QSignalBlocker blocker(box);
    box->setChecked(checked);
}

void showNotice(QLabel* notice, const QString& text) {
    notice->setText(text);
    notice->setAccessibleName(text);
    notice->setVisible(!text.isEmpty());
}

ElidedLabel::ElidedLabel(QWidget* parent)
    : QLabel(parent) {
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void ElidedLabel::setFullText(const QString& full) {
    full_ = full;
    setToolTip(full);
    setAccessibleName(full);
    elide();
}

QSize ElidedLabel::minimumSizeHint() const {
    return {fontMetrics().horizontalAdvance(QStringLiteral("…")) * 4,
            QLabel::minimumSizeHint().height()};
}

void ElidedLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    elide();
}

void ElidedLabel::elide() {
    setText(fontMetrics().elidedText(full_, Qt::ElideMiddle, width()));
}

DefaultsWatch::DefaultsWatch(QObject* owner, UserDefaults& defaults,
                             std::function<void()> changed) {
    QPointer<QObject> target(owner);
    subscription_ = defaults.observe(
        [target, pending = pending_, changed = std::move(changed)](const std::string&) {
            if (pending->exchange(true))
                return;
            // Told on the thread that made the change; the views are read on the main thread.
            QMetaObject::invokeMethod(
                qApp,
                [target, pending, changed] {
                    pending->store(false);
                    if (target)
                        changed();
                },
                Qt::QueuedConnection);
        });
}

std::optional<std::string> store(const SettingsStores& stores, std::string_view key,
                                 const std::optional<PlistValue>& value) {
    try {
        SettingsTable::store(key, value, stores, PreferenceCommands::checks());
    } catch (const Error& refused) {
        Log::error("The settings window did not store {}: {}", key, refused.what());
        return refused.what();
    }
    return std::nullopt;
}

} // namespace tallyvox::ui::SettingsForm
