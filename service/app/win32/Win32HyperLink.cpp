#include "service/app/win32/Win32HyperLink.h"



#include "service/app/DialogIds.h"
#include "service/app/win32/Win32MessageBox.h"
#include "service/app/win32/Win32Text.h"

namespace app::win32 {
namespace {
constexpr UINT_PTR kSubclassId = 0x5A4C;
}

CWin32HyperLink::~CWin32HyperLink() {
    if (m_hWnd && ::IsWindow(m_hWnd)) ::RemoveWindowSubclass(m_hWnd, Proc, kSubclassId);
    if (m_hTip) ::DestroyWindow(m_hTip);
    if (m_hFont) ::DeleteObject(m_hFont);
}

void CWin32HyperLink::Attach(HWND control) {
    m_hWnd = control;
    if (!control) return;
    ::SetWindowLongPtrW(control, GWL_STYLE, ::GetWindowLongPtrW(control, GWL_STYLE) | SS_NOTIFY);
    // The dialog's font, underlined.
    LOGFONTW font{};
    auto dialogFont = reinterpret_cast<HFONT>(::SendMessageW(control, WM_GETFONT, 0, 0));
    if (!dialogFont) dialogFont = static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT));
    ::GetObjectW(dialogFont, sizeof font, &font);
    font.lfUnderline = m_link.GetUnderline() ? TRUE : FALSE;
    m_hFont = ::CreateFontIndirectW(&font);
    ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(m_hFont), FALSE);
    ::SetWindowSubclass(control, Proc, kSubclassId, reinterpret_cast<DWORD_PTR>(this));

    m_hTip = ::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP,
                               CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, ::GetParent(control),
                               nullptr, nullptr, nullptr);
    if (m_hTip) {
        TTTOOLINFOW tool{};
        tool.cbSize = sizeof tool;
        tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        tool.hwnd = ::GetParent(control);
        tool.uId = reinterpret_cast<UINT_PTR>(control);
        tool.lpszText = const_cast<wchar_t*>(L"");
        ::SendMessageW(m_hTip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    }
    m_link.Attach(this);
}

std::u16string CWin32HyperLink::ToolTipText() const { return m_strTip; }

std::u16string CWin32HyperLink::GetText() const { return WindowText(m_hWnd); }

void CWin32HyperLink::SetText(const std::u16string& text) {
    ::SetWindowTextW(m_hWnd, W(text));
    ::InvalidateRect(m_hWnd, nullptr, TRUE);
}

