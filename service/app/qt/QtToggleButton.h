#pragma once
// The connect toggle: a push button that stays down while the service runs.
// Screen readers hear it as a button that is pressed or not (Qt alone would
// call a checkable push button a check box).

#include <QPushButton>

namespace app::qt {

class CQtToggleButton : public QPushButton {
    Q_OBJECT
public:
    explicit CQtToggleButton(const QString& text, QWidget* parent = nullptr);
};

}  // namespace app::qt
