// The claim on the current user's settings is a named mutex of the user's
// session: the system drops it with the process that made it, however that
// process ends.

#include "service/settings/SettingsClaim.h"

#include <windows.h>
#include <shlobj.h>

#include <string>

#include "platform/Text.h"
#include "platform/Trace.h"

namespace settings {
namespace {

std::wstring ClaimName() {
    std::wstring name = L"Local\\ZELT2Service.Settings.";
    wchar_t user[257];
    DWORD size = sizeof user / sizeof user[0];
    if (::GetUserNameW(user, &size)) name += user;
    return name;
}

}  // namespace

CSettingsClaim::~CSettingsClaim() {
    if (m_nHandle != -1) ::CloseHandle(reinterpret_cast<HANDLE>(m_nHandle));
}

ClaimResult CSettingsClaim::Claim() {
    if (m_nHandle != -1) return ClaimResult::Claimed;
    HANDLE mutex = ::CreateMutexW(nullptr, FALSE, ClaimName().c_str());
    if (!mutex) {
        ZTRACE("CreateMutexW failed: %lu\n", static_cast<unsigned long>(::GetLastError()));
        return ClaimResult::CannotTell;
    }
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        ::CloseHandle(mutex);
        return ClaimResult::HeldElsewhere;
    }
    m_nHandle = reinterpret_cast<intptr_t>(mutex);
    return ClaimResult::Claimed;
}

std::string CSettingsClaim::Where() const { return "the registry, HKEY_CURRENT_USER\\Software\\ZELT2\\ZELT2Service"; }

bool CSettingsClaim::HeldByAnyone() {
    HANDLE mutex = ::OpenMutexW(SYNCHRONIZE, FALSE, ClaimName().c_str());
    if (!mutex) return false;
    ::CloseHandle(mutex);
    return true;
}

std::string CSettingsClaim::StateFolder() {
    wchar_t* base = nullptr;
    std::string folder;
    if (::SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_CREATE, nullptr, &base) == S_OK) {
        std::wstring path = std::wstring(base) + L"\\ZELT2";
        if (::CreateDirectoryW(path.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS)
            folder = platform::Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(path.c_str())));
    }
    ::CoTaskMemFree(base);
    return folder;
}

}  // namespace settings
