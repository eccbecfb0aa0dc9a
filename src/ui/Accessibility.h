#pragma once

#include <QString>

class QLineEdit;

namespace tallyvox::ui {

// Names the clear button Qt puts in a field with setClearButtonEnabled: screen readers meet
// it as an unnamed button otherwise. Keyboard users empty the field with its own keys.
void nameClearButton(QLineEdit* field, const QString& name);

} // namespace tallyvox::ui
