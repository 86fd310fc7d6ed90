#include "service/app/qt/QtDialogHost.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QEventLoop>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QSpacerItem>
#include <QToolTip>
#include <QValidator>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSet>
#include <QTimer>

#include <algorithm>

#include "platform/Text.h"
#include "service/app/DialogIds.h"
#include "service/app/MakerInfo.h"
#include "service/app/qt/QtHyperLink.h"

namespace app::qt {

// The top-level widget of template 102: it reports its closing and its
// minimising to the host, and keeps Escape and Return from doing anything.
class CQtMainWindow : public QWidget {
public:
    explicit CQtMainWindow(CQtDialogHost& host)
        : QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                               Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
          m_host(host) {
        qApp->installEventFilter(this);
    }
    ~CQtMainWindow() override { qApp->removeEventFilter(this); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress && watched->isWidgetType() &&
            static_cast<QWidget*>(watched)->window() == this) {
            const int key = static_cast<QKeyEvent*>(event)->key();
            if (key == Qt::Key_Escape || key == Qt::Key_Return || key == Qt::Key_Enter) return true;
        }
        return QWidget::eventFilter(watched, event);
    }

    void closeEvent(QCloseEvent* event) override {
        if (!m_host.AllowClose()) {
            event->ignore();
            return;
        }
        m_host.Destroy();
        event->accept();
    }

    void showEvent(QShowEvent* event) override {
        QWidget::showEvent(event);
        m_host.UpdateShown();
    }
    void hideEvent(QHideEvent* event) override {
        QWidget::hideEvent(event);
        m_host.UpdateShown();
    }

    void changeEvent(QEvent* event) override {
        QWidget::changeEvent(event);
        if (event->type() != QEvent::WindowStateChange) return;
        m_host.UpdateShown();
        if (windowState() & Qt::WindowMaximized) {
            // The window has one size; a maximise shows it normally.
            QTimer::singleShot(0, this, [this] { showNormal(); });
        } else if (windowState() & Qt::WindowMinimized) {
            QTimer::singleShot(0, this, [this] { m_host.OnMinimised(); });
        }
    }

private:
    CQtDialogHost& m_host;
};

namespace {

QString Q(const std::u16string& s) { return QString::fromStdU16String(s); }

// An edit's limit in characters that refuses a longer text whole: a paste of
// forty characters into a box of twenty is refused with the reason shown,
// not cut to its first twenty unseen. Shortening is always allowed.
class CCharLimit final : public QValidator {
public:
    CCharLimit(QLineEdit* edit, int chars) : QValidator(edit), m_pEdit(edit), m_nChars(chars) {}
    State validate(QString& input, int&) const override {
        const qsizetype chars = input.toUcs4().size();
        return chars <= m_nChars || chars < m_pEdit->text().toUcs4().size() ? Acceptable : Invalid;
    }

private:
    QLineEdit* m_pEdit;
    int m_nChars;
};

// The property of an edit that holds what it accepts, shown when it refuses.
constexpr char kInputRuleProperty[] = "zeltInputRule";
// The text a control was given, before its accelerator was marked in it.
constexpr char kPlainTextProperty[] = "zeltPlainText";
// The controls that get Alt-key accelerators, the most used first (a label
// takes the keyboard to the control it names).
constexpr int kAcceleratorOrder[] = {app::kIdcConnect,       app::kIdcDidLabel,      app::kIdcPasswordLabel,
                                     app::kIdcCameraLabel,   app::kIdcLanguageLabel, app::kIdcAbout,
                                     app::kIdcStartAtLogin, app::kIdcResume};

// `plain` with '&' before its first letter or digit not yet `used`, and any
// '&' of its own doubled so that it shows as itself.
QString MarkAccelerator(const QString& plain, QSet<QChar>& used) {
    QString shown;
    bool marked = false;
    for (const QChar c : plain) {
        if (!marked && c.isLetterOrNumber() && !used.contains(c.toLower())) {
            used.insert(c.toLower());
            shown += u'&';
            marked = true;
        }
        if (c == u'&') shown += u'&';
        shown += c;
    }
    return shown;
}

}  // namespace

