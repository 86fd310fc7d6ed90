#include "service/camera/XuModule.h"

#include "service/camera/XuBinding.h"

#include <windows.h>

#include <cstdio>

#include "platform/Text.h"

namespace camera {

const char* const kXuLibraryFileName = "Nodrik.dll";

namespace {

// The system's words for an error, without the line break it ends them with.
std::string SystemMessage(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
        reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::u16string message;
    if (length && text) message.assign(reinterpret_cast<const char16_t*>(text), length);
    if (text) ::LocalFree(text);
    while (!message.empty() && (message.back() == u'\n' || message.back() == u'\r' || message.back() == u' '))
        message.pop_back();
    if (message.empty()) return "error " + std::to_string(code);
    return platform::Utf16ToUtf8(message);
}

}  // namespace

void* OpenXuModule(const std::string& path, std::string& error) {
    const std::u16string wide = platform::Utf8ToUtf16(path);
    // The library's own dependencies are looked for beside it, not beside the program.
    HMODULE module = ::LoadLibraryExW(reinterpret_cast<const wchar_t*>(wide.c_str()), nullptr,
                                      LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!module) error = path + ": " + SystemMessage(::GetLastError());
    return reinterpret_cast<void*>(module);
}

void* FindXuExport(void* module, const char* name) {
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(module), name));
}

void CloseXuModule(void* module) { ::FreeLibrary(static_cast<HMODULE>(module)); }

void ExplainNoCamera() {
    std::fputs("No video input device on this system. Connect a USB camera, or set ZELT2_SIM_CAMERAS to try the\n"
               "simulated cameras.\n", stderr);
}

}  // namespace camera
