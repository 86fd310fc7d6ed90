#include "service/app/win32/Win32DialogHost.h"

#include "service/app/win32/Win32Api.h"

#include <algorithm>
#include <map>

#include "platform/Text.h"
#include "service/app/DialogIds.h"
#include "service/app/MakerInfo.h"
#include "service/app/TrayIcon.h"
#include "service/app/win32/DialogResource.h"
#include "service/app/win32/Win32HyperLink.h"
#include "service/app/win32/Win32InputLimit.h"
#include "service/app/win32/Win32MessageBox.h"
#include "service/app/win32/Win32Text.h"
#include "service/video/Preview.h"
#include "wire/Sealing.h"

namespace app::win32 {

// The resource script cannot read C++; its numbers must be the window's.
static_assert(IDC_LANGUAGE == kIdcLanguage && IDC_DID == kIdcDid && IDC_ABOUT == kIdcAbout &&
              IDC_PASSWORD == kIdcPassword && IDC_HIGH_QUALITY == kIdcHighQuality &&
              IDC_NORMAL_QUALITY == kIdcNormalQuality && IDC_CONNECT == kIdcConnect && IDC_CLOCK == kIdcClock &&
              IDC_ONLINE == kIdcOnline && IDC_STATUS == kIdcStatus && IDC_LANGUAGE_LABEL == kIdcLanguageLabel &&
              IDC_QUALITY_GROUP == kIdcQualityGroup && IDC_CODE_GROUP == kIdcCodeGroup &&
              IDC_NETWORK_GROUP == kIdcNetworkGroup && IDC_CLOCK_LABEL == kIdcClockLabel &&
              IDC_ONLINE_LABEL == kIdcOnlineLabel && IDC_STATUS_LABEL == kIdcStatusLabel &&
              IDC_DID_LABEL == kIdcDidLabel && IDC_PASSWORD_LABEL == kIdcPasswordLabel &&
              IDC_ACCOUNT_LINK == kIdcAccountLink && IDC_CAMERA == kIdcCamera &&
              IDC_CAMERA_LABEL == kIdcCameraLabel && IDC_PASSWORD_WARNING == kIdcPasswordWarning &&
              IDC_START_AT_LOGIN == kIdcStartAtLogin && IDC_RESUME == kIdcResume && IDC_PREVIEW == kIdcPreview);
static_assert(IDC_ABOUT_VERSION == kIdAboutVersion && IDC_ABOUT_API_VERSION == kIdAboutApiVersion &&
              IDC_ABOUT_LEGAL == kIdAboutLegal && IDC_ABOUT_ICON == kIdAboutIcon &&
              IDC_ABOUT_LICENCES == kIdAboutLicences);

struct PreviewPicture {
    int nWidth = 0;
    int nHeight = 0;
    std::vector<uint32_t> pixels;  // 0x00RRGGBB, rows top to bottom
    std::u16string strNote = u"No picture";
};

namespace {

// Work that other threads posted is waiting.
constexpr UINT kPostedWorkMessage = WM_APP + 1;
constexpr UINT_PTR kPreviewSubclassId = 0x5A50;
constexpr COLORREF kWarningColour = RGB(0x9a, 0x3b, 0x00);
constexpr COLORREF kPreviewBackground = RGB(0x20, 0x20, 0x20);
constexpr COLORREF kPreviewText = RGB(0xe0, 0xe0, 0xe0);
// The tray tooltip's room, its last unit ending the text.
constexpr size_t kTrayTipUnits = 127;

HINSTANCE ProgramModule() { return ::GetModuleHandleW(nullptr); }

std::u16string ClassOf(HWND control) {
    wchar_t name[32] = {};
    const int n = ::GetClassNameW(control, name, 32);
    return U(name, static_cast<size_t>(n > 0 ? n : 0));
}

bool IsClass(HWND control, const char16_t* name) {
    return control && platform::EqualsIgnoreCase(ClassOf(control), name);
}

// Whether the control's text marks a keyboard accelerator with '&'.
bool ShowsPrefix(HWND control) {
    if (IsClass(control, u"Button")) return true;
    return IsClass(control, u"Static") && !(::GetWindowLongPtrW(control, GWL_STYLE) & SS_NOPREFIX);
}

std::u16string DoubledAmpersands(const std::u16string& text) {
    std::u16string out;
    for (char16_t c : text) {
        if (c == u'&') out += u'&';
        out += c;
    }
    return out;
}

// The controls that get Alt-key accelerators, the most used first (a label
// takes the keyboard to the control after it).
constexpr int kAcceleratorOrder[] = {kIdcConnect,       kIdcDidLabel, kIdcPasswordLabel, kIdcCameraLabel,
                                     kIdcLanguageLabel, kIdcAbout,    kIdcStartAtLogin,  kIdcResume};

// `plain` with '&' before its first letter or digit whose key is not yet
// `used`, and any '&' of its own doubled so that it shows as itself.
std::u16string MarkAccelerator(const std::u16string& plain, std::set<char16_t>& used) {
    std::u16string shown;
    bool marked = false;
    for (char16_t c : plain) {
        const auto wide = static_cast<wchar_t>(c);
        if (!marked && ::IsCharAlphaNumericW(wide)) {
            wchar_t key[2] = {wide, L'\0'};
            ::CharLowerBuffW(key, 1);
            if (used.insert(static_cast<char16_t>(key[0])).second) {
                shown += u'&';
                marked = true;
            }
        }
        if (c == u'&') shown += u'&';
        shown += c;
    }
    return shown;
}

// `text` cut to `units` UTF-16 units without splitting a character.
std::u16string CutTo(std::u16string text, size_t units) {
    if (text.size() <= units) return text;
    text.resize(units);
    if (!text.empty() && text.back() >= 0xD800 && text.back() <= 0xDBFF) text.pop_back();
    return text;
}

template <size_t N>
void CopyInto(wchar_t (&field)[N], const std::u16string& text) {
    const std::u16string cut = CutTo(text, N - 1);
    std::copy(cut.begin(), cut.end(), reinterpret_cast<char16_t*>(field));
    field[cut.size()] = L'\0';
}

// Escape and Return end a dialog in the system's dialog manager; this window
// ends only through its close button, so the two keys do nothing in it.
thread_local HHOOK t_keyGuard = nullptr;
thread_local std::vector<HWND> t_guarded;

LRESULT CALLBACK GuardKeys(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION && wParam == PM_REMOVE) {
        auto& msg = *reinterpret_cast<MSG*>(lParam);
        if (msg.message == WM_KEYDOWN && (msg.wParam == VK_ESCAPE || msg.wParam == VK_RETURN)) {
            for (HWND window : t_guarded) {
                if (msg.hwnd == window || ::IsChild(window, msg.hwnd)) {
                    msg.message = WM_NULL;
                    break;
                }
            }
        }
    }
    return ::CallNextHookEx(t_keyGuard, code, wParam, lParam);
}

void Guard(HWND window) {
    if (t_guarded.empty()) t_keyGuard = ::SetWindowsHookExW(WH_GETMESSAGE, GuardKeys, nullptr, ::GetCurrentThreadId());
    t_guarded.push_back(window);
}

void Unguard(HWND window) {
    t_guarded.erase(std::remove(t_guarded.begin(), t_guarded.end(), window), t_guarded.end());
    if (t_guarded.empty() && t_keyGuard) {
        ::UnhookWindowsHookEx(t_keyGuard);
        t_keyGuard = nullptr;
    }
}

struct AboutBox {
    AboutTexts texts;
    std::u16string strOk;
    HICON hIcon = nullptr;
};

INT_PTR CALLBACK AboutProc(HWND box, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            const auto& about = *reinterpret_cast<const AboutBox*>(lParam);
            ::SetWindowTextW(box, W(about.texts.strTitle));
            ::SetDlgItemTextW(box, kIdAboutVersion, W(about.texts.strVersion));
            ::SetDlgItemTextW(box, kIdAboutApiVersion, W(about.texts.strApiVersion));
            ::SetDlgItemTextW(box, kIdAboutLegal, W(about.texts.strLegal));
            ::SetDlgItemTextW(box, kIdAboutLicences, W(WithCrLf(about.texts.strLicences)));
            ::SetDlgItemTextW(box, IDOK, W(about.strOk));
            ::SendDlgItemMessageW(box, kIdAboutIcon, STM_SETICON, reinterpret_cast<WPARAM>(about.hIcon), 0);
            return TRUE;
        }
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                ::EndDialog(box, LOWORD(wParam));
                return TRUE;
            }
            return FALSE;
        case WM_CLOSE:
            ::EndDialog(box, IDCANCEL);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