void CQtDialogHost::RunPosted() { m_posts.RunPosted(); }

CQtDialogHost::CQtDialogHost(app::IDialogLogic& logic, std::function<bool()> trayAvailable)
    : m_logic(logic),
      m_trayAvailable(std::move(trayAvailable)),
      // A call still queued when the host goes is dropped with it.
      m_posts([this] { return QMetaObject::invokeMethod(this, "RunPosted", Qt::QueuedConnection); }) {
    if (!m_trayAvailable) m_trayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    m_pWindow = new CQtMainWindow(*this);
    m_controls = BuildMainWindow(*m_pWindow);
    m_pWindow->setWindowIcon(AppIcon());

    // The title bar's menu cannot take items on every desktop; the About
    // item lives in the window's own context menu instead.
    m_pAboutAction = new QAction(QStringLiteral("About(&A)..."), m_pWindow);
    m_pWindow->addAction(m_pAboutAction);
    m_pWindow->setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(m_pAboutAction, &QAction::triggered, this, [this] { Command(app::kAboutMenuCommand); });

    for (const auto& [id, widget] : m_controls.byId) {
        const int controlId = id;
        if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
            connect(button, &QAbstractButton::clicked, this, [this, controlId] { Command(controlId); });
        } else if (auto* combo = qobject_cast<QComboBox*>(widget)) {
            connect(combo, &QComboBox::activated, this, [this, controlId] { Command(controlId); });
        } else if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
            connect(edit, &QLineEdit::textEdited, this, [this, controlId] { Command(controlId); });
            connect(edit, &QLineEdit::inputRejected, this, [edit] {
                const QString rule = edit->property(kInputRuleProperty).toString();
                if (!rule.isEmpty()) QToolTip::showText(edit->mapToGlobal(QPoint(0, edit->height())), rule, edit);
            });
        }
    }
    AssignAccelerators();
    m_pTrayMenu = new QMenu;
    connect(m_controls.pLink, &CQtHyperLink::clicked, this, [this] { Command(app::kIdcAccountLink); });
    m_controls.pLink->Link().SetColours(0, 0, app::kHighlightColour);
    m_controls.pLink->Link().SetURL(platform::Utf8ToUtf16(kMakerWebAddress));
}

CQtDialogHost::~CQtDialogHost() {
    Destroy();
    delete m_pTray;
    m_pTray = nullptr;
    delete m_pTrayMenu;
    delete m_pWindow;
}

void CQtDialogHost::Open() {
    m_bOpened = true;
    m_logic.OnInitDialog();
    if (m_bDestroyed) return;
    m_pWindow->show();
    m_bShown = true;
}

void CQtDialogHost::Run() {
    QEventLoop loop;
    connect(this, &CQtDialogHost::closed, &loop, &QEventLoop::quit);
    Open();
    if (!m_bDestroyed) loop.exec();
}

QWidget& CQtDialogHost::Window() { return *m_pWindow; }

QWidget* CQtDialogHost::Control(int id) const {
    const auto it = m_controls.byId.find(id);
    return it == m_controls.byId.end() ? nullptr : it->second;
}

void CQtDialogHost::Destroy() {
    if (m_bDestroyed.exchange(true)) return;
    if (m_bOpened) m_logic.OnDestroy();
    m_posts.Close();
    for (auto& [id, timer] : m_timers) delete timer;
    m_timers.clear();
    if (m_pTray) m_pTray->hide();
    m_pWindow->hide();
    emit closed();
}

bool CQtDialogHost::AllowClose() { return m_bDestroyed || !m_bOpened || m_logic.OnCloseRequest(); }

