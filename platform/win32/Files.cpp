#include "platform/Files.h"

#include <windows.h>
#include <aclapi.h>

#include <memory>

#include "platform/Text.h"

namespace platform {
namespace {

std::wstring Wide(const std::string& utf8) {
    const std::u16string text = Utf8ToUtf16(utf8);
    return std::wstring(text.begin(), text.end());
}

std::string Narrow(const wchar_t* wide) {
    return Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(wide)));
}

std::string SystemMessage(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                              FORMAT_MESSAGE_IGNORE_INSERTS,
                                          nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = length && text ? Narrow(text) : "error " + std::to_string(error);
    if (text) ::LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
        message.pop_back();
    return message;
}

struct HandleCloser {
    void operator()(HANDLE h) const { ::CloseHandle(h); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

// Whether the file's access list lets groups of other users read or change
// it: everyone, the authenticated users, the local users or the guests.
bool OpenToOthers(HANDLE file) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                          &descriptor) != ERROR_SUCCESS)
        return true;
    bool open = dacl == nullptr;  // no list at all: everyone may do everything
    const WELL_KNOWN_SID_TYPE groups[] = {WinWorldSid, WinAuthenticatedUserSid, WinBuiltinUsersSid, WinBuiltinGuestsSid};
    for (DWORD i = 0; dacl && !open && i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!::GetAce(dacl, i, &entry)) continue;
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) continue;
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        const ACCESS_MASK reach = FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_READ | GENERIC_WRITE |
                                  GENERIC_ALL | WRITE_DAC | WRITE_OWNER;
        if ((allowed->Mask & reach) == 0) continue;
        PSID sid = const_cast<DWORD*>(&allowed->SidStart);
        for (WELL_KNOWN_SID_TYPE group : groups) open = open || ::IsWellKnownSid(sid, group);
    }
    ::LocalFree(descriptor);
    return open;
}

}  // namespace

FILE* OpenFile(const std::string& path, const char* mode) {
    return ::_wfopen(Wide(path).c_str(), Wide(mode).c_str());
}

std::vector<std::string> ListFiles(const std::string& dir) {
    std::vector<std::string> names;
    std::string pattern = dir;
    if (!pattern.empty() && pattern.back() != '/' && pattern.back() != '\\') pattern += '\\';
    WIN32_FIND_DATAW found{};
    HANDLE search = ::FindFirstFileW(Wide(pattern + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) continue;
        names.push_back(Narrow(found.cFileName));
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    return names;
}

bool ReplaceFileText(const std::string& path, std::string_view text) {
    if (path.empty()) return false;
    const std::wstring fresh = Wide(path + ".new");
    Handle file(::CreateFileW(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        file.release();
        return false;
    }
    DWORD written = 0;
    const bool whole = ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                       written == text.size();
    file.reset();
    if (!whole) {
        ::DeleteFileW(fresh.c_str());
        return false;
    }
    return ::MoveFileExW(fresh.c_str(), Wide(path).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

std::optional<long long> FileAgeSeconds(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    const auto ticks = [](const FILETIME& t) {
        return static_cast<long long>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
    };
    return (ticks(now) - ticks(data.ftLastWriteTime)) / 10000000;
}

bool ReadPrivateFile(const std::string& path, const char* what, size_t maxBytes, std::string& text,
                     std::string& problem) {
    text.clear();
    const std::string name = std::string("The ") + what + " " + path;
    Handle file(::CreateFileW(Wide(path).c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        file.release();
        problem = name + " cannot be read: " + SystemMessage(::GetLastError()) + ".";
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileType(file.get()) != FILE_TYPE_DISK || !::GetFileInformationByHandle(file.get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        problem = name + " is not a regular file.";
        return false;
    }
    if (OpenToOthers(file.get())) {
        problem = name + " is open to other users; it holds a password, so it must be its owner's alone: icacls \"" +
                  path + "\" /inheritance:r /grant:r \"%USERNAME%:F\"";
        return false;
    }
    char buffer[4096];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr)) {
            problem = name + " cannot be read: " + SystemMessage(::GetLastError()) + ".";
            return false;
        }
        if (got == 0) break;
        text.append(buffer, got);
        if (text.size() > maxBytes) {
            problem = name + " is too large.";
            return false;
        }
    }
    return true;
}

long CurrentProcessId() { return static_cast<long>(::GetCurrentProcessId()); }

bool LocalTime(std::time_t when, std::tm& local) { return ::localtime_s(&local, &when) == 0; }

}  // namespace platform
