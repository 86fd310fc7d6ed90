#include "service/app/qt/QtToggleButton.h"

#include <QAccessible>
#include <QAccessibleWidget>

namespace app::qt {
namespace {

class CToggleAccessible final : public QAccessibleWidget {
public:
    explicit CToggleAccessible(QAbstractButton* button) : QAccessibleWidget(button, QAccessible::Button) {}

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name && widget()->accessibleName().isEmpty()) {
            // The text without its accelerator's mark ("&&" is a '&' of its own).
            QString name;
            const QString text = Button()->text();
            for (qsizetype i = 0; i < text.size(); ++i) {
                if (text[i] == u'&' && ++i == text.size()) break;
                name += text[i];
            }
            return name;
        }
        return QAccessibleWidget::text(t);
    }
    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.checkable = true;
        s.checked = Button()->isChecked();
        s.pressed = Button()->isDown();
        return s;
    }
    QStringList actionNames() const override {
        return QAccessibleWidget::actionNames() << pressAction() << toggleAction();
    }
    void doAction(const QString& name) override {
        if ((name == pressAction() || name == toggleAction()) && Button()->isEnabled()) {
            Button()->click();
            return;
        }
        QAccessibleWidget::doAction(name);
    }

private:
    QAbstractButton* Button() const { return static_cast<QAbstractButton*>(widget()); }
};

QAccessibleInterface* ToggleAccessibleFactory(const QString& className, QObject* object) {
    if (className == QLatin1String(CQtToggleButton::staticMetaObject.className()) && object && object->isWidgetType())
        return new CToggleAccessible(static_cast<CQtToggleButton*>(object));
    return nullptr;
}

}  // namespace

CQtToggleButton::CQtToggleButton(const QString& text, QWidget* parent) : QPushButton(text, parent) {
    static const bool factoryInstalled = (QAccessible::installFactory(ToggleAccessibleFactory), true);
    (void)factoryInstalled;
    setCheckable(true);
    setAutoDefault(false);
}

}  // namespace app::qt