void CQtDialogHost::Command(int id) {
    if (!m_bDestroyed) m_logic.OnCommand(id);
}

void CQtDialogHost::OnMinimised() {
    // Hidden, the window comes back only through the tray icon; without one
    // it stays an ordinary minimised window.
    if (m_pTray && m_pTray->isVisible() && m_trayAvailable()) m_pWindow->hide();
}

void CQtDialogHost::UpdateShown() {
    const bool shown = m_bOpened && !m_bDestroyed && m_pWindow->isVisible() && !m_pWindow->isMinimized();
    if (shown == m_bOnScreen) return;
    m_bOnScreen = shown;
    m_logic.OnShown(shown);
}

void CQtDialogHost::ShowPreview(const video::PreviewFrame& frame) {
    auto* label = qobject_cast<QLabel*>(Control(app::kIdcPreview));
    if (!label || frame.nWidth <= 0 || frame.nHeight <= 0 ||
        frame.rgb.size() != static_cast<size_t>(frame.nWidth) * frame.nHeight * 3)
        return;
    const QImage image(frame.rgb.data(), frame.nWidth, frame.nHeight, frame.nWidth * 3, QImage::Format_RGB888);
    // The pixmap is a copy: the frame's bytes are not kept.
    label->setPixmap(QPixmap::fromImage(image));
    ++m_nPreviewPictures;
}

void CQtDialogHost::ShowPreviewNote(const std::u16string& text) {
    auto* label = qobject_cast<QLabel*>(Control(app::kIdcPreview));
    if (label) label->setText(Q(text));
}

void CQtDialogHost::OnTrayActivated(QSystemTrayIcon::ActivationReason reason) {
    if (reason != QSystemTrayIcon::Trigger || m_bDestroyed) return;
    ShowWindow();
}

void CQtDialogHost::AssignAccelerators() {
    QSet<QChar> used;
    for (const int id : kAcceleratorOrder) {
        QWidget* w = Control(id);
        if (!w) continue;
        auto* label = qobject_cast<QLabel*>(w);
        auto* button = qobject_cast<QAbstractButton*>(w);
        if (!label && !button) continue;
        if (!w->property(kPlainTextProperty).isValid())
            w->setProperty(kPlainTextProperty, label ? label->text() : button->text());
        const QString shown = MarkAccelerator(w->property(kPlainTextProperty).toString(), used);
        if (label) label->setText(shown);
        if (button) button->setText(shown);
    }
}

void CQtDialogHost::SetControlText(int id, const std::u16string& text) {
    QWidget* w = Control(id);
    if (!w) return;
    if (w->property(kPlainTextProperty).isValid()) {
        // Every accelerator may move when one text changes.
        w->setProperty(kPlainTextProperty, Q(text));
        AssignAccelerators();
        return;
    }
    if (auto* link = qobject_cast<CQtHyperLink*>(w)) {
        link->Link().SetLinkText(text);
    } else if (auto* label = qobject_cast<QLabel*>(w)) {
        label->setText(Q(text));
    } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
        button->setText(Q(text));
    } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
        edit->setText(Q(text));
    } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
        group->setTitle(Q(text));
    }
}

std::u16string CQtDialogHost::GetControlText(int id) const {
    QWidget* w = Control(id);
    if (w && w->property(kPlainTextProperty).isValid()) return w->property(kPlainTextProperty).toString().toStdU16String();
    if (auto* label = qobject_cast<QLabel*>(w)) return label->text().toStdU16String();
    if (auto* button = qobject_cast<QAbstractButton*>(w)) return button->text().toStdU16String();
    if (auto* edit = qobject_cast<QLineEdit*>(w)) return edit->text().toStdU16String();
    if (auto* group = qobject_cast<QGroupBox*>(w)) return group->title().toStdU16String();
    if (auto* combo = qobject_cast<QComboBox*>(w)) {
        return combo->currentIndex() < 0 ? std::u16string() : combo->currentText().toStdU16String();
    }
    return {};
}