CWin32DialogHost::CWin32DialogHost(app::IDialogLogic& logic)
    : m_logic(logic), m_pLink(std::make_unique<CWin32HyperLink>(m_buttonTexts)),
      m_pPreview(std::make_unique<PreviewPicture>()),
      // A full message queue refuses the wake-up; the next post tries again.
      m_posts([this] { return ::PostMessageW(m_hWnd, kPostedWorkMessage, 0, 0) != FALSE; }) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
    ::InitCommonControlsEx(&controls);
    m_hIcon = static_cast<HICON>(::LoadImageW(ProgramModule(), MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON, 0, 0,
                                              LR_DEFAULTSIZE | LR_SHARED));
    if (!m_hIcon) m_hIcon = ::LoadIconW(nullptr, MAKEINTRESOURCEW(32512));  // the system's application icon
    m_nTaskbarCreated = ::RegisterWindowMessageW(L"TaskbarCreated");
    ::CreateDialogParamW(ProgramModule(), MAKEINTRESOURCEW(IDD_SERVICE_DIALOG), nullptr, DialogProc,
                         reinterpret_cast<LPARAM>(this));
    if (!m_hWnd) return;
    Guard(m_hWnd);
    ::SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    ::SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
    ::CheckDlgButton(m_hWnd, kIdcHighQuality, BST_CHECKED);

    // The password box takes what the password buffer holds (its last byte
    // ends the text) and scrolls; more is refused where it is typed.
    constexpr int kPasswordBytes = static_cast<int>(wire::kPasswordBufferSize) - 1;
    SetInputLimit(Control(kIdcPassword), {InputLimit::Measure::kUtf8Bytes, kPasswordBytes});
    SetInputRuleText(Control(kIdcPassword),
                     platform::Utf8ToUtf16("The password holds at most " + std::to_string(kPasswordBytes) + " bytes: " +
                                           std::to_string(kPasswordBytes) +
                                           " letters A to Z or digits, fewer of other scripts. "
                                           "This character does not fit."));

    for (int id : kAcceleratorOrder) m_plainTexts[id] = WindowText(Control(id));
    AssignAccelerators();

    ::SetWindowSubclass(Control(kIdcPreview), PreviewProc, kPreviewSubclassId, reinterpret_cast<DWORD_PTR>(this));
    m_pLink->Attach(Control(kIdcAccountLink));
    m_pLink->Link().SetColours(0, 0, app::kHighlightColour);
    m_pLink->Link().SetURL(platform::Utf8ToUtf16(kMakerWebAddress));
}

