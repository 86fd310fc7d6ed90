#pragma once
// The window's UTF-16 text as the system's wide strings: on Windows both are
// 16-bit units of UTF-16, so the conversion is a change of type, not of bytes.

#include "service/app/win32/Win32Api.h"

#include <string>

namespace app::win32 {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide text is UTF-16");

inline const wchar_t* W(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

inline std::u16string U(const wchar_t* text, size_t length) {
    return std::u16string(reinterpret_cast<const char16_t*>(text), length);
}

// The whole text of a window (a control's text, a dialog's caption).
inline std::u16string WindowText(HWND window) {
    if (!window) return {};
    const int length = ::GetWindowTextLengthW(window);
    if (length <= 0) return {};
    std::wstring buffer(static_cast<size_t>(length) + 1, L'\0');
    const int got = ::GetWindowTextW(window, buffer.data(), length + 1);
    return U(buffer.data(), static_cast<size_t>(got > 0 ? got : 0));
}

// Multi-line controls want CR LF where the window's texts say LF.
inline std::u16string WithCrLf(const std::u16string& text) {
    std::u16string out;
    out.reserve(text.size() + 8);
    for (char16_t c : text) {
        if (c == u'\n' && (out.empty() || out.back() != u'\r')) out += u'\r';
        out += c;
    }
    return out;
}

}  // namespace app::win32
