#pragma once
// What the Win32 window's tests share: running the window's messages until a
// condition holds, answering the next modal box, and a picture of a window
// as the system draws it.

#include "service/app/win32/Win32Api.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace win32test {

// Runs this thread's messages (through the dialog manager of `dialog`) until
// `done` holds or `ms` have passed.
template <typename Predicate>
bool Pump(HWND dialog, Predicate done, int ms = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (dialog && ::IsDialogMessageW(dialog, &msg)) continue;
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        if (done()) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

// Hands the next modal dialog box of this thread other than `main` (a
// message box, the About box) to `look`, then presses its first button of
// OK, No, Cancel. Runs inside the box's own message loop.
inline thread_local std::function<void(HWND)> t_look;
inline thread_local HWND t_main = nullptr;
inline thread_local UINT_PTR t_poll = 0;

inline BOOL CALLBACK FindModal(HWND window, LPARAM found) {
    wchar_t name[16] = {};
    ::GetClassNameW(window, name, 16);
    if (window != t_main && ::IsWindowVisible(window) && std::wstring(name) == L"#32770") {
        *reinterpret_cast<HWND*>(found) = window;
        return FALSE;
    }
    return TRUE;
}

inline void CALLBACK PollForModal(HWND, UINT, UINT_PTR, DWORD) {
    HWND box = nullptr;
    ::EnumThreadWindows(::GetCurrentThreadId(), FindModal, reinterpret_cast<LPARAM>(&box));
    if (!box) return;
    ::KillTimer(nullptr, t_poll);
    t_poll = 0;
    auto look = std::move(t_look);
    if (look) look(box);
    for (int id : {IDOK, IDNO, IDCANCEL}) {
        if (::GetDlgItem(box, id)) {
            ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
            break;
        }
    }
}

inline void AnswerNextModal(HWND main, std::function<void(HWND)> look) {
    t_main = main;
    t_look = std::move(look);
    t_poll = ::SetTimer(nullptr, 0, 20, PollForModal);
}

inline std::u16string TextOf(HWND window) {
    wchar_t buffer[1024] = {};
    const int n = ::GetWindowTextW(window, buffer, 1024);
    return std::u16string(reinterpret_cast<const char16_t*>(buffer), static_cast<size_t>(n > 0 ? n : 0));
}

// The window as the system shows it, its frame and controls with it, 0x00RRGGBB per pixel, rows top to bottom.
struct Picture {
    int nWidth = 0;
    int nHeight = 0;
    std::vector<uint32_t> pixels;
    uint32_t At(int x, int y) const { return pixels[static_cast<size_t>(y) * nWidth + x]; }
};

inline Picture Capture(HWND window) {
    Picture picture;
    RECT frame{};
    ::GetWindowRect(window, &frame);
    picture.nWidth = frame.right - frame.left;
    picture.nHeight = frame.bottom - frame.top;
    if (picture.nWidth <= 0 || picture.nHeight <= 0) return picture;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = picture.nWidth;
    info.bmiHeader.biHeight = -picture.nHeight;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    // What the window shows, its frame and controls with it (Wine prints
    // no controls through PrintWindow; the window's own DC has them all).
    HDC from = ::GetWindowDC(window);
    HBITMAP bitmap = ::CreateDIBSection(from, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HDC dc = ::CreateCompatibleDC(from);
    const HGDIOBJ old = ::SelectObject(dc, bitmap);
    ::BitBlt(dc, 0, 0, picture.nWidth, picture.nHeight, from, 0, 0, SRCCOPY);
    ::GdiFlush();
    const auto* p = static_cast<const uint32_t*>(bits);
    picture.pixels.assign(p, p + static_cast<size_t>(picture.nWidth) * picture.nHeight);
    for (uint32_t& pixel : picture.pixels) pixel &= 0x00FFFFFF;
    ::SelectObject(dc, old);
    ::DeleteDC(dc);
    ::DeleteObject(bitmap);
    ::ReleaseDC(window, from);
    return picture;
}

}  // namespace win32test

namespace win32test {

// Writes `picture` as a 24-bit BMP file; false when it cannot be written.
inline bool SaveBmp(const Picture& picture, const std::wstring& path) {
    const int stride = (picture.nWidth * 3 + 3) & ~3;
    BITMAPFILEHEADER file{};
    BITMAPINFOHEADER info{};
    info.biSize = sizeof info;
    info.biWidth = picture.nWidth;
    info.biHeight = -picture.nHeight;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = file.bfOffBits + static_cast<DWORD>(stride) * picture.nHeight;
    std::vector<uint8_t> bytes(reinterpret_cast<const uint8_t*>(&file), reinterpret_cast<const uint8_t*>(&file) + sizeof file);
    bytes.insert(bytes.end(), reinterpret_cast<const uint8_t*>(&info), reinterpret_cast<const uint8_t*>(&info) + sizeof info);
    for (int y = 0; y < picture.nHeight; ++y) {
        for (int x = 0; x < picture.nWidth; ++x) {
            const uint32_t p = picture.At(x, y);
            bytes.push_back(static_cast<uint8_t>(p));
            bytes.push_back(static_cast<uint8_t>(p >> 8));
            bytes.push_back(static_cast<uint8_t>(p >> 16));
        }
        bytes.resize(bytes.size() + static_cast<size_t>(stride - picture.nWidth * 3));
    }
    HANDLE out = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok = ::WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) && written == bytes.size();
    ::CloseHandle(out);
    return ok;
}

}  // namespace win32test
