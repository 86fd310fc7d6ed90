#pragma once
// The simulated cameras: one description, read by the camera library (which
// plays their extension unit) and by anything else that shows them (a capture
// graph that gives each one a test picture). Nothing here depends on the rest
// of the system.
//
// The environment variable ZELT2_SIM_CAMERAS turns the simulation on. Unset or
// empty: the system's real cameras. "none": simulated, with no camera at all.
// Otherwise a list of cameras separated by ';', each a name followed by
// optional ",knob=value" settings:
//
//   ZELT2_SIM_CAMERAS="Desk Camera;Door Camera,set=2,nopic=2000/5000;Broken,fail=refusing"
//
//   set=1|2|0        GUID set its extension unit is known by; 0 for none (default 1)
//   nopic=never|always|OFF/PERIOD
//                    when the camera has no picture: never (default), always, or
//                    for the first OFF ms of every PERIOD ms since it was made
//   fail=none|unplugged|refusing|echo
//                    unplugged: every request fails as for a camera that is gone;
//                    refusing: the camera stalls every SET_CUR and GET_CUR;
//                    echo: answers the status query with a wrong echo
//   len=N            length in bytes of the command control, 1 to 1024 (default 64)
//   pattern=WORD     test picture to show for the camera (default "smpte")
//   fps=N            frames per second the camera delivers, 1 to 120 (default 30)
//   vanish=N         the camera is gone N ms after its capture starts (default never)
//   back=N           with vanish: the camera returns N ms after it vanished, and
//                    then stays (default: it never returns; each new capture
//                    vanishes again after its own N ms)
//   arrive=N         the camera is plugged in N ms after the camera library was
//                    loaded: listed from then on, absent before (default 0)
//   format=raw|mjpeg what the camera delivers: raw pictures (default) or JPEG
//                    frames, as many USB cameras do
//
// Names are UTF-8 and may hold spaces, but no ',' or ';'; spaces around
// names, knobs and values are ignored.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace simcam {

inline constexpr const char* kSimCamerasVariable = "ZELT2_SIM_CAMERAS";

enum class SimFailure { None, Unplugged, Refusing, WrongEcho };

struct SimCamera {
    std::string strName;
    int nGuidSet = 1;                // 1, 2, or 0 for no extension unit
    SimFailure failure = SimFailure::None;
    // No picture for the first dwNoPictureMs of every dwPeriodMs: 0/0 never
    // ("never"), equal values always ("always" is 1/1).
    uint32_t dwNoPictureMs = 0;
    uint32_t dwPeriodMs = 0;
    uint16_t wControlLength = 64;
    std::string strPattern = "smpte";
    uint32_t nFrameRate = 30;
    uint32_t dwVanishMs = 0;         // 0: never
    uint32_t dwBackMs = 0;           // 0: never comes back
    bool bMjpeg = false;             // delivers JPEG frames instead of raw pictures
    uint32_t dwArriveMs = 0;         // listed only this long after the first look

    // Whether the camera shows a picture `msSinceStart` milliseconds after it was made.
    bool HasPicture(uint32_t msSinceStart) const;
    // Whether the camera is plugged in `msSinceLoad` ms after the camera
    // library was loaded (the library's list is what says a camera is there).
    bool IsPluggedIn(uint32_t msSinceLoad) const { return msSinceLoad >= dwArriveMs; }
};

enum class SimSource {
    Real,       // the variable is unset or empty: use the system's cameras
    Simulated,  // the cameras are the simulated ones (possibly none)
    Invalid,    // the variable is malformed; `error` says where
};

// Parses a list in the variable's format. On failure returns false and sets
// `error` to a message naming the camera and the fault.
bool ParseSimCameras(std::string_view text, std::vector<SimCamera>& cameras, std::string& error);

// Reads and parses the variable.
SimSource SimCamerasFromEnvironment(std::vector<SimCamera>& cameras, std::string& error);

}  // namespace simcam