void CQtDialogHost::EnableControl(int id, bool enable) {
    if (QWidget* w = Control(id)) w->setEnabled(enable);
}

bool CQtDialogHost::IsControlEnabled(int id) const {
    QWidget* w = Control(id);
    return w && w->isEnabled();
}

void CQtDialogHost::ShowControl(int id, bool show) {
    if (QWidget* w = Control(id)) w->setVisible(show);
}

bool CQtDialogHost::IsControlVisible(int id) const {
    QWidget* w = Control(id);
    return w && !w->isHidden();
}

void CQtDialogHost::SetTextLimit(int id, int maxChars) {
    auto* edit = qobject_cast<QLineEdit*>(Control(id));
    if (!edit) return;
    delete edit->validator();
    edit->setMaxLength(32767);
    edit->setValidator(maxChars > 0 ? new CCharLimit(edit, maxChars) : nullptr);
}

void CQtDialogHost::SetInputRule(int id, const std::u16string& text) {
    if (auto* edit = qobject_cast<QLineEdit*>(Control(id))) {
        edit->setProperty(kInputRuleProperty, Q(text));
        // Said before it is needed too, where the pointer rests.
        edit->setToolTip(Q(text));
    }
}

void CQtDialogHost::SetCheck(int id, bool checked) {
    auto* button = qobject_cast<QAbstractButton*>(Control(id));
    if (!button) return;
    // An exclusive radio refuses to be cleared on its own; the logic clears
    // both quality radios before it checks one.
    const bool exclusive = button->autoExclusive();
    if (!checked && exclusive) button->setAutoExclusive(false);
    button->setChecked(checked);
    if (!checked && exclusive) button->setAutoExclusive(true);
}

bool CQtDialogHost::GetCheck(int id) const {
    auto* button = qobject_cast<QAbstractButton*>(Control(id));
    return button && button->isChecked();
}

int CQtDialogHost::ComboAddString(int id, const std::u16string& text) {
    auto* combo = qobject_cast<QComboBox*>(Control(id));
    if (!combo) return -1;
    const QString item = Q(text);
    int at = combo->count();
    if (combo->property("sorted").toBool()) {
        at = 0;
        while (at < combo->count() && QString::compare(combo->itemText(at), item, Qt::CaseInsensitive) <= 0) ++at;
    }
    const int selected = combo->currentIndex();
    combo->insertItem(at, item);
    // A list keeps no selection until one is made.
    if (selected < 0) combo->setCurrentIndex(-1);
    return at;
}

void CQtDialogHost::ComboResetContent(int id) {
    if (auto* combo = qobject_cast<QComboBox*>(Control(id))) combo->clear();
}

int CQtDialogHost::ComboGetCount(int id) const {
    auto* combo = qobject_cast<QComboBox*>(Control(id));
    return combo ? combo->count() : 0;
}

std::u16string CQtDialogHost::ComboGetItemText(int id, int index) const {
    auto* combo = qobject_cast<QComboBox*>(Control(id));
    if (!combo || index < 0 || index >= combo->count()) return {};
    return combo->itemText(index).toStdU16String();
}

int CQtDialogHost::ComboGetCurSel(int id) const {
    auto* combo = qobject_cast<QComboBox*>(Control(id));
    return combo ? combo->currentIndex() : -1;
}

void CQtDialogHost::ComboSetCurSel(int id, int index) {
    auto* combo = qobject_cast<QComboBox*>(Control(id));
    if (!combo) return;
    combo->setCurrentIndex(index >= 0 && index < combo->count() ? index : -1);
}