CWin32DialogHost::~CWin32DialogHost() {
    Destroy();
    if (m_hWnd) {
        Unguard(m_hWnd);
        ::DestroyWindow(m_hWnd);
    }
}

HWND CWin32DialogHost::Control(int id) const { return m_hWnd ? ::GetDlgItem(m_hWnd, id) : nullptr; }

void CWin32DialogHost::Open() {
    if (!m_hWnd || m_bDestroyed) return;
    m_bOpened = true;
    m_logic.OnInitDialog();
    if (m_bDestroyed) return;
    ::ShowWindow(m_hWnd, SW_SHOW);
    ::UpdateWindow(m_hWnd);
    m_bShown = true;
    UpdateShown();
}

void CWin32DialogHost::Run() {
    Open();
    MSG msg;
    while (!m_bDestroyed && ::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (::IsDialogMessageW(m_hWnd, &msg)) continue;
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
}

INT_PTR CALLBACK CWin32DialogHost::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* self = reinterpret_cast<CWin32DialogHost*>(lParam);
        ::SetWindowLongPtrW(window, DWLP_USER, lParam);
        self->m_hWnd = window;
        return TRUE;
    }
    auto* self = reinterpret_cast<CWin32DialogHost*>(::GetWindowLongPtrW(window, DWLP_USER));
    return self ? self->OnMessage(message, wParam, lParam) : FALSE;
}

INT_PTR CWin32DialogHost::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            OnControlCommand(LOWORD(wParam), HIWORD(wParam));
            return TRUE;
        case WM_SYSCOMMAND:
            if (!OnSysCommand(wParam)) return FALSE;
            ::SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, 0);
            return TRUE;
        case WM_TIMER:
            if (!m_bDestroyed && m_timers.count(static_cast<uint32_t>(wParam)))
                m_logic.OnTimer(static_cast<uint32_t>(wParam));
            return TRUE;
        case WM_CLOSE:
            if (AllowClose()) Destroy();
            return TRUE;
        case WM_WINDOWPOSCHANGED:
            UpdateShown();
            return FALSE;
        case WM_QUERYDRAGICON:
            return reinterpret_cast<INT_PTR>(m_hIcon);
        case WM_CTLCOLORSTATIC:
            if (reinterpret_cast<HWND>(lParam) == Control(kIdcPasswordWarning)) {
                const auto dc = reinterpret_cast<HDC>(wParam);
                ::SetTextColor(dc, kWarningColour);
                ::SetBkMode(dc, TRANSPARENT);
                return reinterpret_cast<INT_PTR>(::GetSysColorBrush(COLOR_BTNFACE));
            }
            return FALSE;
        case kPostedWorkMessage:
            m_posts.RunPosted();
            return TRUE;
        case app::kTrayNotifyMessage:
            OnTrayNotify(wParam, lParam);
            return TRUE;
        default:
            if (message == m_nTaskbarCreated && m_nTaskbarCreated != 0) {
                // The shell started again and lost our icon.
                m_bTrayShown = false;
                if (!m_strTrayTip.empty() && !m_bDestroyed) UpdateTrayIcon();
                return TRUE;
            }
            return FALSE;
    }
}

