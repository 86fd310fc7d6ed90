#include "tests/support/ChildProcess.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cwchar>
#include <mutex>
#include <thread>

namespace testsupport {

namespace {

std::wstring Wide(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    return wide;
}

// One argument, quoted so that the child's C runtime reads it back unchanged.
void AppendArgument(std::wstring& line, const std::wstring& arg) {
    if (!line.empty()) line += L' ';
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line += L'"';
    size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

// "NAME" of "NAME=value"; entries such as "=C:=C:\" keep their leading '='.
std::wstring NameOf(const std::wstring& entry) { return entry.substr(0, entry.find(L'=', 1)); }

bool SameName(const std::wstring& a, const std::wstring& b) { return ::_wcsicmp(NameOf(a).c_str(), NameOf(b).c_str()) == 0; }

// The child's environment block, sorted as Windows keeps it (names without case).
std::wstring EnvironmentBlock(const ChildOptions& options) {
    std::vector<std::wstring> entries, extra;
    for (const auto& e : options.environment) extra.push_back(Wide(e));
    if (options.inheritEnvironment) {
        wchar_t* block = ::GetEnvironmentStringsW();
        for (const wchar_t* p = block; p && *p; p += std::wcslen(p) + 1) {
            const std::wstring entry(p);
            if (std::none_of(extra.begin(), extra.end(), [&](const std::wstring& x) { return SameName(x, entry); }))
                entries.push_back(entry);
        }
        if (block) ::FreeEnvironmentStringsW(block);
    }
    entries.insert(entries.end(), extra.begin(), extra.end());
    std::stable_sort(entries.begin(), entries.end(), [](const std::wstring& a, const std::wstring& b) {
        return ::_wcsicmp(NameOf(a).c_str(), NameOf(b).c_str()) < 0;
    });
    std::wstring block;
    for (const auto& e : entries) {
        block += e;
        block += L'\0';
    }
    block += L'\0';
    if (entries.empty()) block += L'\0';
    return block;
}

// An inheritable copy of one of this process's handles, or NUL's when it has none.
HANDLE InheritableCopy(HANDLE h, DWORD access) {
    HANDLE copy = nullptr;
    if (h && h != INVALID_HANDLE_VALUE &&
        ::DuplicateHandle(::GetCurrentProcess(), h, ::GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS))
        return copy;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return ::CreateFileW(L"NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
}

// Handles are made inheritable only while one child is being created, so that
// no other child started meanwhile takes them along (and keeps a pipe open).
std::mutex g_creating;

}  // namespace

CChildProcess::CChildProcess(const std::string& program, std::vector<std::string> args, const ChildOptions& options) {
    std::wstring commandLine;
    AppendArgument(commandLine, Wide(program));
    for (const auto& a : args) AppendArgument(commandLine, Wide(a));
    std::wstring environment = EnvironmentBlock(options);
    const std::wstring workDir = Wide(options.workDir);

    std::lock_guard<std::mutex> creating(g_creating);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    std::vector<HANDLE> toClose;
    HANDLE log = nullptr;
    if (!options.log.empty()) {
        log = ::CreateFileW(Wide(options.log).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (log == INVALID_HANDLE_VALUE) return;
        toClose.push_back(log);
    }
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    const bool piped =
        options.output == ChildOptions::Output::ClosedPipe || options.output == ChildOptions::Output::Pipe;
    if (piped) {
        if (!::CreatePipe(&readEnd, &writeEnd, nullptr, 0)) {
            for (HANDLE h : toClose) ::CloseHandle(h);
            return;
        }
        ::SetHandleInformation(writeEnd, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
        toClose.push_back(writeEnd);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = InheritableCopy(nullptr, GENERIC_READ);
    toClose.push_back(startup.hStdInput);
    startup.hStdError = log ? log : InheritableCopy(::GetStdHandle(STD_ERROR_HANDLE), GENERIC_WRITE);
    if (!log) toClose.push_back(startup.hStdError);
    if (piped) {
        startup.hStdOutput = writeEnd;
    } else if (options.output == ChildOptions::Output::Log && log) {
        startup.hStdOutput = log;
    } else {
        startup.hStdOutput = InheritableCopy(::GetStdHandle(STD_OUTPUT_HANDLE), GENERIC_WRITE);
        toClose.push_back(startup.hStdOutput);
    }

    PROCESS_INFORMATION process{};
    m_bStarted = ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                                  environment.data(), workDir.empty() ? nullptr : workDir.c_str(), &startup,
                                  &process) != 0;
    for (HANDLE h : toClose)
        if (h && h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    if (m_bStarted) {
        ::CloseHandle(process.hThread);
        m_nProcess = reinterpret_cast<intptr_t>(process.hProcess);
    }
    if (readEnd) {
        if (options.output == ChildOptions::Output::Pipe && m_bStarted)
            m_nOutput = reinterpret_cast<intptr_t>(readEnd);
        else
            ::CloseHandle(readEnd);
    }
}

CChildProcess::~CChildProcess() {
    if (m_nOutput != -1) ::CloseHandle(reinterpret_cast<HANDLE>(m_nOutput));
    if (!m_bStarted) return;
    const HANDLE process = reinterpret_cast<HANDLE>(m_nProcess);
    if (!m_bReaped) {
        ::TerminateProcess(process, 137);
        ::WaitForSingleObject(process, 30000);
    }
    ::CloseHandle(process);
}

int CChildProcess::Wait(uint32_t timeoutMs) {
    if (!m_bStarted) return -1;
    if (!m_bReaped) {
        const HANDLE process = reinterpret_cast<HANDLE>(m_nProcess);
        DWORD code = 0;
        if (::WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0 || !::GetExitCodeProcess(process, &code))
            return -1;
        m_bReaped = true;
        m_nStatus = static_cast<int>(code);
    }
    return m_nStatus;
}

void CChildProcess::Kill() {
    if (m_bStarted && !m_bReaped) ::TerminateProcess(reinterpret_cast<HANDLE>(m_nProcess), 137);
}

void CChildProcess::Freeze() {
    if (!m_bStarted || m_bReaped) return;
    // The system call that suspends every thread of a process at once; new
    // threads cannot slip past it as they could past a walk of its threads.
    using SuspendProcess = LONG(NTAPI*)(HANDLE);
    static const auto suspend = reinterpret_cast<SuspendProcess>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtSuspendProcess")));
    if (suspend) suspend(reinterpret_cast<HANDLE>(m_nProcess));
}

std::string CChildProcess::ReadLine(uint32_t timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const size_t eol = m_output.find('\n');
        if (eol != std::string::npos) {
            std::string line = m_output.substr(0, eol);
            m_output.erase(0, eol + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return line;
        }
        if (m_nOutput == -1 || std::chrono::steady_clock::now() >= deadline) return "";
        // Anonymous pipes have no time-outs: look before reading.
        const HANDLE pipe = reinterpret_cast<HANDLE>(m_nOutput);
        DWORD available = 0;
        if (!::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) return "";  // the output ended
        if (available == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            continue;
        }
        char chunk[256];
        DWORD got = 0;
        if (!::ReadFile(pipe, chunk, std::min<DWORD>(available, sizeof chunk), &got, nullptr) || got == 0) return "";
        m_output.append(chunk, got);
    }
}

}  // namespace testsupport