app::MessageBoxResult CQtDialogHost::MessageBox(const std::u16string& text, const std::u16string& caption,
                                                app::MessageBoxKind kind) {
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
    if (kind == app::MessageBoxKind::OkCancel) buttons = QMessageBox::Ok | QMessageBox::Cancel;
    if (kind == app::MessageBoxKind::YesNo) buttons = QMessageBox::Yes | QMessageBox::No;
    const QString title = caption.empty() ? QApplication::applicationName() : Q(caption);
    QMessageBox box(QMessageBox::Information, title, Q(text), buttons, m_pWindow->isVisible() ? m_pWindow : nullptr);
    box.setWindowModality(Qt::ApplicationModal);
    for (const auto& [which, word] : {std::pair{QMessageBox::Ok, &m_buttonTexts.strOk},
                                      std::pair{QMessageBox::Cancel, &m_buttonTexts.strCancel},
                                      std::pair{QMessageBox::Yes, &m_buttonTexts.strYes},
                                      std::pair{QMessageBox::No, &m_buttonTexts.strNo}})
        if (QAbstractButton* button = box.button(which)) button->setText(Q(*word));
    // A short text must not make the box too narrow for its caption, which
    // the frame would cut; room is kept for the frame's buttons too.
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
        const int titleWidth = QFontMetrics(QApplication::font("QMdiSubWindowTitleBar")).horizontalAdvance(title) + 120;
        grid->addItem(new QSpacerItem(titleWidth, 0, QSizePolicy::Fixed, QSizePolicy::Minimum), grid->rowCount(), 0, 1,
                      grid->columnCount());
    }
    switch (box.exec()) {
        case QMessageBox::Cancel: return app::MessageBoxResult::Cancel;
        case QMessageBox::Yes: return app::MessageBoxResult::Yes;
        case QMessageBox::No: return app::MessageBoxResult::No;
        default: return kind == app::MessageBoxKind::YesNo ? app::MessageBoxResult::No : app::MessageBoxResult::Ok;
    }
}

uint32_t CQtDialogHost::SetTimer(uint32_t id, uint32_t periodMs) {
    if (id == 0 || m_bDestroyed) return 0;
    QTimer*& timer = m_timers[id];
    if (!timer) {
        timer = new QTimer(this);
        timer->setTimerType(Qt::CoarseTimer);
        connect(timer, &QTimer::timeout, this, [this, id] {
            if (!m_bDestroyed) m_logic.OnTimer(id);
        });
    }
    timer->start(static_cast<int>(std::min<uint32_t>(periodMs, INT32_MAX)));
    return id;
}

void CQtDialogHost::KillTimer(uint32_t id) {
    const auto it = m_timers.find(id);
    if (it == m_timers.end()) return;
    delete it->second;
    m_timers.erase(it);
}

void CQtDialogHost::PostToWindow(std::function<void()> work) { m_posts.Post(std::move(work)); }

void CQtDialogHost::SetWindowTitle(const std::u16string& title) { m_pWindow->setWindowTitle(Q(title)); }

std::optional<std::pair<int, int>> CQtDialogHost::GetWindowPosition() const {
    // A window never shown has no place of its own yet; it must not
    // overwrite the one stored.
    if (!m_bShown) return std::nullopt;
    const QPoint at = m_pWindow->pos();
    if (!QGuiApplication::screenAt(at)) return std::nullopt;
    return std::make_pair(at.x(), at.y());
}

void CQtDialogHost::SetWindowPosition(int x, int y) {
    // A screen that has gone since (a second monitor) must not leave the
    // window out of sight: the desktop then places it. On a screen that has
    // shrunk, the whole window is kept on it.
    QScreen* screen = QGuiApplication::screenAt(QPoint(x, y));
    if (!screen) return;
    const QRect room = screen->availableGeometry();
    const QSize size = m_pWindow->frameGeometry().size().expandedTo(m_pWindow->sizeHint());
    x = std::clamp(x, room.left(), std::max(room.left(), room.left() + room.width() - size.width()));
    y = std::clamp(y, room.top(), std::max(room.top(), room.top() + room.height() - size.height()));
    m_pWindow->move(x, y);
}