void CWin32DialogHost::OnControlCommand(int id, int code) {
    // IDOK and IDCANCEL are the dialog manager's Return and Escape: nothing.
    if (id == IDOK || id == IDCANCEL) return;
    HWND control = Control(id);
    if (!control) return;
    if (id == kIdcAccountLink) {
        if (code != STN_CLICKED) return;
        // The window hears of the click before the link follows it.
        Command(id);
        if (!m_bDestroyed) m_pLink->Link().OnClicked();
        return;
    }
    if (IsClass(control, u"Button")) {
        if (code == BN_CLICKED) Command(id);
    } else if (IsClass(control, u"ComboBox")) {
        if (code == CBN_SELCHANGE) Command(id);
    } else if (IsClass(control, u"Edit")) {
        if (code == EN_CHANGE && m_nSettingText == 0) Command(id);
    }
}

bool CWin32DialogHost::OnSysCommand(WPARAM command) {
    const WPARAM which = command & 0xFFF0;
    if (which == static_cast<WPARAM>(app::kAboutMenuCommand)) {
        Command(app::kAboutMenuCommand);
        return true;
    }
    if (which == SC_MINIMIZE) {
        // Hidden, the window comes back only through the tray icon; without
        // one it stays an ordinary minimised window.
        if (!m_bTrayShown) return false;
        ::ShowWindow(m_hWnd, SW_HIDE);
        return true;
    }
    if (which == SC_MAXIMIZE) {
        // The window has one size; a maximise shows it normally.
        ::ShowWindow(m_hWnd, SW_SHOWNORMAL);
        return true;
    }
    return false;
}

void CWin32DialogHost::Destroy() {
    if (m_bDestroyed.exchange(true)) return;
    if (m_bOpened) m_logic.OnDestroy();
    m_posts.Close();
    if (m_hWnd) {
        for (uint32_t id : m_timers) ::KillTimer(m_hWnd, id);
        RemoveTrayIcon();
        ::ShowWindow(m_hWnd, SW_HIDE);
    }
    m_timers.clear();
}

bool CWin32DialogHost::AllowClose() { return m_bDestroyed || !m_bOpened || m_logic.OnCloseRequest(); }

void CWin32DialogHost::Command(int id) {
    if (!m_bDestroyed) m_logic.OnCommand(id);
}

void CWin32DialogHost::UpdateShown() {
    if (m_bDestroyed || !m_hWnd) return;
    const bool shown = m_bOpened && ::IsWindowVisible(m_hWnd) && !::IsIconic(m_hWnd);
    if (shown == m_bOnScreen) return;
    m_bOnScreen = shown;
    m_logic.OnShown(shown);
}

void CWin32DialogHost::PostToWindow(std::function<void()> work) {
    if (m_hWnd) m_posts.Post(std::move(work));
}

uint32_t CWin32DialogHost::SetTimer(uint32_t id, uint32_t periodMs) {
    if (id == 0 || m_bDestroyed || !m_hWnd) return 0;
    if (::SetTimer(m_hWnd, id, std::max<UINT>(periodMs, USER_TIMER_MINIMUM), nullptr) == 0) return 0;
    m_timers.insert(id);
    return id;
}

void CWin32DialogHost::KillTimer(uint32_t id) {
    if (m_timers.erase(id) && m_hWnd) ::KillTimer(m_hWnd, id);
}

void CWin32DialogHost::AssignAccelerators() {
    std::set<char16_t> used;
    for (int id : kAcceleratorOrder) {
        if (HWND control = Control(id)) ::SetWindowTextW(control, W(MarkAccelerator(m_plainTexts[id], used)));
    }
}

