#pragma once
// The Qt host of the window logic: the main window's widgets by dialog id,
// timers on the window's thread, work posted from other threads, modal
// message boxes, the About box, the tray icon and the window's chrome.

#include <QObject>
#include <QSystemTrayIcon>

#include <atomic>
#include <functional>
#include <map>
#include <vector>

#include "service/app/AboutDlg.h"
#include "service/app/DialogHost.h"
#include "service/app/WindowPosts.h"
#include "service/app/qt/DialogTemplates.h"

class QAction;
class QMenu;
class QTimer;

namespace app::qt {

class CQtMainWindow;

class CQtDialogHost : public QObject, public app::IDialogHost {
    Q_OBJECT
public:
    // Builds the window (not yet shown) for `logic`; a QApplication must exist.
    // `trayAvailable` says whether the desktop shows tray icons (asked at
    // each minimise; tests replace it).
    explicit CQtDialogHost(app::IDialogLogic& logic, std::function<bool()> trayAvailable = {});
    ~CQtDialogHost() override;

    // The About box's texts, asked each time it opens; without a source it
    // shows its template with our legal notice.
    void SetAboutSource(std::function<app::AboutTexts()> source) { m_aboutSource = std::move(source); }

    // Runs OnInitDialog and shows the window.
    void Open();
    // Open, then wait until the window has closed.
    void Run();
    bool IsClosed() const { return m_bDestroyed.load(); }

    QWidget& Window();
    QWidget* Control(int id) const;
    CQtHyperLink& Link() const { return *m_controls.pLink; }
    QAction& AboutAction() const { return *m_pAboutAction; }
    QSystemTrayIcon* Tray() const { return m_pTray; }
    QMenu& TrayMenu() const { return *m_pTrayMenu; }
    // The notifications shown so far, "title|text", oldest first.
    const QStringList& Notifications() const { return m_notifications; }
    // The preview pictures drawn so far.
    int PreviewPictures() const { return m_nPreviewPictures; }
    // A tray notification, as the desktop delivers it.
    void OnTrayActivated(QSystemTrayIcon::ActivationReason reason);

    // IDialogHost
    void SetControlText(int id, const std::u16string& text) override;
    std::u16string GetControlText(int id) const override;
    void EnableControl(int id, bool enable) override;
    bool IsControlEnabled(int id) const override;
    void ShowControl(int id, bool show) override;
    bool IsControlVisible(int id) const override;
    void SetTextLimit(int id, int maxChars) override;
    void SetInputRule(int id, const std::u16string& text) override;
    void SetCheck(int id, bool checked) override;
    bool GetCheck(int id) const override;
    int ComboAddString(int id, const std::u16string& text) override;
    void ComboResetContent(int id) override;
    int ComboGetCount(int id) const override;
    std::u16string ComboGetItemText(int id, int index) const override;
    int ComboGetCurSel(int id) const override;
    void ComboSetCurSel(int id, int index) override;
    app::MessageBoxResult MessageBox(const std::u16string& text, const std::u16string& caption,
                                     app::MessageBoxKind kind) override;
    uint32_t SetTimer(uint32_t id, uint32_t periodMs) override;
    void KillTimer(uint32_t id) override;
    void PostToWindow(std::function<void()> work) override;
    void SetWindowTitle(const std::u16string& title) override;
    std::optional<std::pair<int, int>> GetWindowPosition() const override;
    void SetWindowPosition(int x, int y) override;
    void SetAboutMenuText(const std::u16string& text) override;
    void SetTrayTip(const std::u16string& tip) override;
    void SetTrayMenu(const std::vector<TrayMenuItem>& items) override;
    void SetTrayStatus(const std::u16string& line) override;
    void ShowNotification(const std::u16string& title, const std::u16string& text) override;
    void ShowWindow() override;
    void ShowPreview(const video::PreviewFrame& frame) override;
    void ShowPreviewNote(const std::u16string& text) override;
    void SetLinkFailureTexts(const app::LinkFailureTexts& texts) override;
    void SetButtonTexts(const app::ButtonTexts& texts) override { m_buttonTexts = texts; }
    void ShowAboutBox() override;
    void CloseWindow() override;

signals:
    void closed();

private slots:
    // Runs the posted work on the window's thread. Woken by name through Qt's
    // queue, so no callable of ours crosses threads inside Qt's event (Qt's
    // locks are invisible to the thread checker).
    void RunPosted();

private:
    app::ButtonTexts m_buttonTexts;
    friend class CQtMainWindow;
    // The window is going: the logic's OnDestroy, then no timer or posted
    // work runs any more. Runs once.
    void Destroy();
    void OnMinimised();
    // Tells the logic when the window comes on the screen or leaves it.
    void UpdateShown();
    // Whether the window may close now (the logic asks the user).
    bool AllowClose();
    void UpdateTrayToolTip();
    // Marks an Alt-key accelerator in each labelled control's and button's
    // text, no key twice, whatever the language.
    void AssignAccelerators();
    void Command(int id);

    app::IDialogLogic& m_logic;
    std::function<bool()> m_trayAvailable;
    std::function<app::AboutTexts()> m_aboutSource;
    CQtMainWindow* m_pWindow = nullptr;
    MainWindowControls m_controls;
    QAction* m_pAboutAction = nullptr;
    QSystemTrayIcon* m_pTray = nullptr;
    QMenu* m_pTrayMenu = nullptr;
    QString m_strTrayTip;
    QString m_strTrayStatus;
    QStringList m_notifications;
    std::map<uint32_t, QTimer*> m_timers;
    bool m_bOpened = false;  // the logic's OnInitDialog has run
    bool m_bShown = false;   // the window has been on the screen
    bool m_bOnScreen = false;  // as the logic was last told
    int m_nPreviewPictures = 0;
    std::atomic<bool> m_bDestroyed{false};
    // Work posted by other threads; one queued call wakes the window's
    // thread for everything posted until it runs.
    app::CWindowPosts m_posts;
};

}  // namespace app::qt
