#include "service/app/ServiceApp.h"

#include "platform/CrashReport.h"
#include "platform/ProgramDir.h"
#include "platform/Text.h"
#include "platform/Trace.h"
#include "service/camera/XuBinding.h"

namespace app {

std::string g_strModuleDir;

int CServiceApp::Run(const StartupMessage& message, const WindowRun& window) {
    const int status = InitInstance(message, window);
    ExitInstance();
    return status;
}

int CServiceApp::InitInstance(const StartupMessage& message, const WindowRun& window) {
    // First, so that every later fault is reported.
    if (!platform::InstallCrashReport(kCrashReportFile)) ZTRACE("the crash report cannot be installed\n");
    g_strModuleDir = GetModuleDirectory();
    if (camera::LoadXuLibrary(g_strModuleDir) < 0) {
        ZTRACE("LoadXuLibrary(%s): %s\n", g_strModuleDir.c_str(), camera::XuLibraryLoadError().c_str());
        message(u"Failed to load " + platform::Utf8ToUtf16(camera::kXuLibraryFileName) + u".", u"Tips");
        return kExitNoLibrary;
    }
    return window();
}

int CServiceApp::ExitInstance() {
    camera::UnloadXuLibrary();
    return kExitDone;
}

std::string CServiceApp::GetModuleDirectory() { return platform::GetProgramDirectory(); }

}  // namespace app