void CWin32DialogHost::SetControlText(int id, const std::u16string& text) {
    HWND control = Control(id);
    if (!control) return;
    if (const auto plain = m_plainTexts.find(id); plain != m_plainTexts.end()) {
        // Every accelerator may move when one text changes.
        plain->second = text;
        AssignAccelerators();
    } else if (id == kIdcAccountLink) {
        m_pLink->Link().SetLinkText(text);
    } else if (IsClass(control, u"Edit")) {
        ++m_nSettingText;
        ::SetWindowTextW(control, W(text));
        --m_nSettingText;
    } else {
        ::SetWindowTextW(control, W(ShowsPrefix(control) ? DoubledAmpersands(text) : text));
    }
}

std::u16string CWin32DialogHost::GetControlText(int id) const {
    HWND control = Control(id);
    if (!control) return {};
    if (IsClass(control, u"ComboBox")) {
        const int selected = ComboGetCurSel(id);
        return selected < 0 ? std::u16string() : ComboGetItemText(id, selected);
    }
    if (const auto plain = m_plainTexts.find(id); plain != m_plainTexts.end()) return plain->second;
    std::u16string text = WindowText(control);
    if (id != kIdcAccountLink && ShowsPrefix(control)) {
        // The text as it was given: "&&" shows one '&', a lone '&' marks a key.
        std::u16string plain;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == u'&' && i + 1 < text.size()) ++i;
            plain += text[i];
        }
        text = plain;
    }
    return text;
}

void CWin32DialogHost::EnableControl(int id, bool enable) {
    if (HWND control = Control(id)) ::EnableWindow(control, enable ? TRUE : FALSE);
}

bool CWin32DialogHost::IsControlEnabled(int id) const {
    HWND control = Control(id);
    return control && ::IsWindowEnabled(control);
}

void CWin32DialogHost::ShowControl(int id, bool show) {
    if (HWND control = Control(id)) ::ShowWindow(control, show ? SW_SHOW : SW_HIDE);
}

bool CWin32DialogHost::IsControlVisible(int id) const {
    HWND control = Control(id);
    return control && (::GetWindowLongPtrW(control, GWL_STYLE) & WS_VISIBLE);
}

void CWin32DialogHost::SetTextLimit(int id, int maxChars) {
    if (HWND control = Control(id); control && IsClass(control, u"Edit"))
        SetInputLimit(control, {maxChars > 0 ? InputLimit::Measure::kCharacters : InputLimit::Measure::kNone, maxChars});
}

void CWin32DialogHost::SetInputRule(int id, const std::u16string& text) {
    if (HWND control = Control(id); control && IsClass(control, u"Edit")) SetInputRuleText(control, text);
}