void CQtDialogHost::SetAboutMenuText(const std::u16string& text) {
    m_pAboutAction->setText(Q(text));
    m_pAboutAction->setVisible(!text.empty());
}

void CQtDialogHost::SetTrayTip(const std::u16string& tip) {
    if (tip.empty()) {
        delete m_pTray;
        m_pTray = nullptr;
        return;
    }
    if (!m_pTray) {
        m_pTray = new QSystemTrayIcon(AppIcon(), this);
        connect(m_pTray, &QSystemTrayIcon::activated, this, &CQtDialogHost::OnTrayActivated);
        m_pTray->setContextMenu(m_pTrayMenu);
    }
    m_strTrayTip = Q(tip);
    UpdateTrayToolTip();
    m_pTray->show();
}

void CQtDialogHost::UpdateTrayToolTip() {
    if (m_pTray) m_pTray->setToolTip(m_strTrayStatus.isEmpty() ? m_strTrayTip : m_strTrayTip + u'\n' + m_strTrayStatus);
}

void CQtDialogHost::SetTrayMenu(const std::vector<TrayMenuItem>& items) {
    m_pTrayMenu->clear();
    for (const TrayMenuItem& item : items) {
        const int command = item.nCommand;
        QAction* action = m_pTrayMenu->addAction(Q(item.strText));
        action->setObjectName(QStringLiteral("tray%1").arg(command));
        connect(action, &QAction::triggered, this, [this, command] { Command(command); });
    }
}

void CQtDialogHost::SetTrayStatus(const std::u16string& line) {
    m_strTrayStatus = Q(line);
    UpdateTrayToolTip();
}

void CQtDialogHost::ShowNotification(const std::u16string& title, const std::u16string& text) {
    if (!m_pTray || m_bDestroyed) return;
    m_notifications.append(Q(title) + u'|' + Q(text));
    // Only where a tray shows them; elsewhere the window says it already.
    if (m_trayAvailable() && QSystemTrayIcon::supportsMessages())
        m_pTray->showMessage(Q(title), Q(text), AppIcon(), 6000);
}

void CQtDialogHost::ShowWindow() {
    if (m_bDestroyed) return;
    m_pWindow->showNormal();
    m_pWindow->raise();
    m_pWindow->activateWindow();
}

void CQtDialogHost::SetLinkFailureTexts(const app::LinkFailureTexts& texts) {
    m_controls.pLink->Link().SetFailureTexts(texts);
}

void CQtDialogHost::ShowAboutBox() {
    if (m_bDestroyed) return;
    QDialog box(m_pWindow, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    box.setObjectName(QStringLiteral("AboutBox"));
    const std::map<int, QWidget*> controls = BuildAboutBox(box, AppIcon());
    auto* ok = static_cast<QPushButton*>(controls.at(1));
    ok->setText(Q(m_buttonTexts.strOk));
    connect(ok, &QPushButton::clicked, &box, &QDialog::accept);
    app::AboutTexts texts;
    if (m_aboutSource) {
        texts = m_aboutSource();
    } else {
        texts.strLegal = platform::Utf8ToUtf16(kMakerLegalNotice);
        texts.strLicences = app::kLibraryLicences;
    }
    box.setWindowTitle(Q(texts.strTitle));
    static_cast<QLabel*>(controls.at(app::kIdAboutVersion))->setText(Q(texts.strVersion));
    static_cast<QLabel*>(controls.at(app::kIdAboutApiVersion))->setText(Q(texts.strApiVersion));
    static_cast<QLabel*>(controls.at(app::kIdAboutLegal))->setText(Q(texts.strLegal));
    static_cast<QLabel*>(controls.at(app::kIdAboutLicences))->setText(Q(texts.strLicences));
    box.exec();
}

void CQtDialogHost::CloseWindow() { Destroy(); }

}  // namespace app::qt
