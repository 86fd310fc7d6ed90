#pragma once
// The Win32 host of the window logic: the main window is dialog template 102
// of the resource script, its controls found by their dialog ids; timers of
// the window, work posted from other threads as a window message, the
// system's message boxes with the window's button texts, the About box
// (template 100), the About item of the system menu, the tray icon in the
// shell's notification area with its menu, tooltip and balloons, the link
// opened through the shell, and the live preview drawn by GDI.
//
// Threads: as IDialogHost says. The host belongs to the thread that made it;
// that thread runs the window's messages (Run, or a test's own pump).

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "service/app/AboutDlg.h"
#include "service/app/DialogHost.h"
#include "service/app/WindowPosts.h"

struct HWND__;
struct HMENU__;
struct HICON__;
struct HDC__;

namespace app::win32 {

class CWin32HyperLink;
struct PreviewPicture;

class CWin32DialogHost final : public app::IDialogHost {
public:
    // Makes the window (not yet shown) for `logic` from the templates in the
    // program's own resources.
    explicit CWin32DialogHost(app::IDialogLogic& logic);
    ~CWin32DialogHost();
    CWin32DialogHost(const CWin32DialogHost&) = delete;
    CWin32DialogHost& operator=(const CWin32DialogHost&) = delete;

    // Whether the window could be made (the resources are there, the
    // desktop takes windows); without it every operation does nothing.
    bool Created() const { return m_hWnd != nullptr; }
    // The About box's texts, asked each time it opens; without a source it
    // shows its template with our legal notice.
    void SetAboutSource(std::function<app::AboutTexts()> source) { m_aboutSource = std::move(source); }

    // Runs OnInitDialog and shows the window.
    void Open();
    // Open, then run the window's messages until it has closed.
    void Run();
    bool IsClosed() const { return m_bDestroyed.load(); }

    HWND__* Window() const { return m_hWnd; }
    HWND__* Control(int id) const;
    CWin32HyperLink& Link() const { return *m_pLink; }
    // Whether the shell shows our tray icon, and the tooltip it was given.
    bool TrayShown() const { return m_bTrayShown; }
    std::u16string TrayToolTip() const;
    // The tray menu as it pops up (the caller destroys it).
    HMENU__* BuildTrayMenu() const;
    // The notifications shown so far, "title|text", oldest first.
    const std::vector<std::u16string>& Notifications() const { return m_notifications; }
    int PreviewPictures() const { return m_nPreviewPictures; }
    // A notification from the tray icon, as the shell sends it.
    void OnTrayNotify(uintptr_t wParam, intptr_t lParam);

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

private:
    static intptr_t __stdcall DialogProc(HWND__*, unsigned int, uintptr_t, intptr_t);
    static intptr_t __stdcall PreviewProc(HWND__*, unsigned int, uintptr_t, intptr_t, uintptr_t, uintptr_t);
    intptr_t OnMessage(unsigned int message, uintptr_t wParam, intptr_t lParam);
    void OnControlCommand(int id, int code);
    bool OnSysCommand(uintptr_t command);
    // The window is going: the logic's OnDestroy, then no timer or posted
    // work runs any more. Runs once.
    void Destroy();
    bool AllowClose();
    void UpdateShown();
    void Command(int id);
    // Adds the tray icon, or brings the shell's copy up to date.
    void UpdateTrayIcon();
    void RemoveTrayIcon();
    void ShowTrayMenu();
    void PaintPreview(HDC__* dc);
    // Marks an Alt-key accelerator in each labelled control's and button's
    // text, no key twice, whatever the language.
    void AssignAccelerators();

    app::IDialogLogic& m_logic;
    HWND__* m_hWnd = nullptr;
    HICON__* m_hIcon = nullptr;
    std::unique_ptr<CWin32HyperLink> m_pLink;
    std::function<app::AboutTexts()> m_aboutSource;
    app::ButtonTexts m_buttonTexts;
    std::set<uint32_t> m_timers;
    bool m_bOpened = false;    // the logic's OnInitDialog has run
    bool m_bShown = false;     // the window has been on the screen
    bool m_bOnScreen = false;  // as the logic was last told
    bool m_bAboutItem = false; // the system menu holds the About item
    int m_nSettingText = 0;    // the host, not the user, is changing an edit's text
    std::map<int, std::u16string> m_plainTexts;  // texts given to controls with accelerators

    std::u16string m_strTrayTip;  // empty: no tray icon wanted
    std::u16string m_strTrayStatus;
    bool m_bTrayShown = false;
    std::vector<TrayMenuItem> m_trayMenu;
    std::vector<std::u16string> m_notifications;
    unsigned int m_nTaskbarCreated = 0;  // the shell's message when it (re)starts

    std::unique_ptr<PreviewPicture> m_pPreview;
    int m_nPreviewPictures = 0;

    std::atomic<bool> m_bDestroyed{false};
    // Work posted by other threads; one window message wakes the window's
    // thread for everything posted until it runs.
    app::CWindowPosts m_posts;
};

}  // namespace app::win32
