#include "service/app/win32/Win32InputLimit.h"



#include <algorithm>

#include "service/app/win32/Win32Text.h"

namespace app::win32 {
namespace {

constexpr UINT_PTR kSubclassId = 0x5A4C;    // this file's subclass of an edit
constexpr UINT_PTR kHideRuleTimer = 0x5A4D; // the shown rule goes after a while
constexpr UINT kRuleShownMs = 5000;

struct EditState {
    InputLimit limit;
    std::u16string strRule;
    HWND hTip = nullptr;  // a tracking tooltip under the edit, made when first needed
    TTTOOLINFOW tool{};
    int nRefusals = 0;
    bool bRefusedHalf = false;  // the first half of a pair was refused; so is its second
};

bool IsHighSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// The edit's text with its selection replaced by `insert`.
std::u16string WithInsertion(HWND edit, const std::u16string& insert) {
    std::u16string text = WindowText(edit);
    DWORD start = 0, end = 0;
    ::SendMessageW(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    start = std::min<DWORD>(start, static_cast<DWORD>(text.size()));
    end = std::min<DWORD>(std::max(start, end), static_cast<DWORD>(text.size()));
    return text.substr(0, start) + insert + text.substr(end);
}

// Whether `after` may replace the edit's text: within the limit, or at
// least not longer than what is there (shortening a long stored text).
bool Fits(HWND edit, const EditState& state, const std::u16string& after) {
    if (state.limit.eMeasure == InputLimit::Measure::kNone || state.limit.nMax <= 0) return true;
    const int size = MeasureInput(after, state.limit.eMeasure);
    return size <= state.limit.nMax || size < MeasureInput(WindowText(edit), state.limit.eMeasure);
}

void HideRule(HWND edit, EditState& state) {
    ::KillTimer(edit, kHideRuleTimer);
    if (state.hTip) ::SendMessageW(state.hTip, TTM_TRACKACTIVATE, FALSE, reinterpret_cast<LPARAM>(&state.tool));
}

void Refuse(HWND edit, EditState& state) {
    ++state.nRefusals;
    ::MessageBeep(MB_ICONEXCLAMATION);
    if (state.strRule.empty()) return;
    if (!state.hTip) {
        state.hTip = ::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_NOPREFIX | TTS_BALLOON,
                                       CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, edit, nullptr,
                                       nullptr, nullptr);
        if (!state.hTip) return;
        state.tool.cbSize = sizeof state.tool;
        state.tool.uFlags = TTF_IDISHWND | TTF_TRACK | TTF_ABSOLUTE;
        state.tool.hwnd = edit;
        state.tool.uId = reinterpret_cast<UINT_PTR>(edit);
        state.tool.lpszText = const_cast<wchar_t*>(L"");
        ::SendMessageW(state.hTip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&state.tool));
        ::SendMessageW(state.hTip, TTM_SETMAXTIPWIDTH, 0, 360);
    }
    state.tool.lpszText = const_cast<wchar_t*>(W(state.strRule));
    ::SendMessageW(state.hTip, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&state.tool));
    RECT box{};
    ::GetWindowRect(edit, &box);
    ::SendMessageW(state.hTip, TTM_TRACKPOSITION, 0, MAKELPARAM(box.left + 8, box.bottom));
    ::SendMessageW(state.hTip, TTM_TRACKACTIVATE, TRUE, reinterpret_cast<LPARAM>(&state.tool));
    ::SetTimer(edit, kHideRuleTimer, kRuleShownMs, nullptr);
}

// What a paste would insert: the clipboard's text up to its first line
// break, as a one-line edit takes it.
bool ClipboardText(HWND owner, std::u16string& text) {
    if (!::IsClipboardFormatAvailable(CF_UNICODETEXT) || !::OpenClipboard(owner)) return false;
    bool got = false;
    if (HANDLE data = ::GetClipboardData(CF_UNICODETEXT)) {
        if (const auto* chars = static_cast<const wchar_t*>(::GlobalLock(data))) {
            size_t n = 0;
            while (chars[n] && chars[n] != L'\r' && chars[n] != L'\n') ++n;
            text = U(chars, n);
            got = true;
            ::GlobalUnlock(data);
        }
    }
    ::CloseClipboard();
    return got;
}

