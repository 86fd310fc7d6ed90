#include "service/app/win32/Win32MessageBox.h"

#include <string_view>
#include <utility>

#include "service/app/win32/Win32Text.h"

namespace app::win32 {
namespace {

// The box being opened on this thread and its words; the system offers no
// way to name its buttons, so they are relabelled as the box activates.
thread_local HHOOK t_hook = nullptr;
thread_local const ButtonTexts* t_words = nullptr;

LRESULT CALLBACK RelabelOnActivate(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_ACTIVATE && t_words) {
        const auto box = reinterpret_cast<HWND>(wParam);
        wchar_t className[16] = {};
        ::GetClassNameW(box, className, 16);
        if (std::wstring_view(className) == L"#32770") {
            const std::pair<int, const std::u16string*> buttons[] = {
                {IDOK, &t_words->strOk}, {IDCANCEL, &t_words->strCancel},
                {IDYES, &t_words->strYes}, {IDNO, &t_words->strNo}};
            for (const auto& [id, word] : buttons) {
                if (HWND button = ::GetDlgItem(box, id); button && !word->empty()) ::SetWindowTextW(button, W(*word));
            }
            // Once is enough: a box inside the box keeps the system's words.
            t_words = nullptr;
        }
    }
    return ::CallNextHookEx(t_hook, code, wParam, lParam);
}

}  // namespace

int ShowMessageBox(HWND owner, const std::u16string& text, const std::u16string& caption, UINT flags,
                   const ButtonTexts& words) {
    const HHOOK outer = t_hook;
    const ButtonTexts* outerWords = t_words;
    t_words = &words;
    t_hook = ::SetWindowsHookExW(WH_CBT, RelabelOnActivate, nullptr, ::GetCurrentThreadId());
    const int chosen = ::MessageBoxW(owner, W(text), W(caption), flags);
    if (t_hook) ::UnhookWindowsHookEx(t_hook);
    t_hook = outer;
    t_words = outerWords;
    return chosen;
}

}  // namespace app::win32
