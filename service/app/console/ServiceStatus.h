#pragma once
// What the headless service tells monitoring scripts: a small text file in
// its settings folder, rewritten when something in it changes (and every
// ten seconds for the frame count), which `ZELT2Service --headless --status`
// reads back. Lines of "key: value":
//
//   serving: yes              (listening, with live video from the camera)
//   status: Running           (the status line)
//   camera: Desk Camera       (present | away: waiting for it)
//   viewers: 1
//   frames sent: 1234         (frames handed to the viewers' fan-out)
//   encoder: x264enc (software)
//   pid: 4242
//
// Whether a service runs at all is told by its claim on the settings, not by
// the file, which a killed service leaves behind.

#include <cstdint>
#include <string>

namespace app {

struct ServiceStatusReport {
    bool bServing = false;
    std::string strStatus;
    std::string strCamera;
    bool bCameraAway = false;
    int nViewers = 0;
    uint64_t nFramesSent = 0;
    std::string strEncoder;
};

// The file's path: the settings folder's ZELT2Service.status; empty when
// there is no settings folder.
std::string ServiceStatusPath();

// The report's text.
std::string FormatServiceStatus(const ServiceStatusReport& report, long pid);

// Writes `text` whole (a new file renamed over the old); false on failure.
bool WriteServiceStatus(const std::string& path, const std::string& text);

// ZELT2Service --headless --status: prints the state to `out` and returns the
// exit status: 0 a service runs and serves live video; 5 none runs, or it
// runs but its camera is away.
int PrintServiceStatus(FILE* out);

}  // namespace app