void CWin32HyperLink::FitToText() {
    // Left-aligned: the left edge stays, the width and height follow the text.
    HDC dc = ::GetDC(m_hWnd);
    const HGDIOBJ old = ::SelectObject(dc, m_hFont);
    const std::u16string text = GetText();
    SIZE size{};
    ::GetTextExtentPoint32W(dc, W(text), static_cast<int>(text.size()), &size);
    TEXTMETRICW metrics{};
    ::GetTextMetricsW(dc, &metrics);
    ::SelectObject(dc, old);
    ::ReleaseDC(m_hWnd, dc);
    // A little room for the focus frame.
    ::SetWindowPos(m_hWnd, nullptr, 0, 0, size.cx + 4, metrics.tmHeight + 2, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    ::InvalidateRect(::GetParent(m_hWnd), nullptr, TRUE);
}

void CWin32HyperLink::SetToolTip(const std::u16string& tip) {
    m_strTip = tip;
    if (!m_hTip) return;
    TTTOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.hwnd = ::GetParent(m_hWnd);
    tool.uId = reinterpret_cast<UINT_PTR>(m_hWnd);
    tool.lpszText = const_cast<wchar_t*>(W(m_strTip));
    ::SendMessageW(m_hTip, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
}

void CWin32HyperLink::Repaint() {
    ::InvalidateRect(m_hWnd, nullptr, TRUE);
    ::UpdateWindow(m_hWnd);
}

void CWin32HyperLink::ShowError(const std::u16string& text) {
    ShowMessageBox(::GetParent(m_hWnd), text, kAppName, MB_OK | MB_ICONEXCLAMATION, m_words);
}

void CWin32HyperLink::ShowFailure(const std::u16string& caption, const std::u16string& text) {
    // The system's box copies its whole text with Ctrl+C, the address with it.
    ShowMessageBox(::GetParent(m_hWnd), text, caption.empty() ? std::u16string(kAppName) : caption,
                   MB_OK | MB_ICONEXCLAMATION, m_words);
}

void CWin32HyperLink::Paint(HDC dc) {
    RECT client{};
    ::GetClientRect(m_hWnd, &client);
    // The parent's background, as for any static text.
    auto brush = reinterpret_cast<HBRUSH>(::SendMessageW(::GetParent(m_hWnd), WM_CTLCOLORSTATIC,
                                                         reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(m_hWnd)));
    ::FillRect(dc, &client, brush ? brush : ::GetSysColorBrush(COLOR_BTNFACE));
    const HGDIOBJ old = ::SelectObject(dc, m_hFont);
    ::SetBkMode(dc, TRANSPARENT);
    ::SetTextColor(dc, ::IsWindowEnabled(m_hWnd) ? m_link.TextColour() : ::GetSysColor(COLOR_GRAYTEXT));
    const std::u16string text = GetText();
    RECT area = client;
    area.left += 1;
    ::DrawTextW(dc, W(text), static_cast<int>(text.size()), &area, DT_LEFT | DT_SINGLELINE | DT_NOPREFIX | DT_VCENTER);
    if (::GetFocus() == m_hWnd) ::DrawFocusRect(dc, &client);
    ::SelectObject(dc, old);
}

LRESULT CALLBACK CWin32HyperLink::Proc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                       DWORD_PTR data) {
    auto& self = *reinterpret_cast<CWin32HyperLink*>(data);
    switch (message) {
        case WM_PAINT: {
            PAINTSTRUCT paint;
            self.Paint(::BeginPaint(hWnd, &paint));
            ::EndPaint(hWnd, &paint);
            return 0;
        }
        case WM_PRINTCLIENT:
            self.Paint(reinterpret_cast<HDC>(wParam));
            return 0;
        case WM_SETCURSOR:
            ::SetCursor(::LoadCursorW(nullptr, MAKEINTRESOURCEW(32649)));  // the hand
            return TRUE;
        case WM_MOUSEMOVE:
            if (!self.m_link.IsOver()) {
                TRACKMOUSEEVENT track{sizeof track, TME_LEAVE, hWnd, 0};
                ::TrackMouseEvent(&track);
                self.m_link.SetOver(true);
            }
            break;
        case WM_MOUSELEAVE:
            self.m_link.SetOver(false);
            break;
        case WM_LBUTTONDOWN:
            // Taking the focus is how a keyboard user finds it again.
            ::SetFocus(hWnd);
            break;
        case WM_GETDLGCODE:
            return DLGC_WANTCHARS | DLGC_BUTTON;
        case WM_KEYDOWN:
            if (wParam == VK_SPACE) {
                ::SendMessageW(::GetParent(hWnd), WM_COMMAND, MAKEWPARAM(::GetDlgCtrlID(hWnd), STN_CLICKED),
                               reinterpret_cast<LPARAM>(hWnd));
                return 0;
            }
            break;
        case WM_CHAR:
            if (wParam == L' ') return 0;
            break;
        case WM_SETFOCUS:
        case WM_KILLFOCUS:
        case WM_ENABLE:
            ::InvalidateRect(hWnd, nullptr, TRUE);
            break;
        case WM_NCDESTROY:
            ::RemoveWindowSubclass(hWnd, Proc, kSubclassId);
            self.m_hWnd = nullptr;
            self.m_link.Detach();
            break;
        default:
            break;
    }
    return ::DefSubclassProc(hWnd, message, wParam, lParam);
}

}  // namespace app::win32
