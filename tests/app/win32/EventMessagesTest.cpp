// The service program carries the message table the event log reads its
// entries' texts from: loaded as the event viewer loads it (as data), it
// gives an entry's words back whole, in any script.

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "platform/ProgramDir.h"
#include "platform/Text.h"
#include "platform/win32/EventMessages.h"

namespace {

TEST(EventMessagesTest, TheServiceProgramGivesTheEventViewerAnEntrysWordsWhole) {
    const std::u16string path = platform::Utf8ToUtf16(platform::GetProgramDirectory() + "ZELT2Service.exe");
    HMODULE program = ::LoadLibraryExW(reinterpret_cast<const wchar_t*>(path.c_str()), nullptr,
                                       LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(program, nullptr) << ::GetLastError();
    EXPECT_NE(::FindResourceW(program, MAKEINTRESOURCEW(1), reinterpret_cast<LPCWSTR>(RT_MESSAGETABLE)), nullptr);
    for (const std::wstring& words : {std::wstring(L"ZELT2Service: serving as CAM-0001, 100% of 2 cameras."),
                                     std::wstring(L"\x041A\x0430\x043C\x0435\x0440\x0430 \x043F\x043E\x0442\x0435\x0440\x044F\x043D\x0430")}) {
        const DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>(words.c_str())};
        wchar_t text[256] = {};
        const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, program,
                                              platform::win32::kEventTextMessage, 0, text, 256,
                                              reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(arguments)));
        EXPECT_EQ(std::wstring(text, length), words);
    }
    ::FreeLibrary(program);
}

}  // namespace