void CWin32DialogHost::SetCheck(int id, bool checked) {
    if (HWND control = Control(id)) ::SendMessageW(control, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

bool CWin32DialogHost::GetCheck(int id) const {
    HWND control = Control(id);
    return control && ::SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

int CWin32DialogHost::ComboAddString(int id, const std::u16string& text) {
    HWND control = Control(id);
    if (!control) return -1;
    const LRESULT at = ::SendMessageW(control, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(W(text)));
    return at < 0 ? -1 : static_cast<int>(at);
}

void CWin32DialogHost::ComboResetContent(int id) {
    if (HWND control = Control(id)) ::SendMessageW(control, CB_RESETCONTENT, 0, 0);
}

int CWin32DialogHost::ComboGetCount(int id) const {
    HWND control = Control(id);
    const LRESULT count = control ? ::SendMessageW(control, CB_GETCOUNT, 0, 0) : 0;
    return count < 0 ? 0 : static_cast<int>(count);
}

std::u16string CWin32DialogHost::ComboGetItemText(int id, int index) const {
    HWND control = Control(id);
    if (!control || index < 0 || index >= ComboGetCount(id)) return {};
    const LRESULT length = ::SendMessageW(control, CB_GETLBTEXTLEN, index, 0);
    if (length <= 0) return {};
    std::wstring buffer(static_cast<size_t>(length) + 1, L'\0');
    const LRESULT got = ::SendMessageW(control, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(buffer.data()));
    return got < 0 ? std::u16string() : U(buffer.data(), static_cast<size_t>(got));
}

int CWin32DialogHost::ComboGetCurSel(int id) const {
    HWND control = Control(id);
    const LRESULT selected = control ? ::SendMessageW(control, CB_GETCURSEL, 0, 0) : CB_ERR;
    return selected < 0 ? -1 : static_cast<int>(selected);
}

void CWin32DialogHost::ComboSetCurSel(int id, int index) {
    HWND control = Control(id);
    if (!control) return;
    ::SendMessageW(control, CB_SETCURSEL, index >= 0 && index < ComboGetCount(id) ? index : -1, 0);
}

app::MessageBoxResult CWin32DialogHost::MessageBox(const std::u16string& text, const std::u16string& caption,
                                                   app::MessageBoxKind kind) {
    UINT flags = MB_ICONINFORMATION | MB_OK;
    if (kind == app::MessageBoxKind::OkCancel) flags = MB_ICONINFORMATION | MB_OKCANCEL;
    if (kind == app::MessageBoxKind::YesNo) flags = MB_ICONINFORMATION | MB_YESNO;
    HWND owner = m_hWnd && ::IsWindowVisible(m_hWnd) ? m_hWnd : nullptr;
    if (!owner) flags |= MB_TASKMODAL;
    const int chosen = ShowMessageBox(owner, text, caption.empty() ? std::u16string(kAppName) : caption, flags,
                                      m_buttonTexts);
    switch (chosen) {
        case IDCANCEL: return app::MessageBoxResult::Cancel;
        case IDYES: return app::MessageBoxResult::Yes;
        case IDNO: return app::MessageBoxResult::No;
        default: return kind == app::MessageBoxKind::YesNo ? app::MessageBoxResult::No : app::MessageBoxResult::Ok;
    }
}

void CWin32DialogHost::SetWindowTitle(const std::u16string& title) {
    if (m_hWnd) ::SetWindowTextW(m_hWnd, W(title));
}

std::optional<std::pair<int, int>> CWin32DialogHost::GetWindowPosition() const {
    // A window never shown has no place of its own yet; it must not
    // overwrite the one stored.
    if (!m_bShown || !m_hWnd) return std::nullopt;
    RECT frame{};
    if (!::GetWindowRect(m_hWnd, &frame)) return std::nullopt;
    if (!::MonitorFromPoint(POINT{frame.left, frame.top}, MONITOR_DEFAULTTONULL)) return std::nullopt;
    return std::make_pair(static_cast<int>(frame.left), static_cast<int>(frame.top));
}

void CWin32DialogHost::SetWindowPosition(int x, int y) {
    // A monitor that has gone since must not leave the window out of sight:
    // the system's place stays. On a monitor that has shrunk, the whole
    // window is kept on it.
    if (!m_hWnd) return;
    HMONITOR monitor = ::MonitorFromPoint(POINT{x, y}, MONITOR_DEFAULTTONULL);
    MONITORINFO info{};
    info.cbSize = sizeof info;
    if (!monitor || !::GetMonitorInfoW(monitor, &info)) return;
    RECT frame{};
    ::GetWindowRect(m_hWnd, &frame);
    const RECT& room = info.rcWork;
    const int width = frame.right - frame.left, height = frame.bottom - frame.top;
    x = std::clamp<int>(x, room.left, std::max<int>(room.left, room.right - width));
    y = std::clamp<int>(y, room.top, std::max<int>(room.top, room.bottom - height));
    ::SetWindowPos(m_hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CWin32DialogHost::SetAboutMenuText(const std::u16string& text) {
    HMENU menu = m_hWnd ? ::GetSystemMenu(m_hWnd, FALSE) : nullptr;
    if (!menu) return;
    const auto command = static_cast<UINT_PTR>(app::kAboutMenuCommand);
    if (text.empty()) {
        if (!m_bAboutItem) return;
        ::DeleteMenu(menu, static_cast<UINT>(command), MF_BYCOMMAND);
        const int last = ::GetMenuItemCount(menu) - 1;
        if (last >= 0 && (::GetMenuState(menu, last, MF_BYPOSITION) & MF_SEPARATOR)) ::DeleteMenu(menu, last, MF_BYPOSITION);
        m_bAboutItem = false;
    } else if (!m_bAboutItem) {
        ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        ::AppendMenuW(menu, MF_STRING, command, W(text));
        m_bAboutItem = true;
    } else {
        ::ModifyMenuW(menu, static_cast<UINT>(command), MF_BYCOMMAND | MF_STRING, command, W(text));
    }
}

std::u16string CWin32DialogHost::TrayToolTip() const {
    return CutTo(m_strTrayStatus.empty() ? m_strTrayTip : m_strTrayTip + u'\n' + m_strTrayStatus, kTrayTipUnits);
}

void CWin32DialogHost::UpdateTrayIcon() {
    if (!m_hWnd) return;
    NOTIFYICONDATAW record{};
    record.cbSize = sizeof record;
    record.hWnd = m_hWnd;
    record.uID = app::kTrayIconId;
    record.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    record.uCallbackMessage = app::kTrayNotifyMessage;
    record.hIcon = m_hIcon;
    CopyInto(record.szTip, TrayToolTip());
    if (m_bTrayShown) {
        ::Shell_NotifyIconW(NIM_MODIFY, &record);
    } else {
        m_bTrayShown = ::Shell_NotifyIconW(NIM_ADD, &record) != FALSE;
    }
}

void CWin32DialogHost::RemoveTrayIcon() {
    if (!m_bTrayShown) return;
    NOTIFYICONDATAW record{};
    record.cbSize = sizeof record;
    record.hWnd = m_hWnd;
    record.uID = app::kTrayIconId;
    ::Shell_NotifyIconW(NIM_DELETE, &record);
    m_bTrayShown = false;
}

void CWin32DialogHost::SetTrayTip(const std::u16string& tip) {
    m_strTrayTip = tip;
    if (tip.empty()) {
        RemoveTrayIcon();
        // A hidden window must not be left without a way back.
        if (m_hWnd && !m_bDestroyed && m_bShown && !::IsWindowVisible(m_hWnd)) ::ShowWindow(m_hWnd, SW_SHOWMINNOACTIVE);
        return;
    }
    if (!m_bDestroyed) UpdateTrayIcon();
}

void CWin32DialogHost::SetTrayStatus(const std::u16string& line) {
    m_strTrayStatus = line;
    if (!m_strTrayTip.empty() && m_bTrayShown) UpdateTrayIcon();
}

void CWin32DialogHost::SetTrayMenu(const std::vector<TrayMenuItem>& items) { m_trayMenu = items; }

HMENU CWin32DialogHost::BuildTrayMenu() const {
    HMENU menu = ::CreatePopupMenu();
    if (!menu) return nullptr;
    for (const TrayMenuItem& item : m_trayMenu)
        ::AppendMenuW(menu, MF_STRING, static_cast<UINT_PTR>(item.nCommand), W(item.strText));
    ::SetMenuDefaultItem(menu, app::kTrayShowCommand, FALSE);
    return menu;
}

void CWin32DialogHost::ShowTrayMenu() {
    HMENU menu = BuildTrayMenu();
    if (!menu) return;
    POINT at{};
    ::GetCursorPos(&at);
    // The menu closes when the user clicks elsewhere only if the window is
    // in front, and the message after it lets the shell take the focus back.
    ::SetForegroundWindow(m_hWnd);
    const int chosen = static_cast<int>(
        ::TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, at.x, at.y, 0, m_hWnd, nullptr));
    ::PostMessageW(m_hWnd, WM_NULL, 0, 0);
    ::DestroyMenu(menu);
    if (chosen != 0) Command(chosen);
}

void CWin32DialogHost::OnTrayNotify(uintptr_t wParam, intptr_t lParam) {
    if (wParam != app::kTrayIconId || m_bDestroyed) return;
    switch (LOWORD(lParam)) {
        case WM_LBUTTONDOWN:
            ShowWindow();
            break;
        case WM_RBUTTONUP:
        case WM_CONTEXTMENU:
            if (!m_trayMenu.empty()) ShowTrayMenu();
            break;
        default:
            break;
    }
}

void CWin32DialogHost::ShowNotification(const std::u16string& title, const std::u16string& text) {
    if (m_strTrayTip.empty() || m_bDestroyed) return;
    m_notifications.push_back(title + u'|' + text);
    // Only where the shell shows our icon; elsewhere the window says it already.
    if (!m_bTrayShown) return;
    NOTIFYICONDATAW record{};
    record.cbSize = sizeof record;
    record.hWnd = m_hWnd;
    record.uID = app::kTrayIconId;
    record.uFlags = NIF_INFO;
    record.dwInfoFlags = NIIF_INFO;
    CopyInto(record.szInfoTitle, title);
    CopyInto(record.szInfo, text);
    ::Shell_NotifyIconW(NIM_MODIFY, &record);
}

void CWin32DialogHost::ShowWindow() {
    if (m_bDestroyed || !m_hWnd) return;
    ::ShowWindow(m_hWnd, SW_SHOWNORMAL);
    ::SetForegroundWindow(m_hWnd);
    m_bShown = true;
}

void CWin32DialogHost::ShowPreview(const video::PreviewFrame& frame) {
    if (frame.nWidth <= 0 || frame.nHeight <= 0 ||
        frame.rgb.size() != static_cast<size_t>(frame.nWidth) * frame.nHeight * 3)
        return;
    PreviewPicture& picture = *m_pPreview;
    picture.nWidth = frame.nWidth;
    picture.nHeight = frame.nHeight;
    picture.pixels.resize(static_cast<size_t>(frame.nWidth) * frame.nHeight);
    for (size_t i = 0; i < picture.pixels.size(); ++i) {
        const uint8_t* rgb = &frame.rgb[i * 3];
        picture.pixels[i] = (uint32_t(rgb[0]) << 16) | (uint32_t(rgb[1]) << 8) | rgb[2];
    }
    picture.strNote.clear();
    ++m_nPreviewPictures;
    if (HWND control = Control(kIdcPreview)) ::InvalidateRect(control, nullptr, FALSE);
}

void CWin32DialogHost::ShowPreviewNote(const std::u16string& text) {
    m_pPreview->pixels.clear();
    m_pPreview->nWidth = m_pPreview->nHeight = 0;
    m_pPreview->strNote = text;
    if (HWND control = Control(kIdcPreview)) ::InvalidateRect(control, nullptr, FALSE);
}

void CWin32DialogHost::PaintPreview(HDC__* dc) {
    HWND control = Control(kIdcPreview);
    RECT client{};
    ::GetClientRect(control, &client);
    HBRUSH background = ::CreateSolidBrush(kPreviewBackground);
    ::FillRect(dc, &client, background);
    ::DeleteObject(background);
    const PreviewPicture& picture = *m_pPreview;
    if (!picture.pixels.empty()) {
        // Scaled to fit, its shape kept, in the middle.
        const int roomW = client.right - 2, roomH = client.bottom - 2;
        int w = roomW, h = roomW * picture.nHeight / picture.nWidth;
        if (h > roomH) {
            h = roomH;
            w = roomH * picture.nWidth / picture.nHeight;
        }
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = picture.nWidth;
        info.bmiHeader.biHeight = -picture.nHeight;  // rows top to bottom
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        ::SetStretchBltMode(dc, HALFTONE);
        ::StretchDIBits(dc, (client.right - w) / 2, (client.bottom - h) / 2, w, h, 0, 0, picture.nWidth,
                        picture.nHeight, picture.pixels.data(), &info, DIB_RGB_COLORS, SRCCOPY);
    } else {
        const HGDIOBJ old = ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageW(m_hWnd, WM_GETFONT, 0, 0)));
        ::SetBkMode(dc, TRANSPARENT);
        ::SetTextColor(dc, kPreviewText);
        RECT text = client;
        ::InflateRect(&text, -4, 0);
        RECT measured = text;
        const int length = static_cast<int>(picture.strNote.size());
        ::DrawTextW(dc, W(picture.strNote), length, &measured, DT_CENTER | DT_WORDBREAK | DT_NOPREFIX | DT_CALCRECT);
        ::OffsetRect(&text, 0, (client.bottom - (measured.bottom - measured.top)) / 2);
        ::DrawTextW(dc, W(picture.strNote), length, &text, DT_CENTER | DT_WORDBREAK | DT_NOPREFIX);
        ::SelectObject(dc, old);
    }
    ::FrameRect(dc, &client, ::GetSysColorBrush(COLOR_BTNSHADOW));
}

LRESULT CALLBACK CWin32DialogHost::PreviewProc(HWND control, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                              DWORD_PTR data) {
    auto& self = *reinterpret_cast<CWin32DialogHost*>(data);
    if (message == WM_PAINT) {
        PAINTSTRUCT paint;
        self.PaintPreview(::BeginPaint(control, &paint));
        ::EndPaint(control, &paint);
        return 0;
    }
    if (message == WM_PRINTCLIENT) {
        self.PaintPreview(reinterpret_cast<HDC>(wParam));
        return 0;
    }
    if (message == WM_NCDESTROY) ::RemoveWindowSubclass(control, PreviewProc, kPreviewSubclassId);
    return ::DefSubclassProc(control, message, wParam, lParam);
}

void CWin32DialogHost::SetLinkFailureTexts(const app::LinkFailureTexts& texts) {
    m_pLink->Link().SetFailureTexts(texts);
}

void CWin32DialogHost::ShowAboutBox() {
    if (m_bDestroyed || !m_hWnd) return;
    AboutBox about;
    if (m_aboutSource) {
        about.texts = m_aboutSource();
    } else {
        about.texts.strLegal = platform::Utf8ToUtf16(kMakerLegalNotice);
        about.texts.strLicences = app::kLibraryLicences;
    }
    about.strOk = m_buttonTexts.strOk;
    about.hIcon = m_hIcon;
    ::DialogBoxParamW(ProgramModule(), MAKEINTRESOURCEW(IDD_ABOUTBOX), m_hWnd, AboutProc,
                      reinterpret_cast<LPARAM>(&about));
}

void CWin32DialogHost::CloseWindow() { Destroy(); }

}  // namespace app::win32
