#include "platform/CrashReport.h"

#include <windows.h>
// dbghelp.h needs windows.h first.
#include <dbghelp.h>

#include <csignal>

namespace platform {
namespace {

const char* g_pszFileName = nullptr;
volatile LONG g_nWritten = 0;

struct DumpRequest {
    EXCEPTION_POINTERS* pException;
    DWORD dwThreadId;
};

DWORD WINAPI WriteDump(void* argument) {
    const auto* request = static_cast<const DumpRequest*>(argument);
    const HANDLE file = ::CreateFileA(g_pszFileName, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    MINIDUMP_EXCEPTION_INFORMATION info{};
    info.ThreadId = request->dwThreadId;
    info.ExceptionPointers = request->pException;
    info.ClientPointers = FALSE;
    const BOOL ok = ::MiniDumpWriteDump(::GetCurrentProcess(), ::GetCurrentProcessId(), file,
                                        static_cast<MINIDUMP_TYPE>(MiniDumpWithThreadInfo | MiniDumpWithUnloadedModules),
                                        request->pException ? &info : nullptr, nullptr, nullptr);
    ::CloseHandle(file);
    return ok ? 0 : 1;
}

// The dump is written by a thread of its own: the faulting thread may have
// no stack left, and its state is what the dump is meant to show.
void WriteDumpOnce(EXCEPTION_POINTERS* exception) {
    if (::InterlockedExchange(&g_nWritten, 1) != 0) return;
    DumpRequest request{exception, ::GetCurrentThreadId()};
    const HANDLE writer = ::CreateThread(nullptr, 256 * 1024, WriteDump, &request, 0, nullptr);
    if (writer) {
        ::WaitForSingleObject(writer, INFINITE);
        ::CloseHandle(writer);
    } else {
        WriteDump(&request);
    }
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* exception) {
    WriteDumpOnce(exception);
    // The process then ends as it would have without the report.
    return EXCEPTION_CONTINUE_SEARCH;
}

// abort() ends the process without an exception; the dump then shows the
// aborting thread as it stands.
void OnAbort(int) {
    WriteDumpOnce(nullptr);
    std::signal(SIGABRT, SIG_DFL);
}

}  // namespace

bool InstallCrashReport(const char* fileName) {
    if (!fileName || !*fileName) return false;
    g_pszFileName = fileName;
    // Room for the filter to run on this thread after a stack overflow.
    ULONG guarantee = 64 * 1024;
    ::SetThreadStackGuarantee(&guarantee);
    ::SetUnhandledExceptionFilter(OnUnhandledException);
    return std::signal(SIGABRT, OnAbort) != SIG_ERR;
}

}  // namespace platform
