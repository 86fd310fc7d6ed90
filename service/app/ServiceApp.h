#pragma once
// CServiceApp: the program's start-up and shutdown. Start-up installs the
// crash report, finds the program directory, loads the camera extension-unit
// library from it and runs the front end (the window, or the headless mode);
// shutdown unloads the library. Sockets need no start-up here, and the
// window's look is the toolkit's, so start-up does nothing for either.

#include <functional>
#include <string>

namespace app {

// Exit statuses of ZELT2Service.
inline constexpr int kExitDone = 0;              // the window closed (or SIGINT/SIGTERM in the headless mode)
inline constexpr int kExitNoLibrary = 1;         // libNodrik.so cannot be loaded
inline constexpr int kExitNoWindow = 1;          // no window can be shown
inline constexpr int kExitUsage = 2;             // bad command line
inline constexpr int kExitBadDid = 2;            // empty, or longer than 20 bytes
inline constexpr int kExitNoCamera = 3;          // no camera to start the service with
inline constexpr int kExitDidRefused = 3;        // the transport will not listen under the DID
inline constexpr int kExitAlreadyServing = 4;    // another service holds the same settings
inline constexpr int kExitCameraNotAnswering = 5;
inline constexpr int kExitServiceStopped = 5;    // the service stopped by itself (the camera was lost)

// The crash report's file name, in the working directory.
inline constexpr char kCrashReportFile[] = "ZELT2Service.dmp";

// The program directory, with a trailing '/'; set by InitInstance.
extern std::string g_strModuleDir;

class CServiceApp {
public:
    // Shows a message before any window exists: text, caption.
    using StartupMessage = std::function<void(const std::u16string& text, const std::u16string& caption)>;
    // Runs the main window (the library is loaded); returns the exit status.
    using WindowRun = std::function<int()>;

    // InitInstance, then ExitInstance; the exit status.
    int Run(const StartupMessage& message, const WindowRun& window);

    // Start-up up to and including the window's run. The window's exit
    // status, or kExitNoLibrary after the message.
    int InitInstance(const StartupMessage& message, const WindowRun& window);
    // Unloads the library.
    int ExitInstance();

    // The directory of the running program with a trailing '/'; empty when
    // it cannot be found.
    static std::string GetModuleDirectory();
};

}  // namespace app
