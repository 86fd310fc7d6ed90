#include "service/app/qt/QtHyperLink.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QMessageBox>
#include <QMouseEvent>
#include <QKeyEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFocusRect>

namespace app::qt {

// What a screen reader learns of the link: a link (not plain text) named by
// its text, with its address as the description, that can be pressed.
class CLinkAccessible final : public QAccessibleWidget {
public:
    explicit CLinkAccessible(CQtHyperLink* link) : QAccessibleWidget(link, QAccessible::Link) {}

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name && widget()->accessibleName().isEmpty()) return Link()->text();
        if (t == QAccessible::Description && widget()->accessibleDescription().isEmpty()) return Link()->toolTip();
        return QAccessibleWidget::text(t);
    }
    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.linked = true;
        s.traversed = Link()->Link().GetVisited();
        return s;
    }
    QStringList actionNames() const override { return QAccessibleWidget::actionNames() << pressAction(); }
    void doAction(const QString& name) override {
        if (name == pressAction() && Link()->isEnabled()) {
            Link()->Activate();
            return;
        }
        QAccessibleWidget::doAction(name);
    }

private:
    CQtHyperLink* Link() const { return static_cast<CQtHyperLink*>(widget()); }
};

namespace {

QAccessibleInterface* LinkAccessibleFactory(const QString& className, QObject* object) {
    if (className == QLatin1String(CQtHyperLink::staticMetaObject.className()) && object && object->isWidgetType())
        return new CLinkAccessible(static_cast<CQtHyperLink*>(object));
    return nullptr;
}

}  // namespace

CQtHyperLink::CQtHyperLink(const QString& text, QWidget* parent) : QLabel(text, parent) {
    static const bool factoryInstalled = (QAccessible::installFactory(LinkAccessibleFactory), true);
    (void)factoryInstalled;
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setTextFormat(Qt::PlainText);
    m_pLink->Attach(this);
}

CQtHyperLink::~CQtHyperLink() { m_pLink->Detach(); }

void CQtHyperLink::UseLink(app::CHyperLink* link) {
    m_pLink->Detach();
    m_pLink = link ? link : &m_ownLink;
    m_pLink->Attach(this);
}

std::u16string CQtHyperLink::GetText() const { return text().toStdU16String(); }

void CQtHyperLink::SetText(const std::u16string& value) { setText(QString::fromStdU16String(value)); }

void CQtHyperLink::FitToText() {
    // The layout keeps the left edge (the control is left-aligned); a fixed
    // size policy makes the label exactly as wide as its text.
    updateGeometry();
    adjustSize();
}

void CQtHyperLink::SetToolTip(const std::u16string& tip) { setToolTip(QString::fromStdU16String(tip)); }

void CQtHyperLink::Repaint() { repaint(); }

app::Colour CQtHyperLink::HighlightColour() const {
    const QColor c = palette().color(QPalette::Highlight);
    return app::Rgb(static_cast<uint8_t>(c.red()), static_cast<uint8_t>(c.green()), static_cast<uint8_t>(c.blue()));
}

void CQtHyperLink::Beep() { QApplication::beep(); }

void CQtHyperLink::ShowError(const std::u16string& text) {
    QApplication::restoreOverrideCursor();
    QApplication::setOverrideCursor(Qt::ArrowCursor);
    QMessageBox box(QMessageBox::Warning, QApplication::applicationName(), QString::fromStdU16String(text),
                    QMessageBox::Ok, window());
    box.exec();
}

void CQtHyperLink::ShowFailure(const std::u16string& caption, const std::u16string& text) {
    QApplication::restoreOverrideCursor();
    QApplication::setOverrideCursor(Qt::ArrowCursor);
    QMessageBox box(QMessageBox::Warning, QString::fromStdU16String(caption), QString::fromStdU16String(text),
                    QMessageBox::Ok, window());
    // The address is in the text for the user to copy into a browser.
    box.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    box.exec();
}

void CQtHyperLink::enterEvent(QEnterEvent* event) {
    QLabel::enterEvent(event);
    m_pLink->SetOver(true);
}

void CQtHyperLink::leaveEvent(QEvent* event) {
    QLabel::leaveEvent(event);
    m_pLink->SetOver(false);
}

void CQtHyperLink::mousePressEvent(QMouseEvent* event) {
    m_bPressed = event->button() == Qt::LeftButton;
    QLabel::mousePressEvent(event);
}

void CQtHyperLink::mouseReleaseEvent(QMouseEvent* event) {
    const bool click = m_bPressed && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
    m_bPressed = false;
    QLabel::mouseReleaseEvent(event);
    if (click) Activate();
}

void CQtHyperLink::keyPressEvent(QKeyEvent* event) {
    // Reached with Tab like any control; Space opens it as a click would.
    if (event->key() == Qt::Key_Space && !event->isAutoRepeat()) {
        Activate();
        return;
    }
    QLabel::keyPressEvent(event);
}

void CQtHyperLink::Activate() {
    emit clicked();
    // Opening may take the opener a moment to decide; say that we are busy.
    QApplication::setOverrideCursor(Qt::BusyCursor);
    m_pLink->OnClicked();
    QApplication::restoreOverrideCursor();
    update();
}

void CQtHyperLink::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QFont linkFont = font();
    linkFont.setUnderline(m_pLink->GetUnderline());
    painter.setFont(linkFont);
    const app::Colour c = m_pLink->TextColour();
    painter.setPen(QColor(int(c & 0xFF), int((c >> 8) & 0xFF), int((c >> 16) & 0xFF)));
    painter.drawText(contentsRect(), int(alignment()), text());
    if (hasFocus()) {
        // Keyboard users see where the focus is.
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, this);
    }
}

}  // namespace app::qt
