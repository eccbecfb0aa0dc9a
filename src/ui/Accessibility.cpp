#include "ui/Accessibility.h"

#include <QLineEdit>
#include <QToolButton>

namespace tallyvox::ui {

void nameClearButton(QLineEdit* field, const QString& name) {
    for (auto* button : field->findChildren<QToolButton*>(Qt::FindDirectChildrenOnly))
        button->setAccessibleName(name);
}

} // namespace tallyvox::ui
