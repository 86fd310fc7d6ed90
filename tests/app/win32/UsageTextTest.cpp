// The program's help on Windows tells a Windows user what they can do there:
// no signals, file modes, shell variables or registry files of other systems.

#include <gtest/gtest.h>

#include <string>

#include "service/app/console/Usage.h"

namespace {

TEST(UsageTextTest, TheHelpSpeaksOfWindowsOnly) {
    const std::string text = app::UsageText();
    for (const char* foreign : {"SIG", "chmod", "registry file", "$", "ZELT2_REGISTRY_DIR", "libNodrik", ".so"})
        EXPECT_EQ(text.find(foreign), std::string::npos) << foreign;
    for (const char* own : {"ZELT2Service.exe", "Ctrl+C", "closing the console", "event log",
                            "HKEY_CURRENT_USER\\Software\\ZELT2\\ZELT2Service", "icacls", "Nodrik.dll"})
        EXPECT_NE(text.find(own), std::string::npos) << own;
}

}  // namespace