LRESULT CALLBACK EditProc(HWND edit, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR data) {
    auto& state = *reinterpret_cast<EditState*>(data);
    switch (message) {
        case WM_CHAR: {
            const auto c = static_cast<wchar_t>(wParam);
            // Control keys (backspace, Ctrl+letters) pass, and so does the
            // second half of a character whose first half was let in.
            if (IsLowSurrogate(c)) {
                const bool refused = state.bRefusedHalf;
                state.bRefusedHalf = false;
                if (refused) return 0;
                break;
            }
            state.bRefusedHalf = false;
            if (c < 0x20 || c == 0x7F) break;
            HideRule(edit, state);
            // The first half of a pair is measured as the whole character.
            const std::u16string typed = IsHighSurrogate(c) ? std::u16string{char16_t(c), char16_t(0xDC00)}
                                                            : std::u16string(1, char16_t(c));
            if (!Fits(edit, state, WithInsertion(edit, typed))) {
                state.bRefusedHalf = IsHighSurrogate(c);
                Refuse(edit, state);
                return 0;
            }
            break;
        }
        case WM_PASTE: {
            std::u16string pasted;
            if (ClipboardText(edit, pasted) && !Fits(edit, state, WithInsertion(edit, pasted))) {
                Refuse(edit, state);
                return 0;
            }
            break;
        }
        case WM_TIMER:
            if (wParam == kHideRuleTimer) {
                HideRule(edit, state);
                return 0;
            }
            break;
        case WM_KILLFOCUS:
            HideRule(edit, state);
            break;
        case WM_NCDESTROY:
            ::RemoveWindowSubclass(edit, EditProc, kSubclassId);
            ::RemovePropW(edit, L"ZeltInputLimit");
            if (state.hTip) ::DestroyWindow(state.hTip);
            delete &state;
            break;
        default:
            break;
    }
    return ::DefSubclassProc(edit, message, wParam, lParam);
}

// The edit's state, found again through a property of the edit.
constexpr wchar_t kStateProperty[] = L"ZeltInputLimit";

EditState* State(HWND edit, bool create) {
    if (!edit) return nullptr;
    if (auto* state = static_cast<EditState*>(::GetPropW(edit, kStateProperty))) return state;
    if (!create) return nullptr;
    auto* state = new EditState;
    if (!::SetPropW(edit, kStateProperty, state) ||
        !::SetWindowSubclass(edit, EditProc, kSubclassId, reinterpret_cast<DWORD_PTR>(state))) {
        ::RemovePropW(edit, kStateProperty);
        delete state;
        return nullptr;
    }
    // The edit's own limit would cut a paste silently; ours decides.
    ::SendMessageW(edit, EM_SETLIMITTEXT, 0x7FFFFFFE, 0);
    return state;
}

}  // namespace

int MeasureInput(const std::u16string& text, InputLimit::Measure measure) {
    int size = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        const bool pair = IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1]);
        if (measure == InputLimit::Measure::kCharacters) {
            size += 1;
        } else if (measure == InputLimit::Measure::kUtf8Bytes) {
            size += pair ? 4 : c < 0x80 ? 1 : c < 0x800 ? 2 : 3;
        }
        if (pair) ++i;
    }
    return size;
}

void SetInputLimit(HWND edit, InputLimit limit) {
    if (EditState* state = State(edit, true)) state->limit = limit;
}

void SetInputRuleText(HWND edit, const std::u16string& rule) {
    if (EditState* state = State(edit, true)) state->strRule = rule;
}

int InputRefusals(HWND edit) {
    const EditState* state = State(edit, false);
    return state ? state->nRefusals : 0;
}

}  // namespace app::win32
