#pragma once
// The parts of the program's help that are this system's own, each as whole
// lines of the help (ending in a newline) in its column layout.

namespace app {

struct UsagePlatform {
    const char* program;         // the program's file name
    const char* headless;        // --headless: where status goes, how to stop
    const char* password;        // --password: the environment variable beside it
    const char* config;          // --config: the file's protection, reading it again
    const char* settingsPlace;   // where the settings are kept
    const char* secondService;   // how a second service runs beside the first
};

const UsagePlatform& ThisUsagePlatform();

}  // namespace app
