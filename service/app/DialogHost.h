#pragma once
// How the main window's logic reaches the screen. The logic (CServiceDlg and
// the dialogs it opens) is written against this port and knows no toolkit;
// a host renders it: the Qt window, or the console host of the headless mode.
//
// Threads: every call is made on the window's thread, except PostToWindow,
// which any thread may call and which never waits for the window's thread.

#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <string>
#include <vector>

#include "service/app/LinkFailure.h"
#include "service/video/Preview.h"

namespace app {

// Message-box buttons and results, as the window logic asks and reads them.
enum class MessageBoxKind { Ok, OkCancel, YesNo };
enum class MessageBoxResult { Ok, Cancel, Yes, No };

// The words on those buttons (and on the About box's), in the window's language.
struct ButtonTexts {
    std::u16string strOk = u"OK";
    std::u16string strCancel = u"Cancel";
    std::u16string strYes = u"Yes";
    std::u16string strNo = u"No";
};

class IDialogHost {
public:
    // Controls by their dialog ids.
    virtual void SetControlText(int id, const std::u16string& text) = 0;
    virtual std::u16string GetControlText(int id) const = 0;
    virtual void EnableControl(int id, bool enable) = 0;
    virtual bool IsControlEnabled(int id) const = 0;
    virtual void ShowControl(int id, bool show) = 0;
    virtual bool IsControlVisible(int id) const = 0;
    // The most characters the user may type into the edit `id` (text set by
    // the logic may be longer). A host without typing may ignore it.
    virtual void SetTextLimit(int id, int maxChars) {
        (void)id;
        (void)maxChars;
    }
    // What the edit `id` accepts, said where it refuses what is typed or
    // pasted into it (a refused paste is refused whole, never cut).
    virtual void SetInputRule(int id, const std::u16string& text) = 0;
    // Check boxes, radio buttons and the toggle button (pushed = checked).
    virtual void SetCheck(int id, bool checked) = 0;
    virtual bool GetCheck(int id) const = 0;

    // Drop-down lists. A sorted list inserts in order (case ignored) and
    // returns the new item's index; an unsorted list appends.
    virtual int ComboAddString(int id, const std::u16string& text) = 0;
    virtual void ComboResetContent(int id) = 0;
    virtual int ComboGetCount(int id) const = 0;
    virtual std::u16string ComboGetItemText(int id, int index) const = 0;
    virtual int ComboGetCurSel(int id) const = 0;  // -1 when nothing is selected
    virtual void ComboSetCurSel(int id, int index) = 0;  // -1 clears the selection
    // (Selecting by prefix, case ignored, after a given index with wrap-round,
    // is window logic written once over these calls, not a host operation.)

    // A modal message box; returns what the user chose. The console host
    // answers Ok (or Yes) at once.
    virtual MessageBoxResult MessageBox(const std::u16string& text, const std::u16string& caption,
                                        MessageBoxKind kind) = 0;

    // Window timers: SetTimer returns the timer's identifier (non-zero) or 0
    // when it cannot be started; each period calls the window's OnTimer(id)
    // on the window's thread until KillTimer.
    virtual uint32_t SetTimer(uint32_t id, uint32_t periodMs) = 0;
    virtual void KillTimer(uint32_t id) = 0;

    // Runs `work` on the window's thread soon; never waits. Work posted after
    // the window has closed is dropped.
    virtual void PostToWindow(std::function<void()> work) = 0;

    // The window's title, the system menu's About item, the tray icon's
    // tooltip (an empty tooltip removes the tray icon).
    virtual void SetWindowTitle(const std::u16string& title) = 0;
    // The window's top left corner on the desktop; a host that cannot tell
    // (or a place no screen shows) gives none, and ignores a move there.
    virtual std::optional<std::pair<int, int>> GetWindowPosition() const = 0;
    virtual void SetWindowPosition(int x, int y) = 0;
    virtual void SetAboutMenuText(const std::u16string& text) = 0;
    virtual void SetTrayTip(const std::u16string& tip) = 0;

    // The tray icon's menu, in order; choosing an item arrives as
    // OnCommand(nCommand). Shown only while the tray icon is.
    struct TrayMenuItem {
        int nCommand = 0;
        std::u16string strText;
    };
    virtual void SetTrayMenu(const std::vector<TrayMenuItem>& items) = 0;
    // A line the tray icon's tooltip shows under its tip (the service's
    // state at a glance); empty: the tip alone.
    virtual void SetTrayStatus(const std::u16string& line) = 0;
    // A desktop notification from the tray icon (nothing without one).
    virtual void ShowNotification(const std::u16string& title, const std::u16string& text) = 0;
    // Shows the window normally and brings it to the front.
    virtual void ShowWindow() = 0;

    // The live preview (kIdcPreview): a picture, or a note in its place
    // when there is none to show.
    virtual void ShowPreview(const video::PreviewFrame& frame) = 0;
    virtual void ShowPreviewNote(const std::u16string& text) = 0;

    // What the window's link says when its address does not open.
    virtual void SetLinkFailureTexts(const LinkFailureTexts& texts) = 0;
    // The words on message-box buttons from now on.
    virtual void SetButtonTexts(const ButtonTexts& texts) = 0;

    // Opens the About box modally (the console host has none and returns).
    virtual void ShowAboutBox() = 0;

    // Ends the window's run (the close button, or the end of the headless
    // mode); the logic's OnDestroy runs before the host returns from its loop.
    virtual void CloseWindow() = 0;

protected:
    ~IDialogHost() = default;
};

// What a host tells the window logic, always on the window's thread.
class IDialogLogic {
public:
    // Once, after every control exists and before the window is shown.
    virtual void OnInitDialog() = 0;
    // A button was clicked, a radio chosen, a drop-down list's selection
    // changed or an edit's text edited (by the user); `id` is the control's id. The system menu's
    // About item arrives as kAboutMenuCommand.
    virtual void OnCommand(int id) = 0;
    // A timer started with SetTimer fired.
    virtual void OnTimer(uint32_t id) = 0;
    // The window came on the screen (true), or left it: hidden into the
    // tray, minimised or closed.
    virtual void OnShown(bool shown) = 0;
    // The user asks to close the window (its close button); false keeps it open.
    virtual bool OnCloseRequest() = 0;
    // Once, as the window goes (close button, CloseWindow, or the end of the
    // headless run); the host then stops running timers and posted work.
    virtual void OnDestroy() = 0;

protected:
    ~IDialogLogic() = default;
};

// The system menu's About item, as a command.
inline constexpr int kAboutMenuCommand = 0x0010;
// The tray menu's items, as commands (clear of the control ids).
inline constexpr int kTrayShowCommand = 0x8001;
inline constexpr int kTrayConnectCommand = 0x8002;
inline constexpr int kTrayQuitCommand = 0x8003;

}  // namespace app
