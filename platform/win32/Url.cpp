#include "platform/Url.h"

#include <windows.h>
// shellapi.h and objbase.h need windows.h first.
#include <objbase.h>
#include <shellapi.h>

#include <cstdint>
#include <string>

namespace platform {

UrlOpenResult OpenUrl(std::u16string_view target) {
    const std::u16string text(target);
    // Some shell handlers are COM objects; each call brings its own apartment.
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    const auto code = reinterpret_cast<intptr_t>(::ShellExecuteW(
        nullptr, L"open", reinterpret_cast<const wchar_t*>(text.c_str()), nullptr, nullptr, SW_SHOWNORMAL));
    if (SUCCEEDED(com)) ::CoUninitialize();
    if (code > 32) return UrlOpenResult::Success();
    switch (code) {
        case ERROR_FILE_NOT_FOUND: return UrlOpenResult::Failure(UrlFailure::kFileNotFound);
        case ERROR_PATH_NOT_FOUND: return UrlOpenResult::Failure(UrlFailure::kPathNotFound);
        case SE_ERR_ACCESSDENIED: return UrlOpenResult::Failure(UrlFailure::kAccessDenied);
        case SE_ERR_OOM: return UrlOpenResult::Failure(UrlFailure::kNotEnoughMemory);
        case ERROR_BAD_FORMAT: return UrlOpenResult::Failure(UrlFailure::kBadExecutable);
        case SE_ERR_NOASSOC:
        case SE_ERR_ASSOCINCOMPLETE: return UrlOpenResult::NoHandler();
        default: return UrlOpenResult::Failure(UrlFailure::kOutOfResources);
    }
}

}  // namespace platform
